// vimohost polling novexups-sim end to end: over TCP loopback and over RTU on a
// pseudo-terminal, with faults, history, restarts, alarms and the history command.
// Every simulator is started here and stopped by its process id.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "session/device_services.h"
#include "history/store.h"
#include "session/round_time.h"
#include "tests/runner_processes.h"

namespace {

using runner_test::CountLines;
using runner_test::Outcome;
using runner_test::RunVimohost;
using runner_test::Simulator;
using runner_test::StartVimohost;
using runner_test::WaitForLine;
using runner_test::TempDir;

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    std::string error;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &error)) << error;
    return value;
}

// The document's number for a register of the "normal" scenario, as the device
// renders it: single-precision quotient, widened.
double Tenths(uint16_t raw) { return static_cast<double>(static_cast<float>(raw) / 10.0f); }

uint16_t RegisterAt(const std::vector<unsigned char>& record, size_t offset) {
    uint16_t v = 0;
    std::memcpy(&v, record.data() + offset, sizeof v);
    return v;
}

// The plug-in's text of a stored time "YYYY-MM-DD HH:MM:SS": numbers without padding.
std::string DocumentTime(const std::string& stored) {
    ttime_t t{};
    EXPECT_TRUE(vimo::ParseTimeText(stored, t));
    return std::to_string(t.year) + "-" + std::to_string(t.month) + "-" + std::to_string(t.day) +
           " " + std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" +
           std::to_string(t.second);
}

std::unique_ptr<vimo::HistoryStore> OpenHistory(const std::string& path) {
    std::string error;
    auto store = vimo::HistoryStore::Open(path, true, error);
    EXPECT_TRUE(store) << error;
    return store;
}

// The "normal" scenario as one round shows it: in the document and in the stored
// record, which proves the addresses went out unchanged and the registers came back
// in native order.
void ExpectNormalRound(const TempDir& dir, const Outcome& run) {
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ(1u, CountLines(run.out, "rvSize is 0"));
    const Json::Value doc = ParseJson(runner_test::ReadFile(dir / "status.json"));
    EXPECT_EQ("市电状态", doc["整机状态数据"]["运行状态"].asString());
    EXPECT_EQ(Tenths(2203), doc["整机数据"]["输入A相电压"].asDouble());
    EXPECT_EQ(Tenths(2208), doc["整机数据"]["输入B相电压"].asDouble());
    EXPECT_EQ(35.0, doc["整机数据"]["输出A相负载率"].asDouble());
    EXPECT_NE(std::string::npos, run.err.find("state on_mains | in 220.3/220.8/221.0 V"))
        << run.err;

    auto store = OpenHistory(dir / "h.db");
    ASSERT_TRUE(store);
    const auto newest = store->Newest(1);
    ASSERT_TRUE(newest);
    ASSERT_EQ(853u, newest->record.size());
    EXPECT_EQ(1, newest->record[4 + 2]);                   // coil 3
    EXPECT_EQ(2203, RegisterAt(newest->record, 68));       // input register 1
    EXPECT_EQ(4, RegisterAt(newest->record, 164));         // input register 81
    EXPECT_EQ("更新时间", doc.isMember("更新时间") ? "更新时间" : "");
    EXPECT_EQ(DocumentTime(newest->time), doc["更新时间"].asString());
}

std::vector<std::string> OneRound(const TempDir& dir, const std::string& flag,
                                  const std::string& port) {
    return {flag, port, "--rounds", "1", "--history", dir / "h.db", "--status-out",
            dir / "status.json"};
}

TEST(EndToEnd, TcpRoundShowsTheScenario) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"}, dir / "sim.log"));
    ExpectNormalRound(dir, RunVimohost(OneRound(dir, "--tcp", sim.address()), dir));
    EXPECT_EQ(0, sim.Stop());
}

TEST(EndToEnd, RtuRoundOnPseudoTerminalShowsTheScenario) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--pty", "--slave", "7"}, dir / "sim.log"));
    std::vector<std::string> args = OneRound(dir, "--serial", sim.address());
    args.insert(args.end(), {"--slave", "7", "--baud", "19200", "--parity", "E"});
    ExpectNormalRound(dir, RunVimohost(args, dir));
    EXPECT_EQ(0, sim.Stop());
}

