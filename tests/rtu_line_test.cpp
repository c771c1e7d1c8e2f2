// The serial line against a fake slave on a pseudo-terminal: the whole exchange has
// its response timeout (plus wire time), however the answer's bytes trickle in, and an
// answer is checked whole (CRC, slave, function, byte count).
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "modbus/modbus_line.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Framed(std::vector<uint8_t> frame) {
    uint16_t crc = 0xFFFF;
    for (const uint8_t byte : frame) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// A read of two input registers from slave 1, timeout 100 ms, no retries. Columns: the
// case, the answer's bytes, the pause between them (ms), the result, a part of its
// message. A byte every 150 ms is well inside libmodbus's own byte timeout (500 ms):
// the answer would take 1.35 s to come whole.
struct Answer {
    const char* what;
    std::vector<uint8_t> bytes;
    int drip_ms;
    vimo::Exchange status;
    const char* message;
};
const Answer kAnswers[] = {
    {"right", Framed({1, 4, 4, 0x12, 0x34, 0x56, 0x78}), 0, vimo::Exchange::kOk, ""},
    {"dripping", Framed({1, 4, 4, 0x12, 0x34, 0x56, 0x78}), 150, vimo::Exchange::kTimeout,
     "answer cut off"},
    {"silent", {}, 0, vimo::Exchange::kTimeout, ""},
    {"bad CRC", {1, 4, 4, 0x12, 0x34, 0x56, 0x78, 0, 0}, 0, vimo::Exchange::kBadFrame, ""},
    {"foreign slave", Framed({7, 4, 4, 0x12, 0x34, 0x56, 0x78}), 0, vimo::Exchange::kBadFrame,
     "answer from slave 7, not 1"},
    {"byte count", Framed({1, 4, 2, 0x12, 0x34}), 0, vimo::Exchange::kBadFrame, "answer of 2 bytes, not 4"},
    {"exception 02", Framed({1, 0x84, 2}), 0, vimo::Exchange::kException, ""},
};
static_assert(sizeof kAnswers / sizeof kAnswers[0] == 7, "rows of the table");

// The slave's end of a pseudo-terminal: reads one request, then answers it.
class DrippingSlave {
public:
    explicit DrippingSlave(const Answer& answer) : answer_(answer) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
        // Held open so that the master end never reads a hang-up between opens.
        keep_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
        termios tios{};
        tcgetattr(keep_, &tios);
        cfmakeraw(&tios);
        tcsetattr(keep_, TCSANOW, &tios);
        thread_ = std::thread([this] { Serve(); });
    }
    ~DrippingSlave() {
        stop_ = true;
        thread_.join();
        close(keep_);
        close(master_);
    }
    const std::string& path() const { return path_; }

private:
    void Serve() {
        uint8_t request[8];
        size_t got = 0;
        while (!stop_ && got < sizeof request) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            const ssize_t n = read(master_, request + got, sizeof request - got);
            if (n > 0) got += static_cast<size_t>(n);
        }
        for (size_t i = 0; i < answer_.bytes.size(); ++i) {
            const uint8_t byte = answer_.bytes[i];
            for (int waited = 0; i > 0 && waited < answer_.drip_ms && !stop_; waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (stop_ || write(master_, &byte, 1) != 1) return;
        }
    }
    const Answer& answer_;
    int master_ = -1;
    int keep_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// RS-485 values. Columns: the text, whether it is taken, what it reads back as (or a
// part of the error).
struct Rs485Value {
    const char* text;
    bool ok;
    const char* back;
};
const Rs485Value kRs485Values[] = {
    {"off", true, "off"},
    {"on", true, "on"},
    {"on,rts_after_send", true, "on,rts_after_send"},
    {"on,after=5,before=100", true, "on,before=100,after=5"},
    {"on,before=0,rts_after_send", true, "on,rts_after_send"},
    {"", false, "\"off\", \"on\""},
    {"On", false, "\"off\", \"on\""},
    {"off,before=1", false, "\"off\", \"on\""},
    {"onx", false, "\"off\", \"on\""},
    {"on,", false, "after=MS, not \"\""},
    {"on,rts_on_send", false, "not \"rts_on_send\""},
    {"on,before", false, "not \"before\""},
    {"on,before=101", false, "before=MS with MS a whole number from 0 to 100"},
    {"on,after=-1", false, "after=MS with MS"},
    {"on,after= 5", false, "after=MS with MS"},
    {"on,after=", false, "after=MS with MS"},
    {"on,before=00001", false, "before=MS with MS"},
};
static_assert(sizeof kRs485Values / sizeof kRs485Values[0] == 17, "rows of the table");

