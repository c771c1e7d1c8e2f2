// The simulator's pieces without a transport: the map and its answers, framing,
// wire time, scenarios (built-in and from files), fault schedules, the command line.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "registers/ups_registers.h"
#include "sim/exchange.h"
#include "sim/faults.h"
#include "sim/modbus_pdu.h"
#include "sim/options.h"
#include "sim/register_map.h"
#include "modbus/wire_time.h"

using namespace novexsim;

namespace {

UpsState Builtin(const std::string& name) {
    Scenario s;
    EXPECT_TRUE(BuiltinScenario(name, s)) << name;
    return UpsState(std::move(s));
}

// Wire bytes as a trace writes them: "01 04 00 00 00 28 F1 D4".
std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::istringstream in(text);
    for (std::string byte; in >> byte;)
        bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    return bytes;
}

std::vector<uint8_t> ReadPdu(uint8_t function, int first, int count) {
    return {function, static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first & 0xFF),
            static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count & 0xFF)};
}

Answer Ask(UpsState& state, const std::vector<uint8_t>& pdu) {
    return AnswerRequest(state, pdu.data(), pdu.size());
}

// The requests of one poll round of the plug-in, in order: function, first, count.
struct PollRequest {
    uint8_t function;
    int first;
    int count;
};
std::vector<PollRequest> PollRound() {
    std::vector<PollRequest> round;
    for (const novex::registers::Block& b : novex::registers::kBlocks)
        round.push_back({static_cast<uint8_t>(b.function), b.first, b.count});
    return round;
}

}  // namespace

// Which requests the map answers and how it refuses the others. Columns: function,
// first address, count, expected exception (0: a normal answer).
struct MapCase {
    uint8_t function;
    int first;
    int count;
    uint8_t exception;
};
const MapCase kMapCases[] = {
    {1, 1, 31, 0},     {1, 65, 33, 0},    {2, 1, 31, 0},     {2, 90, 1, 0},
    {1, 0, 1, 2},      {1, 31, 2, 2},     {1, 32, 1, 2},     {1, 64, 2, 2},
    {1, 97, 2, 2},     {1, 1, 97, 2},     {1, 1, 0, 3},      {1, 1, 2001, 3},
    {4, 1, 40, 0},     {4, 61, 8, 0},     {4, 81, 11, 0},    {4, 100, 21, 0},
    {4, 550, 21, 0},   {4, 2000, 120, 0}, {4, 2119, 1, 0},   {4, 0, 1, 2},
    {4, 40, 2, 2},     {4, 41, 1, 2},     {4, 60, 2, 2},     {4, 69, 1, 2},
    {4, 91, 2, 2},     {4, 99, 2, 2},     {4, 120, 2, 2},    {4, 121, 1, 2},
    {4, 149, 1, 2},    {4, 571, 1, 2},    {4, 1999, 2, 2},   {4, 2000, 121, 2},
    {4, 2119, 2, 2},   {4, 1, 126, 3},    {4, 1, 0, 3},      {4, 65535, 1, 2},
    {3, 1, 1, 1},      {5, 1, 0xFF00, 1}, {6, 1, 1, 1},      {0x10, 1, 1, 1},
    {0x2B, 0, 0, 1},
};

TEST(SimMap, AnswersMappedRangesAndRejectsEverythingElse) {
    UpsState state = Builtin("normal");
    for (const MapCase& c : kMapCases) {
        SCOPED_TRACE(std::to_string(c.function) + " " + std::to_string(c.first) + "+" +
                     std::to_string(c.count));
        const Answer a = Ask(state, ReadPdu(c.function, c.first, c.count));
        if (c.exception != 0) {
            EXPECT_EQ(a.pdu, ExceptionPdu(c.function, c.exception));
            continue;
        }
        ASSERT_GE(a.pdu.size(), 2u);
        EXPECT_EQ(a.pdu[0], c.function);
        const size_t data = c.function == 4 ? 2u * c.count : (c.count + 7u) / 8;
        EXPECT_EQ(a.pdu[1], data);
        EXPECT_EQ(a.pdu.size(), 2 + data);
    }
}

TEST(SimMap, TruncatedRequestIsAnIllegalValue) {
    UpsState state = Builtin("normal");
    const uint8_t pdu[] = {4, 0, 1, 0};
    EXPECT_EQ(AnswerRequest(state, pdu, sizeof pdu).pdu, ExceptionPdu(4, kIllegalDataValue));
    EXPECT_TRUE(AnswerRequest(state, pdu, 0).pdu.empty());
}