// Injected faults. Columns: the transport, the simulator's fault options, the retries
// of an exchange, and the failed rounds among the first three completed. Every 25th
// request fails, so a round in between completes. Without retries each fault costs its
// round; with one retry a lost, corrupted or cut answer, or exception 04 (the device
// could not answer this time), is asked again and the round goes on. A late answer
// also costs the round after it, when it is still on its way (the simulator sleeps on
// it), however long that takes on a busy machine: its count is not fixed.
constexpr int kAtLeastTwo = -1;
struct FaultCase {
    const char* transport;
    std::vector<std::string> fault;
    const char* retries;
    int failed;
};
const FaultCase kFaults[] = {
    {"tcp", {"--fault-noanswer", "25"}, "0", 2},
    {"tcp", {"--fault-crc", "25"}, "0", 2},
    {"tcp", {"--fault-exception", "25"}, "0", 2},
    {"tcp", {"--fault-drop", "25"}, "0", 2},
    {"tcp", {"--fault-delay-ms", "400", "--fault-delay-every", "25"}, "0", kAtLeastTwo},
    {"rtu", {"--fault-noanswer", "25"}, "0", 2},
    {"rtu", {"--fault-crc", "25"}, "0", 2},
    {"rtu", {"--fault-delay-ms", "400", "--fault-delay-every", "25"}, "0", kAtLeastTwo},
    {"tcp", {"--fault-noanswer", "25"}, "1", 0},
    {"tcp", {"--fault-crc", "25"}, "1", 0},
    {"tcp", {"--fault-exception", "25"}, "1", 0},
    {"tcp", {"--fault-drop", "25"}, "1", 0},
    {"rtu", {"--fault-noanswer", "25"}, "1", 0},
    {"rtu", {"--fault-crc", "25"}, "1", 0},
    {"rtu", {"--fault-exception", "25"}, "1", 0},
};

// A serial line's rounds cannot come faster than their twenty exchanges take on the
// wire (1.236 s at 9600 8N1): an interval of 1 s is said to be too short, once, and the
// summary gives the period the rounds kept.
TEST(EndToEnd, IntervalShorterThanTheWireTimeIsSaidOnce) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--pty"}, dir / "sim.log"));
    const Outcome run = RunVimohost({"--serial", sim.address(), "--rounds", "3", "--interval-ms", "1000"}, dir);
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ(1u, CountLines(run.err, "the interval of 1000 ms is shorter than a round's 1.236 s on "
                                      "the wire at 9600 baud 8N1")) << run.err;
    // The period as the summary gives it, about the interval (0.999 s under an emulator).
    const std::string every = "3 rounds completed, 0 failed, 3 stored, a round every ";
    const size_t at = run.err.find(every);
    ASSERT_NE(std::string::npos, at) << run.err;
    EXPECT_NEAR(1.0, std::strtod(run.err.c_str() + at + every.size(), nullptr), 0.15) << run.err;
    EXPECT_EQ(0, sim.Stop());
}

TEST(EndToEnd, FailedRoundReachesOnErrorAndTheNextCompletes) {
    for (const FaultCase& c : kFaults) {
        SCOPED_TRACE(std::string(c.transport) + " " + c.fault[0] + " retries " + c.retries);
        TempDir dir;
        Simulator sim;
        std::vector<std::string> sim_args = {c.transport == std::string("tcp") ? "--tcp" : "--pty"};
        if (sim_args[0] == "--tcp") sim_args.push_back("0");
        sim_args.insert(sim_args.end(), c.fault.begin(), c.fault.end());
        ASSERT_TRUE(sim.Start(sim_args, dir / "sim.log"));
        const Outcome run = RunVimohost(
            {sim_args[0] == "--tcp" ? "--tcp" : "--serial", sim.address(), "--rounds", "3",
             "--interval-ms", "0", "--timeout-ms", "200", "--retries", c.retries, "--history",
             dir / "h.db"},
            dir);
        EXPECT_EQ(0, run.exit_code) << run.err;
        EXPECT_EQ(3u, CountLines(run.out, "rvSize is"));
        // Each failed round reached on_error once, and was reported once.
        const size_t failed = CountLines(run.err, "failed after");
        EXPECT_EQ(failed, CountLines(run.out, "SPModbus get error")) << run.out;
        if (c.failed == kAtLeastTwo)
            EXPECT_GE(failed, 2u) << run.err;
        else
            EXPECT_EQ(static_cast<size_t>(c.failed), failed) << run.err;
        EXPECT_NE(std::string::npos, run.err.find("3 rounds completed, " + std::to_string(failed) +
                                                  " failed, 3 stored"))
            << run.err;
        auto store = OpenHistory(dir / "h.db");
        ASSERT_TRUE(store);
        EXPECT_EQ(3, store->CountRounds(1u));
        EXPECT_EQ(0, sim.Stop());
    }
}

