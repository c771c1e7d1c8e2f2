// The Modbus server's answers, framing and allow-list, in process: a table of requests
// against a unit whose record is known byte by byte, then the same unit before its
// first round and after communication is lost.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mbserver/allow_list.h"
#include "mbserver/mbap.h"
#include "mbserver/register_map.h"
#include "mbserver/responder.h"
#include "mbserver/server.h"
#include "monitor/alarms.h"

namespace {

namespace mb = novex::mbserver;
namespace monitor = novex::monitor;

// A unit after 70000 rounds whose record byte i is (i * 7 + 3) & 0xFF, with every
// second coil byte set to 0.
monitor::DeviceSnapshot Unit() {
    monitor::DeviceSnapshot unit;
    unit.record.resize(853);
    for (size_t i = 0; i < unit.record.size(); ++i) unit.record[i] = static_cast<unsigned char>((i * 7 + 3) & 0xFF);
    for (size_t i = 4; i < 68; i += 2) unit.record[i] = 0;
    unit.rounds_completed = 70000;
    unit.last_round_utc = 1000;
    return unit;
}

std::string Pdu(uint8_t function, uint16_t first, uint16_t count) {
    return {static_cast<char>(function), static_cast<char>(first >> 8), static_cast<char>(first & 0xFF),
            static_cast<char>(count >> 8), static_cast<char>(count & 0xFF)};
}

std::string Ask(const monitor::DeviceSnapshot* unit, const std::string& pdu, int64_t now = 1005) {
    return mb::Answer(unit, reinterpret_cast<const uint8_t*>(pdu.data()), pdu.size(), now);
}

uint16_t RecordWord(const monitor::DeviceSnapshot& unit, size_t offset) {
    uint16_t v;
    std::memcpy(&v, unit.record.data() + offset, 2);
    return v;
}

uint16_t AnswerWord(const std::string& answer, size_t index) {
    return static_cast<uint16_t>(static_cast<uint8_t>(answer[2 + 2 * index]) << 8 |
                                 static_cast<uint8_t>(answer[3 + 2 * index]));
}

TEST(ModbusAnswers, ExceptionsByRule) {
    const monitor::DeviceSnapshot unit = Unit();
    // Columns: function, first address, count, exception (0: an answer).
    struct Row {
        uint8_t function;
        uint16_t first, count;
        uint8_t exception;
    } const rows[] = {
        {0x01, 1, 31, 0},     {0x02, 65, 33, 0},     {0x01, 1, 32, 2},     {0x01, 0, 1, 2},
        {0x01, 32, 1, 2},     {0x01, 64, 34, 2},     {0x04, 1, 40, 0},     {0x04, 1, 41, 2},
        {0x04, 61, 8, 0},     {0x04, 81, 11, 0},     {0x04, 80, 2, 2},     {0x04, 91, 9, 2},
        {0x04, 100, 21, 0},   {0x04, 120, 2, 2},     {0x04, 550, 21, 0},   {0x04, 2000, 120, 0},
        {0x04, 2119, 2, 2},   {0x04, 65535, 1, 2},   {0x04, 1, 0, 3},      {0x04, 2000, 126, 3},
        {0x01, 1, 2001, 3},   {0x01, 1, 0, 3},       {0x03, 1, 40, 1},     {0x03, 9000, 8, 0},
        {0x04, 9000, 8, 0},   {0x04, 8999, 2, 2},    {0x04, 9007, 2, 2},   {0x03, 9008, 1, 1},
        {0x05, 1, 0xFF00, 1}, {0x06, 1, 1, 1},       {0x0F, 1, 1, 1},      {0x10, 1, 1, 1},
        {0x16, 1, 1, 1},      {0x17, 1, 1, 1},       {0x2B, 1, 1, 1},      {0x00, 1, 1, 1},
    };
    for (const Row& r : rows) {
        const std::string answer = Ask(&unit, Pdu(r.function, r.first, r.count));
        SCOPED_TRACE("function " + std::to_string(r.function) + " at " + std::to_string(r.first) + " x" +
                     std::to_string(r.count));
        EXPECT_EQ(r.exception, mb::ExceptionOf(answer));
        if (r.exception != 0) {
            EXPECT_EQ(r.function | 0x80, static_cast<uint8_t>(answer[0]));
        }
    }
    // Every function code: anything but a read of bits or registers is refused as unknown.
    for (int f = 0; f < 256; ++f) {
        const std::string answer = Ask(&unit, Pdu(static_cast<uint8_t>(f), 1, 1));
        const bool reads = f >= 1 && f <= 4;
        EXPECT_EQ(reads ? (f == 3 ? 1 : 0) : 1, mb::ExceptionOf(answer)) << f;
    }
    // A request of the wrong length, a unit not served.
    EXPECT_EQ(3, mb::ExceptionOf(Ask(&unit, Pdu(0x04, 1, 1) + "x")));
    EXPECT_EQ(3, mb::ExceptionOf(Ask(&unit, std::string("\x04\x00\x01", 3))));
    EXPECT_EQ(0x0B, mb::ExceptionOf(Ask(nullptr, Pdu(0x04, 1, 1))));
}

TEST(ModbusAnswers, ValuesAreTheRecordsOwn) {
    const monitor::DeviceSnapshot unit = Unit();
    for (const mb::ServedBlock& b : mb::ServedBlocks()) {
        const std::string answer = Ask(&unit, Pdu(b.bits ? 0x01 : 0x04, b.first, b.count));
        ASSERT_EQ(0, mb::ExceptionOf(answer)) << b.first;
        if (b.bits) {
            ASSERT_EQ(2 + (b.count + 7) / 8u, answer.size());
            for (size_t i = 0; i < b.count; ++i)
                EXPECT_EQ(unit.record[b.record_offset + i] != 0, (answer[2 + i / 8] >> (i % 8) & 1) != 0)
                    << "coil " << b.first + i;
        } else {
            ASSERT_EQ(2 + 2u * b.count, answer.size());
            for (size_t i = 0; i < b.count; ++i)
                EXPECT_EQ(RecordWord(unit, b.record_offset + 2 * i), AnswerWord(answer, i)) << b.first + i;
        }
    }
    // The blocks are the twenty the round reads: 64 coils, 59 + 210 + 120 registers.
    size_t bits = 0, registers = 0;
    for (const mb::ServedBlock& b : mb::ServedBlocks()) (b.bits ? bits : registers) += b.count;
    EXPECT_EQ(20u, mb::ServedBlocks().size());
    EXPECT_EQ(64u, bits);
    EXPECT_EQ(389u, registers);
}

TEST(ModbusAnswers, StatusBlockAndFreshness) {
    monitor::DeviceSnapshot unit = Unit();
    unit.active_alarms = {static_cast<monitor::AlarmIndex>(monitor::FindAlarm("run_state.on_battery")),
                          static_cast<monitor::AlarmIndex>(monitor::FindAlarm("battery_voltage_low"))};
    std::string status = Ask(&unit, Pdu(0x04, 9000, 8));
    // Age 5 s, ok, 70000 rounds, on battery, battery low, critical, two alarms.
    const uint16_t fresh[] = {5, 1, 1, 70000 - 65536, 1, 1, 3, 2};
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(fresh[i], AnswerWord(status, i)) << i;

    unit.communication = monitor::Communication::kLost;
    EXPECT_EQ(0x0B, mb::ExceptionOf(Ask(&unit, Pdu(0x04, 1, 1))));
    EXPECT_EQ(0x0B, mb::ExceptionOf(Ask(&unit, Pdu(0x01, 1, 1))));
    EXPECT_EQ(2, mb::ExceptionOf(Ask(&unit, Pdu(0x04, 41, 1))));  // not polled stays 02
    EXPECT_EQ(2, AnswerWord(Ask(&unit, Pdu(0x04, 9001, 1)), 0));
    EXPECT_EQ(65535, AnswerWord(Ask(&unit, Pdu(0x04, 9000, 1), 1000 + 100000), 0));

    monitor::DeviceSnapshot none;  // no round yet (a stored round loaded counts as none)
    none.record = unit.record;
    EXPECT_EQ(0x0B, mb::ExceptionOf(Ask(&none, Pdu(0x04, 1, 1))));
    status = Ask(&none, Pdu(0x03, 9000, 4));
    const uint16_t before[] = {65535, 0, 0, 0};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(before[i], AnswerWord(status, i)) << i;
}

// Frames split anywhere are the same frames; a bad header ends the connection.
TEST(ModbusFraming, SplitsAndBadHeaders) {
    const std::string two = std::string("\x00\x01\x00\x00\x00\x06\x07\x04\x00\x01\x00\x02", 12) +
                            std::string("\x12\x34\x00\x00\x00\x03\x08\x11\x22", 9);
    for (size_t step = 1; step <= two.size(); ++step) {
        mb::FrameReader reader;
        std::vector<mb::Frame> frames;
        std::string why;
        for (size_t at = 0; at < two.size(); at += step) {
            reader.Feed(two.data() + at, std::min(step, two.size() - at));
            mb::Frame f;
            while (reader.Next(f, why) == mb::FrameReader::Result::kFrame) frames.push_back(f);
        }
        ASSERT_EQ(2u, frames.size()) << step;
        EXPECT_EQ(1, frames[0].transaction);
        EXPECT_EQ(7, frames[0].unit);
        EXPECT_EQ(std::string("\x04\x00\x01\x00\x02", 5), frames[0].pdu);
        EXPECT_EQ(0x1234, frames[1].transaction);
        EXPECT_EQ(std::string("\x11\x22", 2), frames[1].pdu);
        EXPECT_FALSE(reader.Partial());
    }
    // Columns: header bytes 2..5 (protocol id, length), whether it is bad.
    struct Row {
        const char* bytes;
        bool bad;
    } const rows[] = {
        {"\x00\x01\x00\x06", true},  {"\xFF\xFF\x00\x06", true},  {"\x00\x00\xFF\xFF", true},
        {"\x00\x00\x00\x00", true},  {"\x00\x00\x00\x01", true},  {"\x00\x00\x00\xFF", true},
        {"\x00\x00\x00\xFE", false}, {"\x00\x00\x00\x02", false},
    };
    for (const Row& r : rows) {
        mb::FrameReader reader;
        std::string frame = std::string("\x00\x09", 2) + std::string(r.bytes, 4) + "\x01";
        reader.Feed(frame.data(), frame.size());
        mb::Frame f;
        std::string why;
        EXPECT_EQ(r.bad, reader.Next(f, why) == mb::FrameReader::Result::kBad) << why;
    }
    mb::Frame request;
    request.transaction = 0xBEEF;
    request.unit = 9;
    EXPECT_EQ(std::string("\xBE\xEF\x00\x00\x00\x03\x09\x84\x0B", 9), mb::FrameAnswer(request, "\x84\x0B"));
}

TEST(ModbusAllowList, Networks) {
    mb::AllowList list;
    std::string error;
    ASSERT_TRUE(list.Parse("10.1.0.0/16, 192.168.5.7 ::1/128", error)) << error;
    const auto v4 = [](const char* text) {
        sockaddr_storage s{};
        auto& a = reinterpret_cast<sockaddr_in&>(s);
        a.sin_family = AF_INET;
        inet_pton(AF_INET, text, &a.sin_addr);
        return s;
    };
    const auto v6 = [](const char* text) {
        sockaddr_storage s{};
        auto& a = reinterpret_cast<sockaddr_in6&>(s);
        a.sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &a.sin6_addr);
        return s;
    };
    EXPECT_TRUE(list.Allows(v4("10.1.200.3")));
    EXPECT_FALSE(list.Allows(v4("10.2.0.1")));
    EXPECT_TRUE(list.Allows(v4("192.168.5.7")));
    EXPECT_FALSE(list.Allows(v4("192.168.5.8")));
    EXPECT_TRUE(list.Allows(v6("::1")));
    EXPECT_TRUE(list.Allows(v6("::ffff:10.1.0.9")));
    EXPECT_FALSE(list.Allows(v6("::2")));
    for (const char* bad : {"10.0.0.0/33", "::/129", "host.example", "10.0.0.0/", "10.0.0.0/x", ""}) {
        mb::AllowList other;
        EXPECT_FALSE(other.Parse(bad, error)) << bad;
    }
}