TEST(SimMap, EncodesValuesAsOnTheWire) {
    Scenario s;
    s.coils[1] = 1;
    s.coils[3] = 1;
    s.coils[9] = 1;
    s.coils[31] = 1;
    s.registers[1] = 0x1234;
    s.registers[2] = 0xFFEC;
    UpsState state(s);
    // Coils pack LSB first from the first address asked for.
    EXPECT_EQ(Ask(state, ReadPdu(1, 1, 31)).pdu,
              Hex("01 04 05 01 00 40"));
    EXPECT_EQ(Ask(state, ReadPdu(2, 3, 7)).pdu, Hex("02 01 41"));
    // Registers go high byte first.
    EXPECT_EQ(Ask(state, ReadPdu(4, 1, 2)).pdu,
              Hex("04 04 12 34 FF EC"));
}

TEST(SimMap, RoundsStartWithCoilOneAndEndWithTheLastBatteryRegister) {
    UpsState state = Builtin("normal");
    EXPECT_FALSE(Ask(state, ReadPdu(1, 65, 33)).begins_round);
    EXPECT_EQ(state.round(), 0);
    EXPECT_TRUE(Ask(state, ReadPdu(1, 1, 31)).begins_round);
    EXPECT_TRUE(Ask(state, ReadPdu(2, 1, 1)).begins_round);
    EXPECT_FALSE(Ask(state, ReadPdu(1, 0, 2)).begins_round);  // rejected: no round
    EXPECT_EQ(state.round(), 2);
    EXPECT_TRUE(Ask(state, ReadPdu(4, 2000, 120)).ends_round);
    EXPECT_FALSE(Ask(state, ReadPdu(4, 2000, 119)).ends_round);
}

TEST(SimFraming, CrcAndHeaders) {
    // A textbook request: read one holding register of slave 1, CRC 0x0A84 low first.
    EXPECT_EQ(RtuFrame(1, Hex("03 00 00 00 01")),
              Hex("01 03 00 00 00 01 84 0A"));
    const std::vector<uint8_t> frame = RtuFrame(7, Hex("04 02 08 9B"));
    EXPECT_EQ(Crc16(frame.data(), frame.size()), 0) << "a frame with its CRC checks to 0";

    const std::vector<uint8_t> mbap = Hex("12 34 00 00 00 06 FF");
    EXPECT_EQ(TcpFrame(mbap.data(), Hex("04 02 08 9B")),
              Hex("12 34 00 00 00 05 FF 04 02 08 9B"));
}

TEST(SimWireTime, OnePollRoundAt9600BaudTakesAbout124Seconds) {
    UpsState state = Builtin("normal");
    size_t bytes = 0;
    double seconds = 0;
    for (const PollRequest& r : PollRound()) {
        const std::vector<uint8_t> request = ReadPdu(r.function, r.first, r.count);
        const Answer a = Ask(state, request);
        ASSERT_EQ(a.pdu[0], r.function) << r.first;
        const size_t in = vimo::RtuFrameBytes(request.size());
        const size_t out = vimo::RtuFrameBytes(a.pdu.size());
        bytes += in + out;
        seconds += vimo::RtuExchangeSeconds({9600}, in, out);
    }
    // 20 requests of 8 bytes and 887 bytes of answers; 40 gaps of 3.5 characters.
    EXPECT_EQ(bytes, 1047u);
    EXPECT_NEAR(seconds, (1047 + 40 * 3.5) * 10 / 9600, 1e-9);
    EXPECT_NEAR(seconds, 1.24, 0.005);
}

TEST(SimWireTime, ScalesWithTheLineSpeed) {
    // Reading 120 registers: 8 request bytes, 245 answer bytes, 7 silent characters.
    EXPECT_NEAR(vimo::RtuExchangeSeconds({9600}, 8, 245), 2600.0 / 9600, 1e-12);
    EXPECT_NEAR(vimo::RtuExchangeSeconds({19200}, 8, 245), 2600.0 / 19200, 1e-12);
    // Above 19200 baud the silence is a fixed 1.75 ms; a parity bit makes 11-bit characters.
    EXPECT_NEAR(vimo::RtuExchangeSeconds({115200}, 8, 5), 130.0 / 115200 + 0.0035, 1e-12);
    EXPECT_NEAR(vimo::RtuExchangeSeconds({9600, 8, 'E', 1}, 8, 245), 2860.0 / 9600, 1e-12);
}