TEST(EndToEnd, HistoryKeepsEachRoundAndRestartIsReadyAtOnce) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"}, dir / "sim.log"));
    const Outcome first = RunVimohost({"--tcp", sim.address(), "--rounds", "4", "--interval-ms", "0",
                                   "--history", dir / "h.db"},
                                  dir);
    ASSERT_EQ(0, first.exit_code) << first.err;
    EXPECT_EQ(0, sim.Stop());
    auto store = OpenHistory(dir / "h.db");
    ASSERT_TRUE(store);
    EXPECT_EQ(4, store->CountRounds(1u));
    const auto newest = store->Newest(1);
    ASSERT_TRUE(newest);

    // With the UPS gone, a restart still has the newest round at once: its document
    // is written before any exchange, it shows the stored time, and it is not stored
    // a second time.
    const Outcome restart = RunVimohost({"--tcp", sim.address(), "--max-failures", "1",
                                     "--history", dir / "h.db", "--status-out",
                                     dir / "status.json"},
                                    dir);
    EXPECT_EQ(3, restart.exit_code) << restart.err;
    const std::vector<std::string> lines = runner_test::Lines(restart.err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(0u, lines[0].find("[ups1] ready from the stored round of " + newest->time))
        << restart.err;
    EXPECT_EQ(1u, CountLines(restart.out, "rvSize is 0"));
    const Json::Value doc = ParseJson(runner_test::ReadFile(dir / "status.json"));
    EXPECT_EQ(DocumentTime(newest->time), doc["更新时间"].asString());
    EXPECT_EQ(Tenths(2203), doc["整机数据"]["输入A相电压"].asDouble());
    EXPECT_EQ(4, store->CountRounds(1u));

    const Outcome list = RunVimohost({"history", "--history", dir / "h.db", "--json"}, dir);
    ASSERT_EQ(0, list.exit_code) << list.err;
    const Json::Value rounds = ParseJson(list.out);
    ASSERT_EQ(4u, rounds.size());
    EXPECT_EQ(newest->id, rounds[3]["round"].asInt64());
    EXPECT_EQ(853, rounds[3]["bytes"].asInt());
}

// The round loaded at start completes in the present second; the first polled round
// must still show its own figures, in the summary and in --status-out.
TEST(EndToEnd, FirstRoundAfterTheStoredOneShowsItsOwnFigures) {
    NOVEX_SKIP_UNLESS_PROGRAMS_START_PROGRAMS();
    TempDir dir;
    const std::vector<std::string> history = {"--simulate", "--history", dir / "h.db"};
    std::vector<std::string> first = history;
    first.insert(first.end(), {"--rounds", "1"});
    ASSERT_EQ(0, RunVimohost(first, dir, 60000, dir.path()).exit_code);
    std::vector<std::string> second = history;
    second.insert(second.end(), {"--rounds", "1", "--scenario", "on-battery", "--status-out",
                                 dir / "status.json"});
    const Outcome run = RunVimohost(second, dir, 60000, dir.path());
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ(1u, CountLines(run.err, "ready from the stored round of")) << run.err;
    EXPECT_EQ(1u, CountLines(run.err, "] round 1 in")) << run.err;
    EXPECT_EQ(1u, CountLines(run.err, "state on_battery")) << run.err;
    const Json::Value doc = ParseJson(runner_test::ReadFile(dir / "status.json"));
    EXPECT_EQ("电池状态", doc["整机状态数据"]["运行状态"].asString());
}

TEST(EndToEnd, HistoryRenderShowsTheStoredRoundAndItsTime) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"}, dir / "sim.log"));
    ASSERT_EQ(0, RunVimohost(OneRound(dir, "--tcp", sim.address()), dir).exit_code);
    EXPECT_EQ(0, sim.Stop());
    // An old round: the same record under a time long past.
    int64_t old_id = 0;
    {
        std::string error;
        auto store = vimo::HistoryStore::Open(dir / "h.db", true, error);
        ASSERT_TRUE(store) << error;
        const auto round = store->Newest(1);
        ASSERT_TRUE(round);
        ASSERT_TRUE(store->AddRound(1, "2020-01-02 03:04:05", round->record.data(),
                                    round->record.size(), error));
        old_id = store->Newest(1)->id;
    }
    const Outcome render = RunVimohost(
        {"history", "--history", dir / "h.db", "--render", std::to_string(old_id)}, dir);
    ASSERT_EQ(0, render.exit_code) << render.err;
    const Json::Value doc = ParseJson(render.out);  // the document alone on stdout
    EXPECT_EQ("2020-1-2 3:4:5", doc["更新时间"].asString());
    EXPECT_EQ("市电状态", doc["整机状态数据"]["运行状态"].asString());
    auto store = OpenHistory(dir / "h.db");
    EXPECT_EQ(2, store->CountRounds(std::nullopt));

    const Outcome missing = RunVimohost({"history", "--history", dir / "h.db", "--render", "99"}, dir);
    EXPECT_EQ(2, missing.exit_code);
    EXPECT_NE(std::string::npos, missing.err.find("no stored round 99")) << missing.err;
}