// A connection to 127.0.0.1:`port`, or -1.
int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Out of descriptors, the listener rests instead of spinning on a socket that stays
// readable, says so once, and takes the waiting client when descriptors are back.
TEST(ModbusListener, OutOfDescriptorsRestsAndSaysSoOnce) {
    mb::Units units;
    mb::ServerOptions options;
    options.port = 0;
    std::mutex mutex;
    std::vector<std::string> said;
    mb::Server server(units, options, [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        said.push_back(line);
    });
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    rlimit was{};
    getrlimit(RLIMIT_NOFILE, &was);
    rlimit low = was;
    low.rlim_cur = 256;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    std::vector<int> filler;  // every descriptor but one
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
    close(filler.back());
    filler.pop_back();
    const int client = Connect(server.port());  // queued by the kernel; not accepted
    ASSERT_GE(client, 0);
    const double cpu_before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpu = ProcessCpuSeconds() - cpu_before;
    for (const int fd : filler) close(fd);
    setrlimit(RLIMIT_NOFILE, &was);
    for (int waited = 0; waited < 3000 && server.Stats().connections == 0; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(1u, server.Stats().connections);
    EXPECT_LT(cpu, 0.3) << "the listener spun";
    close(client);
    server.Stop();
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(2u, said.size());
    EXPECT_EQ("modbus: cannot accept connections: Too many open files", said[0]);
    EXPECT_EQ(0u, said[1].find("modbus: cannot accept connections: works again after ")) << said[1];
}

}  // namespace