TEST(SimWireTime, TheLineAndTheSimulatorTimeAReadAlike) {
    // One model: what the poller expects a read to cost is what the simulator waits.
    UpsState state = Builtin("normal");
    vimo::LineSettings line;
    for (const int baud : {9600, 38400}) {
        line.baud = baud;
        for (const PollRequest& r : PollRound()) {
            const std::vector<uint8_t> request = ReadPdu(r.function, r.first, r.count);
            const Answer a = Ask(state, request);
            const bool bits = r.function == 0x01 || r.function == 0x02;
            EXPECT_NEAR(vimo::WireSeconds(line, bits, r.count),
                        vimo::RtuExchangeSeconds({baud}, vimo::RtuFrameBytes(request.size()),
                                                 vimo::RtuFrameBytes(a.pdu.size())),
                        1e-12)
                << r.first;
        }
    }
}

TEST(SimResponder, PacedRoundIsReportedWithItsWireTime) {
    UpsState state = Builtin("normal");
    FaultInjector faults({}, false);
    Responder responder(state, faults, Framing::kRtu, 1, 1, 9600);
    const Clock::time_point t0 = Clock::now();
    double expected = 0;
    std::string line;
    for (const PollRequest& r : PollRound()) {
        const std::vector<uint8_t> adu = RtuFrame(1, ReadPdu(r.function, r.first, r.count));
        const Reply reply = responder.Handle(adu.data(), adu.size(), t0);
        ASSERT_TRUE(reply.addressed);
        const double wire = vimo::RtuExchangeSeconds({9600}, adu.size(), reply.bytes.size());
        expected += wire;
        EXPECT_NEAR(std::chrono::duration<double>(reply.send_at - t0).count(), wire, 1e-6);
        EXPECT_EQ(Crc16(reply.bytes.data(), reply.bytes.size()), 0);
        line = reply.round_line;
    }
    char want[64];
    std::snprintf(want, sizeof want, "round 1 paced %.6f s", expected);
    EXPECT_EQ(line, want);
    EXPECT_EQ(line, "round 1 paced 1.236458 s");
}

TEST(SimResponder, AddressingAndBrokenAnswers) {
    UpsState state = Builtin("normal");
    FaultConfig config;
    config.crc_every = 2;
    FaultInjector faults(config, true);
    Responder rtu(state, faults, Framing::kRtu, 5, 5, 0);
    const std::vector<uint8_t> other = RtuFrame(6, ReadPdu(4, 1, 1));
    EXPECT_FALSE(rtu.Handle(other.data(), other.size(), Clock::now()).addressed);
    const std::vector<uint8_t> broadcast = RtuFrame(0, ReadPdu(4, 1, 1));
    EXPECT_FALSE(rtu.Handle(broadcast.data(), broadcast.size(), Clock::now()).addressed);
    EXPECT_EQ(faults.requests(), 0u) << "other slaves' requests are not counted";

    const std::vector<uint8_t> mine = RtuFrame(5, ReadPdu(4, 1, 1));
    const Reply good = rtu.Handle(mine.data(), mine.size(), Clock::now());
    EXPECT_EQ(good.bytes, RtuFrame(5, Hex("04 02 08 9B")));
    const Reply bad = rtu.Handle(mine.data(), mine.size(), Clock::now());
    ASSERT_EQ(bad.bytes.size(), good.bytes.size());
    EXPECT_NE(Crc16(bad.bytes.data(), bad.bytes.size()), 0);

    Responder tcp(state, faults, Framing::kTcp, 5, 5, 0);
    const std::vector<uint8_t> unit255 = Hex("00 09 00 00 00 06 FF 04 00 01 00 01");
    const Reply answered = tcp.Handle(unit255.data(), unit255.size(), Clock::now());  // request 3
    EXPECT_EQ(answered.bytes, Hex("00 09 00 00 00 05 FF 04 02 08 9B"));
    const Reply broken = tcp.Handle(unit255.data(), unit255.size(), Clock::now());  // request 4
    EXPECT_EQ(broken.bytes[2], 0xFF) << "protocol identifier no longer Modbus";
    const std::vector<uint8_t> unit7 = Hex("00 09 00 00 00 06 07 04 00 01 00 01");
    EXPECT_FALSE(tcp.Handle(unit7.data(), unit7.size(), Clock::now()).addressed);
}