// With the device's alarm rules switched on (b_mode 0) an alarm is seen twice, by the
// rules and in the record: it still makes one event, and the rules' reports are
// recorded as before.
TEST(EndToEnd, AlarmsRaiseAndClearOnceEach) {
    TempDir dir;
    // Rectifier fault (coil 65) active in round 1 only; overload (coil 88) from round 2.
    runner_test::WriteFile(dir / "alarms.json", R"({"base": "normal", "coils": {"65": 1},
        "per_round": {"coils": {"65": -1, "88": 1}}})");
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--scenario", dir / "alarms.json"}, dir / "sim.log"));
    const std::vector<std::string> args = {"--tcp", sim.address(), "--interval-ms", "0",
                                           "--b-mode", "0", "--history", dir / "h.db"};
    std::vector<std::string> first_args = args;
    first_args.insert(first_args.end(), {"--rounds", "4"});
    const Outcome first = RunVimohost(first_args, dir);
    ASSERT_EQ(0, first.exit_code) << first.err;
    EXPECT_EQ(1u, CountLines(first.err, "alarm raised: rectifier_fault (整流器故障, critical)"));
    EXPECT_EQ(1u, CountLines(first.err, "alarm cleared: rectifier_fault (整流器故障, critical)"));
    EXPECT_EQ(1u, CountLines(first.err, "alarm raised: overload (过载, critical)"));
    EXPECT_EQ(3u, CountLines(first.err, "] alarm ")) << first.err;

    // A restart knows the states: the overload still active is not raised again.
    std::vector<std::string> second_args = args;
    second_args.insert(second_args.end(), {"--rounds", "2"});
    const Outcome second = RunVimohost(second_args, dir);
    ASSERT_EQ(0, second.exit_code) << second.err;
    EXPECT_EQ(0u, CountLines(second.err, "] alarm ")) << second.err;
    EXPECT_EQ(0, sim.Stop());

    auto store = OpenHistory(dir / "h.db");
    ASSERT_TRUE(store);
    EXPECT_EQ(3u, store->Events(1).size());
    const std::vector<vimo::RuleEvent> events = store->Alarms(1);
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ("整流器故障", events[0].rule);
    EXPECT_TRUE(events[0].raised);
    EXPECT_EQ("12017", events[0].rule_id);
    // Round 2 clears one rule and raises the other; the order is the rules' own.
    EXPECT_EQ(1, (events[1].rule == "整流器故障" && !events[1].raised) +
                     (events[2].rule == "整流器故障" && !events[2].raised));
    EXPECT_EQ(1, (events[1].rule == "过载" && events[1].raised) +
                     (events[2].rule == "过载" && events[2].raised));
}

// A hook that appends "EVENT ALARM DEVICE SEVERITY TEXT" to `log` for each event.
std::string WriteLoggingHook(const TempDir& dir, const std::string& log) {
    const std::string path = dir / "log-event.sh";
    runner_test::WriteFile(path, "#!/bin/sh\nprintf '%s %s %s %s %s\\n' \"$VIMO_EVENT\" "
                                 "\"$VIMO_ALARM\" \"$VIMO_DEVICE\" \"$VIMO_SEVERITY\" "
                                 "\"$VIMO_TEXT\" >> " + log + "\n");
    chmod(path.c_str(), 0755);
    return path;
}

std::vector<std::string> StoredEvents(const std::string& history) {
    std::vector<std::string> out;
    auto store = OpenHistory(history);
    if (store)
        for (const vimo::AlarmEvent& e : store->Events(1))
            out.push_back(std::string(vimo::KindName(e.kind)) + " " + e.alarm);
    return out;
}

std::vector<std::string> FirstWords(const std::string& path, size_t words) {
    std::vector<std::string> out;
    for (const std::string& line : runner_test::Lines(runner_test::ReadFile(path))) {
        size_t end = 0;
        for (size_t w = 0; w < words && end != std::string::npos; ++w)
            end = line.find(' ', end + (w ? 1 : 0));
        out.push_back(line.substr(0, end));
    }
    return out;
}

// Alarms of the table with the device's rules off (its default b_mode): a unit alarm
// bit, a unit flag register and a power module's flag register rise and fall. Each
// raise and clear is printed, stored and handed to the hook once, in order; a restart
// raises nothing again and clears, once, what is no longer active.
TEST(EndToEnd, TableAlarmsReachHistoryAndHookOnceEachInOrder) {
    TempDir dir;
    const std::string hook = WriteLoggingHook(dir, dir / "hook.log");
    // Round 1: coil 65. Round 2: coil 65 falls, coil 88 rises, register 87 bit 10 and
    // module 3's register 215 bit 6 rise. Round 3: those two bits fall, bits 11 and 7
    // rise.
    runner_test::WriteFile(dir / "rounds.json", R"({"base": "normal", "coils": {"65": 1},
        "input_registers": {"87": 0, "215": 0},
        "per_round": {"coils": {"65": -1, "88": 1}, "input_registers": {"87": 1024, "215": 64}}})");
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--scenario", dir / "rounds.json"}, dir / "sim.log"));
    const Outcome first = RunVimohost({"--tcp", sim.address(), "--interval-ms", "0", "--rounds",
                                       "3", "--history", dir / "h.db", "--on-event", hook},
                                      dir);
    ASSERT_EQ(0, first.exit_code) << first.err;
    EXPECT_EQ(0, sim.Stop());
    const std::vector<std::string> trace = {
        "raised rectifier_fault",          // round 1
        "cleared rectifier_fault",         // round 2
        "raised overload",
        "raised battery_voltage_low",
        "raised module3.fan_fault",
        "cleared battery_voltage_low",     // round 3
        "raised negative_charger_fault",
        "cleared module3.fan_fault",
        "raised module3.battery_charge_thyristor_fault",
    };
    EXPECT_EQ(trace, FirstWords(dir / "hook.log", 2));
    EXPECT_EQ(trace, StoredEvents(dir / "h.db"));
    EXPECT_EQ(trace.size(), CountLines(first.err, "] alarm ")) << first.err;
    EXPECT_EQ(1u, CountLines(runner_test::ReadFile(dir / "hook.log"),
                             "raised module3.fan_fault ups1 critical 模块3-整流模块风扇故障"));

    // The UPS as round 3 left it, but for register 87.
    runner_test::WriteFile(dir / "after.json", R"({"base": "normal", "coils": {"88": 1},
        "input_registers": {"87": 0, "215": 128}})");
    Simulator again;
    ASSERT_TRUE(again.Start({"--tcp", "0", "--scenario", dir / "after.json"}, dir / "sim2.log"));
    const Outcome second = RunVimohost({"--tcp", again.address(), "--interval-ms", "0", "--rounds",
                                        "2", "--history", dir / "h.db", "--on-event", hook},
                                       dir);
    ASSERT_EQ(0, second.exit_code) << second.err;
    EXPECT_EQ(0, again.Stop());
    std::vector<std::string> after = trace;
    after.push_back("cleared negative_charger_fault");
    EXPECT_EQ(after, FirstWords(dir / "hook.log", 2));
    EXPECT_EQ(after, StoredEvents(dir / "h.db"));
}

