// The Modbus TCP line against a fake slave on loopback that answers wrongly in one
// way each: an answer for another unit, protocol or transaction, or with a length
// field that disagrees with it, is a bad frame, asked again like any other.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/modbus_line.h"

namespace {

// A read of two input registers from unit 1 and its right answer, 0x1234 and 0x5678;
// each case patches bytes of the answer. Columns: the case, (offset, byte) patches,
// the answer's size (0: the connection is closed instead), the result, a part of its
// message, the requests the slave sees with one retry: a bad frame, or the slave's own
// exception saying it could not answer this time, is asked three times more; a lost
// answer, a closed connection or a gateway's 0B (a wait each) once; a refusal never.
struct Answer {
    const char* what;
    std::vector<std::pair<int, int>> patches;
    size_t size;
    vimo::Exchange status;
    const char* message;
    int requests;
};
const Answer kAnswers[] = {
    {"right", {}, 13, vimo::Exchange::kOk, "", 1},
    {"foreign unit", {{6, 7}}, 13, vimo::Exchange::kBadFrame, "answer from unit 7, not 1", 4},
    {"protocol id 1", {{3, 1}}, 13, vimo::Exchange::kBadFrame, "answer with protocol id 1, not 0", 4},
    {"protocol id 256", {{2, 1}}, 13, vimo::Exchange::kBadFrame, "protocol id 256", 4},
    {"other transaction", {{0, 0x77}}, 13, vimo::Exchange::kBadFrame, "answer to transaction 30", 4},
    {"length too long", {{5, 9}}, 13, vimo::Exchange::kBadFrame, "length field says 9 bytes, not 7", 4},
    {"length too short", {{5, 5}}, 13, vimo::Exchange::kBadFrame, "length field says 5 bytes", 4},
    {"byte count", {{8, 2}}, 13, vimo::Exchange::kBadFrame, "answer of 2 bytes, not 4", 4},
    {"exception 02", {{5, 3}, {7, 0x84}, {8, 2}}, 9, vimo::Exchange::kException, "", 1},
    {"exception 04", {{5, 3}, {7, 0x84}, {8, 4}}, 9, vimo::Exchange::kException, "", 4},
    {"exception 06", {{5, 3}, {7, 0x84}, {8, 6}}, 9, vimo::Exchange::kException, "", 4},
    {"exception 0B", {{5, 3}, {7, 0x84}, {8, 0x0B}}, 9, vimo::Exchange::kException, "", 2},
    {"closed", {}, 0, vimo::Exchange::kLinkDown,
     "the peer closed the connection (a gateway that ends connections may serve fewer", 2},
    // A gateway that takes the request but gets no answer from the UPS behind it.
    {"silent", {}, 1, vimo::Exchange::kTimeout,
     "Connection timed out (the gateway took the request but no answer came: check the slave "
     "id (the gateway's unit id)", 2},
};

// Serves connections one after the other until stopped, answering each request.
class FakeSlave {
public:
    explicit FakeSlave(const Answer& answer) : answer_(answer) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
        listen(listener_, 4);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeSlave() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    int requests() const { return requests_.load(); }

private:
    static bool Readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 50) == 1;
    }
    void Serve() {
        while (!stop_) {
            if (!Readable(listener_)) continue;
            const int fd = accept(listener_, nullptr, nullptr);
            while (!stop_ && fd >= 0) {
                if (!Readable(fd)) continue;
                uint8_t request[12];
                if (recv(fd, request, sizeof request, MSG_WAITALL) != 12) break;
                ++requests_;
                if (answer_.size == 0) break;
                uint8_t reply[13] = {request[0], request[1], 0, 0, 0, 7, request[6], 4, 4,
                                     0x12, 0x34, 0x56, 0x78};
                for (const auto& patch : answer_.patches)
                    reply[patch.first] = static_cast<uint8_t>(patch.second);
                send(fd, reply, answer_.size, MSG_NOSIGNAL);
            }
            if (fd >= 0) close(fd);
        }
    }
    const Answer& answer_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

vimo::LineSettings Tcp(const std::string& address) {
    vimo::LineSettings settings;
    settings.transport = "tcp";
    settings.port = address;
    settings.timeout_ms = 500;
    settings.retries = 1;
    return settings;
}

TEST(TcpLine, AnswersAreCheckedWholeAndBadOnesAskedAgain) {
    for (const Answer& a : kAnswers) {
        SCOPED_TRACE(a.what);
        FakeSlave slave(a);
        std::unique_ptr<vimo::ModbusLine> line = vimo::MakeTcpLine(Tcp(slave.address()));
        std::string error;
        ASSERT_TRUE(line->Open(error)) << error;
        uint16_t values[2] = {};
        const vimo::ExchangeResult result = line->ReadInputRegisters(1, 0, 2, values);
        EXPECT_EQ(static_cast<int>(a.status), static_cast<int>(result.status)) << result.message;
        EXPECT_NE(std::string::npos, result.message.find(a.message)) << result.message;
        EXPECT_EQ(a.requests, slave.requests());
        if (result.ok()) {
            EXPECT_EQ(0x1234, values[0]);
            EXPECT_EQ(0x5678, values[1]);
        }
        line->Close();
    }
}

// A listener whose queue is full never completes a connection.
TEST(TcpLine, ListenerThatNeverAcceptsTimesOutConnecting) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), size));
    ASSERT_EQ(0, listen(listener, 0));
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::vector<int> queued;
    for (int i = 0; i < 4; ++i) {
        queued.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(queued.back(), reinterpret_cast<sockaddr*>(&address), size);
    }
    vimo::LineSettings settings = Tcp("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    settings.timeout_ms = 200;
    std::unique_ptr<vimo::ModbusLine> line = vimo::MakeTcpLine(settings);
    std::string error;
    EXPECT_FALSE(line->Open(error));
    EXPECT_EQ(0u, error.rfind("timed out connecting (no answer to the connection: check the "
                              "gateway's address", 0)) << error;
    for (int fd : queued) close(fd);
    close(listener);
}

}  // namespace