TEST(SimScenario, NormalIsAPlausibleUnitOnMains) {
    UpsState s = Builtin("normal");
    EXPECT_EQ(s.input_register(81), 4);  // on mains
    for (int r : {1, 2, 3, 11, 12, 13}) {
        EXPECT_GE(s.input_register(r), 2200) << r;
        EXPECT_LE(s.input_register(r), 2300) << r;
    }
    EXPECT_EQ(s.input_register(4), 500);
    EXPECT_EQ(s.input_register(14), 500);
    for (int r : {21, 22, 23}) {
        EXPECT_GE(s.input_register(r), 30) << r;
        EXPECT_LE(s.input_register(r), 40) << r;
    }
    EXPECT_EQ(s.input_register(37), 100);
    for (int a = 65; a <= 97; ++a) EXPECT_EQ(s.coil(a), 0) << "no alarm on coil " << a;
    for (int r = 86; r <= 89; ++r) EXPECT_EQ(s.input_register(r), 0) << r;
    for (int m = 1; m <= 10; ++m) {
        const int base = 100 + 50 * (m - 1);
        const bool fitted = m <= 4;
        EXPECT_EQ(s.input_register(base + 12) == 0x8000, fitted) << "module " << m;
        EXPECT_EQ(s.input_register(base + 2) != 0, fitted) << "module " << m;
        EXPECT_EQ(s.input_register(base + 15), 0) << "module " << m;
    }
    for (int n = 0; n < 30; ++n) {
        EXPECT_NEAR(s.input_register(2000 + 4 * n), 1350, 10) << "cell " << n + 1;
        EXPECT_EQ(s.input_register(2001 + 4 * n), 25) << "cell " << n + 1;
    }
}

TEST(SimScenario, OnBatteryDischargesAndRaisesLowBatteryOnce) {
    UpsState s = Builtin("on-battery");
    int previous_capacity = 1000;
    int previous_backup = 1000;
    int alarm_round = 0;
    for (int round = 1; round <= 15; ++round) {
        s.BeginRound();
        EXPECT_EQ(s.input_register(81), 5);
        EXPECT_EQ(s.input_register(1), 0);
        const int capacity = s.input_register(37);
        const int backup = s.input_register(38);
        if (capacity > 0) {
            EXPECT_LT(capacity, previous_capacity) << round;
        }
        if (backup > 0) {
            EXPECT_LT(backup, previous_backup) << round;
        }
        previous_capacity = capacity;
        previous_backup = backup;
        const bool low = capacity < 20;
        EXPECT_EQ(s.coil(90), low ? 1 : 0) << round;
        EXPECT_EQ((s.input_register(87) & 0x0400) != 0, low) << round;
        EXPECT_EQ(s.input_register(87) & 0x0040, 0x0040) << "mains alarm stays";
        if (low && alarm_round == 0) alarm_round = round;
    }
    EXPECT_EQ(alarm_round, 4);
    EXPECT_EQ(previous_capacity, 0) << "clamped, never wraps";
}

// The quick start's outage as a trace of its turns. Columns: round, run state
// (register 81), mains alarm bit (register 87, 0x0040), low-battery coil 90, capacity
// (register 37), backup minutes (register 38), input voltage A tenths (register 1).
TEST(SimScenario, OutageRunsTheBatteryLowThenMainsComesBack) {
    struct Row {
        int round, state, mains_alarm, low, capacity, backup, input;
    };
    const Row trace[] = {
        {1, 4, 0, 0, 100, 45, 2203},  {10, 4, 0, 0, 100, 45, 2203},
        {11, 5, 1, 0, 100, 45, 0},    {12, 5, 1, 0, 98, 44, 0},
        {51, 5, 1, 0, 20, 5, 0},      {52, 5, 1, 1, 18, 4, 0},
        {53, 5, 1, 1, 16, 3, 0},      {54, 4, 0, 1, 16, 3, 2203},
        {55, 4, 0, 1, 18, 4, 2203},   {56, 4, 0, 0, 20, 5, 2203},
        {95, 4, 0, 0, 98, 44, 2203},  {96, 4, 0, 0, 100, 45, 2203},
        {97, 4, 0, 0, 100, 45, 2203},
        {300, 4, 0, 0, 100, 45, 2203},
    };
    UpsState s = Builtin("outage");
    size_t next = 0;
    for (int round = 1; round <= 300 && next < std::size(trace); ++round) {
        s.BeginRound();
        const Row& r = trace[next];
        if (round != r.round) continue;
        ++next;
        EXPECT_EQ(s.input_register(81), r.state) << "round " << round;
        EXPECT_EQ((s.input_register(87) & 0x0040) != 0, r.mains_alarm == 1) << "round " << round;
        EXPECT_EQ(s.coil(90), r.low) << "round " << round;
        EXPECT_EQ(s.input_register(37), r.capacity) << "round " << round;
        EXPECT_EQ(s.input_register(38), r.backup) << "round " << round;
        EXPECT_EQ(s.input_register(1), r.input) << "round " << round;
    }
    EXPECT_EQ(next, std::size(trace));
}