// A mains failure seen by the unit and two modules, with the UPS on battery, then mains
// back: a round hook runs once per round with the round's events, the run state among
// them, on its input.
TEST(EndToEnd, RoundHookGetsAMainsFailureAndItsEndInOneRunEach) {
    TempDir dir;
    const std::string hook = dir / "round.sh";
    runner_test::WriteFile(hook, "#!/bin/sh\n{ echo \"count $VIMO_EVENT_COUNT\"; cat; } >> " +
                                     (dir / "round.log") + "\n");
    chmod(hook.c_str(), 0755);
    // Coil 94 and bit 6 of registers 116 and 166 (modules 1 and 2): mains abnormal;
    // register 81: 5, on battery, then 4, on mains.
    runner_test::WriteFile(dir / "outage.json", R"({"base": "normal", "coils": {"94": 1},
        "input_registers": {"81": 5, "116": 64, "166": 64},
        "per_round": {"coils": {"94": -1}, "input_registers": {"81": -1, "116": -64, "166": -64}}})");
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--scenario", dir / "outage.json"}, dir / "sim.log"));
    const Outcome run = RunVimohost({"--tcp", sim.address(), "--interval-ms", "0", "--rounds", "2",
                                     "--no-history", "--on-event", hook, "--on-event-mode", "round"},
                                    dir);
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ(0, sim.Stop());
    std::vector<std::string> seen;
    for (const std::string& line : runner_test::Lines(runner_test::ReadFile(dir / "round.log"))) {
        const size_t alarm = line.find("\"alarm\":\"");
        const size_t event = line.find("\"event\":\"");
        seen.push_back(alarm == std::string::npos
                           ? line
                           : line.substr(event + 9, line.find('"', event + 9) - event - 9) + " " +
                                 line.substr(alarm + 9, line.find('"', alarm + 9) - alarm - 9));
    }
    EXPECT_EQ(std::vector<std::string>({
                  "count 4", "raised mains_voltage_abnormal", "raised module1.mains_voltage_abnormal",
                  "raised module2.mains_voltage_abnormal", "raised run_state.on_battery",
                  "count 4", "cleared mains_voltage_abnormal", "cleared module1.mains_voltage_abnormal",
                  "cleared module2.mains_voltage_abnormal", "cleared run_state.on_battery"}),
              seen);
    EXPECT_NE(std::string::npos, runner_test::ReadFile(dir / "round.log")
                                     .find("\"description\":\"On battery: mains failed\",\"text\":\"电池状态\""));
}

