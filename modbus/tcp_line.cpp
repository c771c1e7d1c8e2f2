// Modbus TCP, directly to a slave or through a serial-to-Ethernet gateway.
//
// libmodbus makes the connection; the exchanges are done here, because libmodbus
// takes an answer whose unit id, protocol id or length field is wrong: through a
// gateway that mixes up its units, one UPS's figures would be stored as another's.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "config/device_config.h"
#include "modbus/modbus_line.h"

namespace vimo {

namespace {

using Clock = std::chrono::steady_clock;

// The MBAP header: transaction id, protocol id (0 for Modbus), the length of what
// follows it (unit id and PDU), the unit id.
constexpr size_t kHeaderBytes = 7;
// The longest PDU asked for: function, byte count and 250 bytes of values (2000 bits
// or 125 registers).
constexpr size_t kMaxPduBytes = 253;
static_assert(kMaxPduBytes >= 2 + (MODBUS_MAX_READ_BITS + 7) / 8 &&
                  kMaxPduBytes >= 2 + 2 * MODBUS_MAX_READ_REGISTERS,
              "room for the largest answer asked for");
constexpr const char* kClosed = "the peer closed the connection";

int Word(const uint8_t* p) { return p[0] << 8 | p[1]; }

// Fails an exchange: errno for the classification, `why` for the message.
int Refuse(int error, std::string& detail, std::string why) {
    detail = std::move(why);
    errno = error;
    return -1;
}

class TcpLine : public ModbusLine {
public:
    using ModbusLine::ModbusLine;

    bool Check(std::string& error) override {
        std::string host, service;
        if (!SplitHostPort(settings().port, host, service, &error)) return false;
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
        if (found) freeaddrinfo(found);
        if (rc == 0) return true;
        error = "cannot resolve host " + host + ": " + gai_strerror(rc);
        return false;
    }

protected:
    modbus_t* NewContext(std::string& error) override {
        std::string host, service;
        if (!SplitHostPort(settings().port, host, service, &error)) return nullptr;
        modbus_t* ctx = modbus_new_tcp_pi(host.c_str(), service.c_str());
        if (!ctx) error = modbus_strerror(errno);
        return ctx;
    }

    void Recover(Exchange failure) override {
        // A connection cannot be flushed of an answer still on its way: after anything
        // but a clean exception answer it is dropped, and the next round reconnects.
        if (failure != Exchange::kException) Close();
    }

    int Transfer(int slave, int function, int first, int count, void* out,
                 std::string& detail) override {
        const int fd = modbus_get_socket(ctx_);
        ++transaction_;
        const uint8_t request[] = {
            static_cast<uint8_t>(transaction_ >> 8), static_cast<uint8_t>(transaction_),
            0, 0, 0, 6, static_cast<uint8_t>(slave), static_cast<uint8_t>(function),
            static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
            static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
        if (send(fd, request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) {
            const int failure = errno;
            if (failure == EPIPE) return Refuse(ECONNRESET, detail, kClosed);
            return Refuse(failure, detail, "");
        }
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(settings().timeout_ms);

        // The header and the function code, then as much as the function says follows;
        // the length field must agree with what came. A whole answer usually comes in
        // one segment: the first read takes up to an answer of the size asked for, so
        // that one wait and one read serve most exchanges.
        const bool bits = function == MODBUS_FC_READ_COILS;
        const size_t asked = bits ? (static_cast<size_t>(count) + 7) / 8 : 2 * static_cast<size_t>(count);
        uint8_t answer[kHeaderBytes + kMaxPduBytes];
        size_t got = 0;
        if (!Receive(fd, answer, kHeaderBytes + 2, std::min(sizeof answer, kHeaderBytes + 2 + asked),
                     got, deadline, detail))
            return -1;
        const int protocol = Word(answer + 2);
        if (protocol != 0)
            return Refuse(EMBBADDATA, detail,
                          "answer with protocol id " + std::to_string(protocol) + ", not 0");
        if (Word(answer) != transaction_)
            return Refuse(EMBBADDATA, detail,
                          "answer to transaction " + std::to_string(Word(answer)) + ", not " +
                              std::to_string(transaction_));
        if (answer[6] != slave)
            return Refuse(EMBBADSLAVE, detail,
                          "answer from unit " + std::to_string(answer[6]) + ", not " +
                              std::to_string(slave));
        const bool exception = answer[7] == (function | 0x80);
        if (!exception && answer[7] != function)
            return Refuse(EMBBADDATA, detail,
                          "answer to function " + std::to_string(answer[7]) + ", not " +
                              std::to_string(function));
        const size_t bytes = exception ? 0 : asked;
        if (!exception && answer[8] != bytes)
            return Refuse(EMBBADDATA, detail,
                          "answer of " + std::to_string(answer[8]) + " bytes, not " +
                              std::to_string(bytes));
        uint8_t* values = answer + kHeaderBytes + 2;
        const size_t whole = kHeaderBytes + 2 + bytes;
        if (got < whole && !Receive(fd, answer + got, whole - got, whole - got, got, deadline, detail))
            return -1;
        const size_t length = static_cast<size_t>(Word(answer + 4));
        if (length != 3 + bytes)
            return Refuse(EMBBADDATA, detail,
                          "answer whose length field says " + std::to_string(length) +
                              " bytes, not " + std::to_string(3 + bytes));
        if (exception) {
            const int code = answer[8];
            return Refuse(code >= 1 && code <= MODBUS_EXCEPTION_GATEWAY_TARGET
                              ? MODBUS_ENOBASE + code
                              : EMBBADEXC,
                          detail, "");
        }
        for (int i = 0; i < count; ++i) {
            if (bits)
                static_cast<uint8_t*>(out)[i] = (values[i / 8] >> (i % 8)) & 1;
            else
                static_cast<uint16_t*>(out)[i] = static_cast<uint16_t>(Word(values + 2 * i));
        }
        return count;
    }

private:
    // Reads at least `least` and at most `most` bytes before `deadline`, adding how many
    // to `total`; false with errno and `detail` set.
    static bool Receive(int fd, uint8_t* into, size_t least, size_t most, size_t& total,
                        Clock::time_point deadline, std::string& detail) {
        for (size_t got = 0; got < least;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now());
            pollfd p{fd, POLLIN, 0};
            const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                Refuse(ETIMEDOUT, detail, "");
                return false;
            }
            const ssize_t n = ready < 0 ? -1 : recv(fd, into + got, most - got, 0);
            const int failure = errno;
            if (n == 0) {
                Refuse(ECONNRESET, detail, kClosed);
                return false;
            }
            if (n < 0) {
                if (failure == EINTR || failure == EAGAIN) continue;
                Refuse(failure, detail, "");
                return false;
            }
            got += static_cast<size_t>(n);
            total += static_cast<size_t>(n);
        }
        return true;
    }

    uint16_t transaction_ = 0;
};

}  // namespace

std::unique_ptr<ModbusLine> MakeTcpLine(const LineSettings& settings) {
    return std::make_unique<TcpLine>(settings);
}

}  // namespace vimo