TEST(SimScenario, ModuleFaultFlagsModuleThree) {
    UpsState s = Builtin("module-fault");
    EXPECT_EQ(s.coil(65), 1);
    EXPECT_EQ(s.coil(68), 1);
    EXPECT_EQ(s.input_register(86), 0x8040);
    EXPECT_EQ(s.input_register(215), 0x8040);
    EXPECT_EQ(s.input_register(211) & 0x4000, 0) << "rectifier stopped";
    EXPECT_EQ(s.input_register(165), 0);
    EXPECT_EQ(s.input_register(265), 0);
    EXPECT_EQ(s.input_register(81), 4);
}

TEST(SimScenario, FileValuesDeltasAndClamping) {
    Scenario sc;
    std::string error;
    ASSERT_TRUE(ParseScenario(R"({
        "base": "normal",
        "coils": {"65": 1, "3": 0},
        "input_registers": {"1": 2203, "86": "0x8040", "37": 3, "40": 65530, "2119": "7"},
        "per_round": {"coils": {"90": 1, "65": -1},
                      "input_registers": {"37": -2, "40": 4}}
    })", "t.json", sc, error)) << error;
    UpsState s(sc);
    EXPECT_EQ(s.coil(65), 1);
    EXPECT_EQ(s.coil(3), 0);
    EXPECT_EQ(s.coil(7), 1) << "from the base";
    EXPECT_EQ(s.input_register(86), 0x8040);
    EXPECT_EQ(s.input_register(2119), 7);
    s.BeginRound();  // round 1 serves the file's values
    EXPECT_EQ(s.input_register(37), 3);
    EXPECT_EQ(s.coil(90), 0);
    s.BeginRound();
    EXPECT_EQ(s.input_register(37), 1);
    EXPECT_EQ(s.input_register(40), 65534);
    EXPECT_EQ(s.coil(90), 1);
    EXPECT_EQ(s.coil(65), 0);
    s.BeginRound();
    EXPECT_EQ(s.input_register(37), 0);
    EXPECT_EQ(s.input_register(40), 65535);
    EXPECT_EQ(s.coil(90), 1);

    ASSERT_TRUE(ParseScenario("{}", "empty", sc, error)) << error;
    EXPECT_EQ(UpsState(sc).input_register(1), 0) << "no base: everything 0";
}

// Deeper than the reader follows: refused, not a crash.
const std::string kDeeplyNested =
    "{\"coils\": " + std::string(5000, '[') + std::string(5000, ']') + "}";