// Two devices share one TCP endpoint; serial settings given to one of them do not
// keep them apart there.
TEST(EndToEnd, SeveralDevicesOnSharedAndSeparateLines) {
    TempDir dir;
    Simulator a, b;
    ASSERT_TRUE(a.Start({"--tcp", "0"}, dir / "a.log"));
    ASSERT_TRUE(b.Start({"--tcp", "0", "--scenario", "on-battery"}, dir / "b.log"));
    runner_test::WriteFile(dir / "ups.json",
                           R"([{"data_id": 11, "name": "left", "transport": "tcp", "port": ")" +
                               a.address() + R"(", "interval_ms": 0},
        {"data_id": 12, "transport": "tcp", "port": ")" + a.address() + R"(", "interval_ms": 0,
         "baud": 19200, "parity": "E"},
        {"data_id": 13, "transport": "tcp", "port": ")" + b.address() + R"(", "interval_ms": 0}])");
    const Outcome run = RunVimohost({"--config", dir / "ups.json", "--rounds", "2", "--history",
                                 dir / "h.db", "--status-out", dir / "status.json"},
                                dir);
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ(6u, CountLines(run.out, "rvSize is 0")) << run.out;
    EXPECT_EQ(2u, CountLines(run.err, "[left] round"));
    auto store = OpenHistory(dir / "h.db");
    ASSERT_TRUE(store);
    for (uint32_t id : {11u, 12u, 13u}) EXPECT_EQ(2, store->CountRounds(id)) << id;
    EXPECT_EQ("电池状态",
              ParseJson(runner_test::ReadFile(dir / "status.json.13"))["整机状态数据"]["运行状态"]
                  .asString());
    EXPECT_EQ(11u, ParseJson(runner_test::ReadFile(dir / "status.json.11")).isObject() ? 11u : 0u);
    EXPECT_EQ(0, a.Stop());
    EXPECT_EQ(0, b.Stop());
}

TEST(EndToEnd, GivesUpAfterMaxFailuresWhenThePortIsGone) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"}, dir / "sim.log"));
    const std::string address = sim.address();
    EXPECT_EQ(0, sim.Stop());  // nothing listens there now
    const Outcome run = RunVimohost(
        {"--tcp", address, "--max-failures", "3", "--interval-ms", "0", "--no-history"}, dir);
    EXPECT_EQ(3, run.exit_code);
    EXPECT_EQ(3u, CountLines(run.err, "cannot open tcp " + address)) << run.err;
    EXPECT_EQ(3u, CountLines(run.err, "retrying next round"));
    EXPECT_EQ(1u, CountLines(run.err, "giving up after 3 failed rounds in a row"));
    EXPECT_EQ("", run.out);
}

// Unpaced rounds against a closed port fail at once: from the second failure in a row
// they wait 10, 20, 40 ... ms, at most a second (together over 2 s for ten rounds)
// instead of flooding the log.
TEST(EndToEnd, FailingRoundsBackOffAndSaySoOnce) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"}, dir / "sim.log"));
    const std::string address = sim.address();
    EXPECT_EQ(0, sim.Stop());
    const auto start = std::chrono::steady_clock::now();
    const Outcome run = RunVimohost(
        {"--tcp", address, "--max-failures", "10", "--interval-ms", "0", "--no-history"}, dir);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(3, run.exit_code);
    EXPECT_EQ(10u, CountLines(run.err, "retrying next round")) << run.err;
    EXPECT_EQ(1u, CountLines(run.err, "rounds keep failing: the next ones wait up to 1.000 s"));
    EXPECT_GE(seconds, 2.0);
}

TEST(EndToEnd, SimulateRunsTheSimulatorAndStopsIt) {
    NOVEX_SKIP_UNLESS_PROGRAMS_START_PROGRAMS();
    TempDir dir;
    const Outcome run = RunVimohost({"--simulate", "--scenario", "on-battery", "--rounds", "2",
                                 "--interval-ms", "50", "--no-history"},
                                dir, 60000, dir.path());
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ(2u, CountLines(run.out, "rvSize is 0"));
    EXPECT_EQ(2u, CountLines(run.err, "state on_battery"));
    const std::string tag = "simulator (pid ";
    const size_t at = run.err.find(tag);
    ASSERT_NE(std::string::npos, at) << run.err;
    const pid_t pid = static_cast<pid_t>(std::stol(run.err.substr(at + tag.size())));
    // Stopped and reaped by vimohost: no such process any more.
    EXPECT_NE(0, kill(pid, 0));
    EXPECT_EQ(ESRCH, errno);
}

// Ctrl-C at a terminal signals vimohost's whole process group; the simulator it
// started is not in it, so the round in progress is not lost and vimohost stops it.
TEST(EndToEnd, InterruptOfTheGroupStopsSimulateCleanly) {
    NOVEX_SKIP_UNLESS_PROGRAMS_START_PROGRAMS();
    TempDir dir;
    vimo::ChildProcess vimohost;
    ASSERT_TRUE(StartVimohost(
        vimohost, dir, {"--simulate", "--interval-ms", "0", "--max-failures", "1", "--no-history"}));
    ASSERT_TRUE(WaitForLine(dir / "err", "] round 3"));
    ASSERT_EQ(0, kill(-vimohost.pid(), SIGINT));  // vimohost leads a group of its own
    EXPECT_EQ(0, vimohost.Wait(20000));
    if (vimohost.running()) vimohost.Stop(1000);
    const std::string err = runner_test::ReadFile(dir / "err");
    EXPECT_EQ(0u, CountLines(err, "failed after")) << err;
    EXPECT_NE(std::string::npos, err.find("rounds completed, 0 failed")) << err;
    const std::string tag = "simulator (pid ";
    const size_t at = err.find(tag);
    ASSERT_NE(std::string::npos, at) << err;
    EXPECT_NE(0, kill(static_cast<pid_t>(std::stol(err.substr(at + tag.size()))), 0));
}