TEST(RtuLine, Rs485ValuesReadOrRefused) {
    for (const Rs485Value& v : kRs485Values) {
        SCOPED_TRACE(v.text);
        Rs485Mode mode;
        mode.after_ms = 7;  // left alone by a refused value
        std::string error;
        ASSERT_EQ(v.ok, vimo::ParseRs485(v.text, mode, error)) << error;
        if (v.ok) {
            EXPECT_EQ(v.back, vimo::Rs485Text(mode));
        } else {
            EXPECT_NE(std::string::npos, error.find(v.back)) << error;
            EXPECT_EQ(7, mode.after_ms);
        }
    }
}

// A pty has no RS-485 mode: "on" is refused, for good (in_use), naming the setting and
// the reason; "off" leaves the port alone and polls.
TEST(RtuLine, Rs485ModeRefusedByAPortWithoutIt) {
    DrippingSlave slave(kAnswers[0]);
    vimo::LineSettings settings;
    settings.port = slave.path();
    settings.timeout_ms = 500;
    settings.retries = 0;
    settings.rs485.on = true;
    settings.rs485.after_ms = 2;
    std::string error;
    bool in_use = false;
    EXPECT_FALSE(vimo::MakeRtuLine(settings)->Open(error, &in_use));
    EXPECT_TRUE(in_use);
    EXPECT_NE(std::string::npos, error.find("rs485 \"on,after=2\" refused: ")) << error;
    EXPECT_NE(std::string::npos, error.find(" (the port has no RS-485 mode")) << error;
    settings.rs485 = Rs485Mode();
    std::unique_ptr<vimo::ModbusLine> line = vimo::MakeRtuLine(settings);
    ASSERT_TRUE(line->Open(error, &in_use)) << error;
    uint16_t values[2] = {};
    EXPECT_TRUE(line->ReadInputRegisters(1, 0, 2, values).ok());
    EXPECT_EQ(0x1234, values[0]);
}

TEST(RtuLine, WholeExchangeUnderItsTimeoutAndAnswersCheckedWhole) {
    for (const Answer& a : kAnswers) {
        SCOPED_TRACE(a.what);
        DrippingSlave slave(a);
        vimo::LineSettings settings;
        settings.port = slave.path();
        settings.timeout_ms = 100;
        settings.retries = 0;
        std::unique_ptr<vimo::ModbusLine> line = vimo::MakeRtuLine(settings);
        std::string error;
        ASSERT_TRUE(line->Open(error)) << error;
        uint16_t values[2] = {};
        const Clock::time_point start = Clock::now();
        const vimo::ExchangeResult result = line->ReadInputRegisters(1, 0, 2, values);
        // 100 ms and some 26 ms on the wire at 9600 baud; the rest is slack for a
        // loaded or emulated machine, far below the 1.35 s the dripping answer takes.
        const auto took = Clock::now() - start;
        EXPECT_EQ(static_cast<int>(a.status), static_cast<int>(result.status)) << result.message;
        EXPECT_NE(std::string::npos, result.message.find(a.message)) << result.message;
        if (a.status == vimo::Exchange::kTimeout) {
            EXPECT_GE(took, std::chrono::milliseconds(100));
        }
        EXPECT_LT(took, std::chrono::milliseconds(900));
        if (result.ok()) {
            EXPECT_EQ(0x1234, values[0]);
            EXPECT_EQ(0x5678, values[1]);
        }
        line->Close();
    }
}

}  // namespace