// Bad scenario files. Columns: file text, a part the one-line error must contain.
struct BadScenario {
    const char* text;
    const char* error;
};
const BadScenario kBadScenarios[] = {
    {"", "not valid JSON"},
    {"{\"coils\": {\"65\": 1}", "not valid JSON"},
    {"{\"coils\": {}} // note", "not valid JSON"},
    {"[1, 2]", "top level must be a JSON object"},
    {"{\"coil\": {}}", "unknown key \"coil\""},
    {"{\"co\\nils\": {}}", "unknown key \"co\\x0Ails\""},  // control characters escaped
    {"{\"base\": \"sunny\"}", "base: not a built-in scenario (expected normal, on-battery"},
    {"{\"base\": 3}", "base: not a built-in scenario"},
    {"{\"coils\": []}", "coils must be an object"},
    {"{\"coils\": {\"x\": 1}}", "coils: \"x\" is not an address"},
    {"{\"coils\": {\"-1\": 1}}", "coils: \"-1\" is not an address"},
    {"{\"coils\": {\"6\\r5\": 1}}", "coils: \"6\\x0D5\" is not an address"},
    {"{\"coils\": {\"40\": 1}}", "coils: address 40 is not served (1..31, 65..97)"},
    {"{\"coils\": {\"0\": 1}}", "address 0 is not served"},
    {"{\"coils\": {\"65\": 2}}", "coils 65: 2 is out of range 0..1"},
    {"{\"coils\": {\"65\": true}}", "coils 65: the value must be an integer"},
    {"{\"input_registers\": {\"41\": 1}}", "input_registers: address 41 is not served"},
    {"{\"input_registers\": {\"2120\": 1}}", "address 2120 is not served"},
    {"{\"input_registers\": {\"1\": 65536}}", "input_registers 1: 65536 is out of range 0..65535"},
    {"{\"input_registers\": {\"1\": -1}}", "-1 is out of range 0..65535"},
    {"{\"input_registers\": {\"1\": 1.5}}", "input_registers 1: the value must be an integer"},
    {"{\"input_registers\": {\"1\": \"0x\"}}", "the value must be an integer"},
    {"{\"input_registers\": {\"1\": \"12ab\"}}", "the value must be an integer"},
    {"{\"input_registers\": {\"1\": \"0x10000\"}}", "65536 is out of range"},
    {"{\"input_registers\": {\"1\": 1, \"1\": 2}}", "not valid JSON"},
    {"{\"coils\": {\"65\": 1, \"065\": 0}}", "coils: address 65 is given twice (\"065\" and \"65\")"},
    {"{\"per_round\": {\"input_registers\": {\"0037\": 1, \"37\": 1}}}", "address 37 is given twice"},
    {"{\"per_round\": 5}", "per_round must be an object"},
    {"{\"per_round\": {\"registers\": {}}}", "per_round: unknown key \"registers\""},
    {"{\"per_round\": {\"coils\": {\"65\": 2}}}", "per_round coils 65: 2 is out of range -1..1"},
    {"{\"per_round\": {\"input_registers\": {\"37\": -70000}}}", "out of range -65535..65535"},
    {"{\"per_round\": {\"input_registers\": {\"50\": 1}}}", "address 50 is not served"},
    {kDeeplyNested.c_str(), "not valid JSON"},
};