// Every answer comes half a second late, so a round takes ten seconds: a stop does
// not wait for the rest of it, and the unfinished round counts neither way.
TEST(EndToEnd, StopDoesNotWaitForTheRestOfTheRound) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--fault-delay-ms", "500", "--fault-delay-every", "1"},
                          dir / "sim.log"));
    vimo::ChildProcess vimohost;
    ASSERT_TRUE(StartVimohost(vimohost, dir,
                              {"--tcp", sim.address(), "--timeout-ms", "5000", "--no-history"}));
    ASSERT_TRUE(WaitForLine(dir / "sim.log", "client connected"));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(0, vimohost.Stop(5000));  // SIGTERM, then SIGKILL after 5 s
    const std::string err = runner_test::ReadFile(dir / "err");
    EXPECT_NE(std::string::npos, err.find("0 rounds completed, 0 failed")) << err;
    EXPECT_EQ(0, sim.Stop());
}

// A slave that never answers holds the exchange for its whole timeout: a second
// signal does not wait for it.
TEST(EndToEnd, SecondSignalStopsAtOnce) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--fault-noanswer", "1", "--verbose"}, dir / "sim.log"));
    vimo::ChildProcess vimohost;
    ASSERT_TRUE(StartVimohost(vimohost, dir,
                              {"--tcp", sim.address(), "--timeout-ms", "60000", "--no-history"}));
    // The request is on the wire, not only the connection made: a first signal before
    // it would stop vimohost at once by itself.
    ASSERT_TRUE(WaitForLine(dir / "sim.log", "[no answer]")) << runner_test::ReadFile(dir / "sim.log");
    ASSERT_EQ(0, kill(vimohost.pid(), SIGINT));
    ASSERT_TRUE(WaitForLine(dir / "err", "vimohost: stopping"));
    ASSERT_EQ(0, kill(vimohost.pid(), SIGINT));
    EXPECT_EQ(130, vimohost.Wait(20000));
    if (vimohost.running()) vimohost.Stop(1000);
    EXPECT_NE(std::string::npos, runner_test::ReadFile(dir / "err").find("stopping at once"));
    EXPECT_EQ(0, sim.Stop());
}

TEST(EndToEnd, SignalStopsPollingCleanly) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"}, dir / "sim.log"));
    vimo::ChildProcess vimohost;
    ASSERT_TRUE(StartVimohost(vimohost, dir,
                              {"--tcp", sim.address(), "--interval-ms", "20", "--history",
                               dir / "h.db"}));
    ASSERT_TRUE(WaitForLine(dir / "err", "] round 3"));
    EXPECT_EQ(0, vimohost.Stop(10000));
    const std::string err = runner_test::ReadFile(dir / "err");
    EXPECT_NE(std::string::npos, err.find("vimohost: stopping")) << err;
    EXPECT_NE(std::string::npos, err.find("rounds completed, 0 failed")) << err;
    EXPECT_EQ(0, sim.Stop());
}

// Two masters on one serial line would read each other's answers: the second
// vimohost does not start, and says which process holds the port.
TEST(EndToEnd, SecondProgramOnASerialPortDoesNotStart) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--pty"}, dir / "sim.log"));
    vimo::ChildProcess first;
    ASSERT_TRUE(StartVimohost(first, dir, {"--serial", sim.address(), "--no-history"}));
    ASSERT_TRUE(WaitForLine(dir / "err", "] round 1"));
    TempDir second_dir;
    const Outcome second =
        RunVimohost({"--serial", sim.address(), "--no-history", "--rounds", "1"}, second_dir);
    EXPECT_EQ(1, second.exit_code) << second.err;
    EXPECT_EQ("vimohost: serial port " + sim.address() + ": in use by another program (process " +
                  std::to_string(first.pid()) + ")\n",
              second.err);
    EXPECT_EQ(0, first.Stop(10000));
    EXPECT_EQ(0, sim.Stop());
}

// The UPS stops answering: communication_lost is raised once after the configured
// failed rounds, --status-out says the figures are old, and the next completed round
// (the simulator back on the same port) clears it once.
TEST(EndToEnd, CommunicationLostWhileTheSimulatorIsGoneAndClearedWhenBack) {
    TempDir dir;
    const std::string hook = WriteLoggingHook(dir, dir / "hook.log");
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"}, dir / "sim.log"));
    const std::string address = sim.address();
    vimo::ChildProcess vimohost;
    ASSERT_TRUE(StartVimohost(vimohost, dir,
                              {"--tcp", address, "--interval-ms", "100", "--timeout-ms", "200",
                               "--comm-loss-rounds", "3", "--history", dir / "h.db",
                               "--status-out", dir / "status.json", "--on-event", hook}));
    ASSERT_TRUE(WaitForLine(dir / "err", "] round 2 in"));
    EXPECT_EQ(0, sim.Stop());
    ASSERT_TRUE(WaitForLine(dir / "err", "alarm raised: communication_lost"));
    // The status file has a thread of its own, beside the console's.
    runner_test::WaitUntil([&dir] {
        return runner_test::ReadFile(dir / "status.json").find("\"lost\"") != std::string::npos;
    });
    const Json::Value stale = ParseJson(runner_test::ReadFile(dir / "status.json"));
    EXPECT_EQ("lost", stale["vimohost"]["communication"].asString());
    EXPECT_TRUE(stale["vimohost"]["stale"].asBool());
    EXPECT_EQ("市电状态", stale["整机状态数据"]["运行状态"].asString());  // the last figures

    Simulator back;
    ASSERT_TRUE(back.Start({"--tcp", address.substr(address.rfind(':') + 1)}, dir / "sim2.log"));
    ASSERT_TRUE(WaitForLine(dir / "err", "alarm cleared: communication_lost"));
    EXPECT_EQ(0, vimohost.Stop(10000));
    EXPECT_EQ(0, back.Stop());
    const std::string err = runner_test::ReadFile(dir / "err");
    EXPECT_EQ(1u, CountLines(err, "stale | state on_mains")) << err;
    const std::vector<std::string> trace = {"raised communication_lost",
                                            "cleared communication_lost"};
    EXPECT_EQ(trace, FirstWords(dir / "hook.log", 2));
    EXPECT_EQ(trace, StoredEvents(dir / "h.db"));
    const Json::Value fresh = ParseJson(runner_test::ReadFile(dir / "status.json"));
    EXPECT_EQ("ok", fresh["vimohost"]["communication"].asString());
}

// A hook that never ends is stopped at its time limit, one event after another, while
// the rounds go on: the last round is done before the hooks are, and the repeated
// failure is said once and counted.
TEST(EndToEnd, HookThatHangsIsStoppedAndPollingGoesOn) {
    TempDir dir;
    runner_test::WriteFile(dir / "hang.sh", "#!/bin/sh\nexec sleep 30\n");
    chmod((dir / "hang.sh").c_str(), 0755);
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--scenario", "on-battery"}, dir / "sim.log"));
    const Outcome run = RunVimohost({"--tcp", sim.address(), "--interval-ms", "50", "--rounds",
                                     "4", "--no-history", "--on-event", dir / "hang.sh",
                                     "--on-event-timeout-ms", "300"},
                                    dir);
    EXPECT_EQ(0, sim.Stop());
    EXPECT_EQ(0, run.exit_code) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("4 rounds completed, 0 failed")) << run.err;
    const size_t last_round = run.err.find("] round 4 in");
    const size_t last_stop = run.err.rfind("no end within 300 ms");
    ASSERT_NE(std::string::npos, last_round) << run.err;
    ASSERT_NE(std::string::npos, last_stop) << run.err;
    EXPECT_LT(last_round, last_stop) << run.err;
    // The first stop is said; the others are counted, not said one by one.
    EXPECT_NE(std::string::npos, run.err.find("more failure")) << run.err;
}

// One request line to the UPS protocol server on loopback `port`; its answer line.
std::string AskProtocol(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char c = 0;
        for (int i = 0; i < 4096; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0 || recv(fd, &c, 1, 0) != 1 || c == '\n') break;
            answer += c;
        }
    }
    close(fd);
    return answer;
}

// The UPS protocol server answers from the board: the figures of the last polled
// round, then stale while communication is lost.
TEST(EndToEnd, ProtocolServerReadsThePublishedState) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--scenario", "on-battery"}, dir / "sim.log"));
    vimo::ChildProcess vimohost;
    ASSERT_TRUE(StartVimohost(vimohost, dir,
                              {"--tcp", sim.address(), "--interval-ms", "100", "--timeout-ms",
                               "200", "--no-history", "--protocol-listen", "127.0.0.1:0"}));
    ASSERT_TRUE(WaitForLine(dir / "err", "] round 1 in"));
    const std::string tag = "UPS protocol server on 127.0.0.1:";
    const std::string err = runner_test::ReadFile(dir / "err");
    ASSERT_NE(std::string::npos, err.find(tag)) << err;
    const int port = std::stoi(err.substr(err.find(tag) + tag.size()));
    // The round's line may come out just before its snapshot is published.
    std::string status = AskProtocol(port, "GET VAR ups1 ups.status\n");
    for (int i = 0; i < 100 && status == "ERR DATA-STALE"; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        status = AskProtocol(port, "GET VAR ups1 ups.status\n");
    }
    EXPECT_EQ("VAR ups1 ups.status \"OB DISCHRG ALARM\"", status);
    EXPECT_EQ(0, sim.Stop());
    ASSERT_TRUE(WaitForLine(dir / "err", "alarm raised: communication_lost"));
    EXPECT_EQ("ERR DATA-STALE", AskProtocol(port, "GET VAR ups1 battery.charge\n"));
    EXPECT_EQ(0, vimohost.Stop(10000));
}

}  // namespace