TEST(SimScenario, BadFilesGiveOneLineNamingTheProblem) {
    for (const BadScenario& c : kBadScenarios) {
        SCOPED_TRACE(c.text);
        Scenario s;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, "f.json", s, error));
        EXPECT_EQ(error.rfind("f.json: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

TEST(SimScenario, FilesThatCannotBeRead) {
    Scenario s;
    std::string error;
    EXPECT_FALSE(LoadScenarioFile("/nonexistent/x.json", s, error));
    EXPECT_NE(error.find("/nonexistent/x.json: cannot open"), std::string::npos) << error;
    EXPECT_FALSE(LoadScenarioFile("/tmp", s, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

    const std::string path = "/tmp/novex-sim-scenario-" + std::to_string(getpid()) + ".json";
    std::ofstream(path) << R"({"input_registers": {"81": 5}})";
    ASSERT_TRUE(LoadScenarioFile(path, s, error)) << error;
    EXPECT_EQ(UpsState(s).input_register(81), 5);
    std::remove(path.c_str());
}

// Periodic faults. Columns: configuration, requests 1..12 as one letter each
// (. none, n no answer, d drop, x exception, c bad checksum), requests delayed.
struct FaultCase {
    FaultConfig config;
    bool can_drop;
    const char* pattern;
    const char* delayed;
};

FaultConfig Every(int noanswer, int drop, int exception, int crc, int delay_ms = 0,
                  int delay_every = 0) {
    FaultConfig c;
    c.noanswer_every = noanswer;
    c.drop_every = drop;
    c.exception_every = exception;
    c.crc_every = crc;
    c.delay_ms = delay_ms;
    c.delay_every = delay_every;
    return c;
}

const FaultCase kFaultCases[] = {
    {Every(0, 0, 0, 0), true, "............", "............"},
    {Every(3, 0, 0, 0), true, "..n..n..n..n", "............"},
    {Every(0, 4, 0, 0), true, "...d...d...d", "............"},
    {Every(0, 4, 0, 0), false, "...n...n...n", "............"},
    {Every(0, 0, 5, 0), true, "....x....x..", "............"},
    {Every(0, 0, 0, 1), true, "cccccccccccc", "............"},
    {Every(2, 3, 5, 0), true, ".ndnxn.ndn.n", "............"},
    {Every(0, 0, 0, 0, 10, 6), true, "............", ".....*.....*"},
    {Every(4, 0, 0, 0, 10, 2), true, "...n...n...n", ".*.*.*.*.*.*"},
};

TEST(SimFaults, PeriodicSchedules) {
    for (const FaultCase& c : kFaultCases) {
        SCOPED_TRACE(std::string(c.pattern) + " / " + c.delayed);
        FaultInjector faults(c.config, c.can_drop);
        std::string pattern, delayed;
        for (int i = 0; i < 12; ++i) {
            const FaultDecision d = faults.Next();
            pattern += ".ndxc"[static_cast<int>(d.fault)];
            delayed += d.delay_ms > 0 ? '*' : '.';
            if (d.delay_ms > 0) {
                EXPECT_EQ(d.delay_ms, 10);
            }
        }
        EXPECT_EQ(pattern, c.pattern);
        EXPECT_EQ(delayed, c.delayed);
        EXPECT_EQ(faults.requests(), 12u);
    }
}

TEST(SimFaults, RandomRateIsReproducibleAndNearTheRate) {
    FaultConfig config;
    config.rate_percent = 5;
    config.seed = 42;
    FaultInjector a(config, true), b(config, true);
    int faulted = 0;
    int kinds[5] = {};
    for (int i = 0; i < 20000; ++i) {
        const FaultDecision x = a.Next();
        const FaultDecision y = b.Next();
        ASSERT_EQ(x.fault, y.fault);
        ASSERT_EQ(x.delay_ms, y.delay_ms);
        if (x.fault != Fault::kNone || x.delay_ms > 0) ++faulted;
        if (x.delay_ms > 0) {
            EXPECT_EQ(x.delay_ms, kDefaultRandomDelayMs);
        }
        ++kinds[static_cast<int>(x.fault)];
    }
    EXPECT_NEAR(faulted, 1000, 150);
    for (int k = 1; k < 5; ++k) EXPECT_GT(kinds[k], 100) << "every kind is drawn: " << k;

    config.rate_percent = 100;
    FaultInjector all(config, false);
    for (int i = 0; i < 200; ++i) {
        const FaultDecision d = all.Next();
        EXPECT_TRUE(d.fault != Fault::kNone || d.delay_ms > 0);
        EXPECT_NE(d.fault, Fault::kDrop) << "no connection to drop on a serial line";
    }
    EXPECT_NE(all.Summary().find("requests 200, no answer "), std::string::npos);
}

// Good command lines. Columns: arguments, a check of the result.
struct GoodArgs {
    std::vector<std::string> args;
    bool (*check)(const Options&);
};
const GoodArgs kGoodArgs[] = {
    {{"--tcp", "0"},
     [](const Options& o) {
         return o.transport == Transport::kTcp && o.tcp_port == 0 && o.bind == "127.0.0.1" &&
                o.slave == 1 && o.scenario == "normal" && o.baud_pacing == 0;
     }},
    {{"--tcp=1502", "--bind", "0.0.0.0", "--slave", "247"},
     [](const Options& o) { return o.tcp_port == 1502 && o.bind == "0.0.0.0" && o.slave == 247; }},
    {{"--pty", "--scenario", "on-battery", "--max-requests", "5", "--duration-s", "2.5"},
     [](const Options& o) {
         return o.transport == Transport::kPty && o.scenario == "on-battery" &&
                o.max_requests == 5 && o.duration_s == 2.5;
     }},
    {{"--serial", "/dev/ttyS1", "--baud", "19200", "--parity", "E"},
     [](const Options& o) {
         return o.transport == Transport::kSerial && o.serial_device == "/dev/ttyS1" &&
                o.baud == 19200 && o.parity == 'E';
     }},
    {{"--tcp", "0", "--fault-delay-ms", "200"},
     [](const Options& o) { return o.faults.delay_ms == 200 && o.faults.delay_every == 1; }},
    {{"--tcp", "0", "--fault-rate", "5", "--seed", "18446744073709551615", "--fault-drop", "7",
      "--fault-crc", "2", "--fault-noanswer", "3", "--fault-exception", "4", "--baud-pacing",
      "9600", "--fault-delay-ms=5", "--fault-delay-every=9", "--verbose", "--exit-with-parent"},
     [](const Options& o) {
         return o.faults.rate_percent == 5 && o.faults.seed == 18446744073709551615ULL &&
                o.faults.drop_every == 7 && o.faults.crc_every == 2 &&
                o.faults.noanswer_every == 3 && o.faults.exception_every == 4 &&
                o.baud_pacing == 9600 && o.faults.delay_ms == 5 && o.faults.delay_every == 9 &&
                o.verbose && o.exit_with_parent;
     }},
    {{"--tcp", "0", "--fault-rate", "5", "--fault-delay-ms", "20"},
     [](const Options& o) { return o.faults.delay_ms == 20 && o.faults.delay_every == 0; }},
};

// Bad command lines. Columns: arguments, a part of the error.
struct BadArgs {
    std::vector<std::string> args;
    const char* error;
};
const BadArgs kBadArgs[] = {
    {{}, "no transport"},
    {{"--slave", "3"}, "no transport"},
    {{"--tcp", "0", "--pty"}, "--tcp and --pty exclude each other: give only one of them"},
    {{"--tcp", "1", "--tcp", "2"}, "--tcp is given more than once"},
    {{"--tcp", "70000"}, "--tcp: expected a port number 0..65535, got '70000'"},
    {{"--tcp", "-1"}, "--tcp: expected a port number"},
    {{"--tcp", "12x"}, "--tcp: expected"},
    {{"--tcp"}, "--tcp needs a value"},
    {{"--tcp", "0", "--slave", "0"}, "--slave: expected an address 1..247, got '0'"},
    {{"--tcp", "0", "--slave", "248"}, "--slave: expected an address 1..247"},
    {{"--serial", "/dev/x", "--parity", "X"}, "--parity: expected N, E or O, got 'X'"},
    {{"--serial", "/dev/x", "--baud", "0"}, "--baud: expected a line speed"},
    {{"--serial", ""}, "--serial: expected a device path"},
    {{"--pty", "--bind", "127.0.0.1"}, "--bind needs --tcp"},
    {{"--tcp", "0", "--bind", "localhost"}, "--bind: expected an IPv4 address"},
    {{"--tcp", "0", "--fault-delay-every", "2"}, "--fault-delay-every needs --fault-delay-ms"},
    {{"--tcp", "0", "--fault-noanswer", "0"}, "--fault-noanswer: expected a request count 1..1000000000"},
    {{"--tcp", "0", "--fault-crc", "1000000001"}, "--fault-crc: expected a request count 1..1000000000"},
    {{"--tcp", "0", "--fault-rate", "101"}, "--fault-rate: expected a percentage 0..100"},
    {{"--tcp", "0", "--fault-rate", "nan"}, "--fault-rate: expected a percentage"},
    {{"--tcp", "0", "--seed", "-1"}, "--seed: expected a whole number"},
    {{"--tcp", "0", "--duration-s", "0"}, "--duration-s: expected seconds"},
    {{"--tcp", "0", "--max-requests", "0"}, "--max-requests: expected a count 1..1000000000000000000"},
    {{"--tcp", "0", "--baud-pacing", "10"}, "--baud-pacing: expected a line speed"},
    {{"--tcp", "0", "--frobnicate"}, "unknown option --frobnicate"},
    {{"--tcp", "0", "extra"}, "unexpected argument 'extra'"},
    {{"--pty=1"}, "--pty takes no value"},
};

TEST(SimOptions, GoodCommandLines) {
    for (const GoodArgs& c : kGoodArgs) {
        Options o;
        const novex::Parsed parsed = ParseOptions(c.args, o);
        ASSERT_EQ(-1, parsed.exit_code) << c.args[0] << ": " << parsed.text;
        EXPECT_TRUE(c.check(o)) << c.args[0];
    }
}

TEST(SimOptions, BadCommandLinesNameTheProblem) {
    for (const BadArgs& c : kBadArgs) {
        std::string joined;
        for (const std::string& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        Options o;
        const novex::Parsed parsed = ParseOptions(c.args, o);
        EXPECT_EQ(2, parsed.exit_code);
        EXPECT_NE(parsed.text.find(c.error), std::string::npos) << parsed.text;
    }
}
