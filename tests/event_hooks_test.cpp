// Event hooks as a hook program sees them: a shell script that appends its environment
// and arguments to one log per device, or misbehaves on request (by alarm id).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "hooks/event_hooks.h"
#include "board/device_monitor.h"
#include "tests/runner_processes.h"

namespace {

using runner_test::Lines;
using runner_test::ReadFile;
using runner_test::TempDir;
using runner_test::WriteFile;
using vimo::AlarmEvent;

// $1 is the log directory. "busy" catches two hooks of one device at once; OPEN_FD
// names a descriptor of the test that the hook must not hold.
const char kHookScript[] = R"(#!/bin/sh
dir=$1
case "$VIMO_ALARM" in
  hang) sleep 30 ;;
  stubborn) trap '' TERM; while :; do sleep 0.05; done ;;
esac
mkdir "$dir/busy$VIMO_DATA_ID" 2>/dev/null || echo overlap >> "$dir/$VIMO_DATA_ID.log"
[ -n "$OPEN_FD" ] && [ -e "/proc/$$/fd/$OPEN_FD" ] && echo "fd leaked" >> "$dir/$VIMO_DATA_ID.log"
case "$VIMO_ALARM" in
  fail) echo "about to fail"; rmdir "$dir/busy$VIMO_DATA_ID"; exit 3 ;;
  flood) head -c 3000000 /dev/zero ;;
  floodfail) head -c 3000000 /dev/zero; rmdir "$dir/busy$VIMO_DATA_ID"; exit 1 ;;
  fail7) rmdir "$dir/busy$VIMO_DATA_ID"; exit 7 ;;
  slow) sleep 0.1 ;;
esac
printf '%s|%s|%s|%s|%s|%s|%s|%s|%s|%s\n' "$VIMO_DEVICE" "$VIMO_DATA_ID" "$VIMO_EVENT" \
  "$VIMO_ALARM" "$VIMO_DESCRIPTION" "$VIMO_TEXT" "$VIMO_SEVERITY" "$VIMO_TIME" "$VIMO_INHERITED" "$*" \
  >> "$dir/$VIMO_DATA_ID.log"
rmdir "$dir/busy$VIMO_DATA_ID"
)";

constexpr int64_t kTime = 1796724123;  // 2026-12-08T10:02:03Z

AlarmEvent Event(uint32_t id, const std::string& alarm, AlarmEvent::Kind kind = AlarmEvent::Kind::kRaised,
                 const std::string& text = "告警") {
    return {"ups" + std::to_string(id), id, kind, alarm, text, "major", kTime, "Mains failed"};
}

// The events of a first round whose record is random bytes: a raise of every alarm the
// image shows, some hundreds of them.
std::vector<AlarmEvent> FirstRoundOfRandomImage(uint32_t seed) {
    auto first = std::make_shared<novex::monitor::DeviceSnapshot>();
    first->device_name = "ups1";
    first->data_id = 1;
    vimo::DeviceMonitor monitor(first, {});
    std::mt19937 random(seed);
    std::vector<unsigned char> record(853);
    for (unsigned char& byte : record) byte = static_cast<unsigned char>(random() % 3 ? random() : 0);
    return monitor.Completed(record, 0.1, {std::chrono::steady_clock::now(), kTime}).events;
}

// A round hook: its count, then its input as it read it, into $1/round<VIMO_DATA_ID>.log.
const char kRoundScript[] = R"(#!/bin/sh
case "$VIMO_DEVICE" in
  deaf) sleep 0.2; exit 0 ;;
  stuck) sleep 30 ;;
esac
{ echo "count $VIMO_EVENT_COUNT $VIMO_TIME"; cat; } >> "$1/round$VIMO_DATA_ID.log"
)";

struct Hooks : ::testing::Test {
    TempDir dir;
    std::string script = dir / "hook.sh";
    std::mutex mutex;
    std::vector<std::string> said;

    void SetUp() override {
        WriteFile(script, kHookScript);
        chmod(script.c_str(), 0755);
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
        setenv("VIMO_INHERITED", "kept", 1);
        setenv("VIMO_ALARM", "stale value that the event replaces", 1);
    }
    void TearDown() override {
        unsetenv("VIMO_INHERITED");
        unsetenv("VIMO_ALARM");
        unsetenv("TZ");
        tzset();
    }

    vimo::HookOptions Options(std::vector<std::string> extra = {}) {
        vimo::HookOptions options;
        options.argv = {script, dir.path()};
        options.argv.insert(options.argv.end(), extra.begin(), extra.end());
        options.time_limit_ms = 1000;
        options.kill_grace_ms = 200;
        return options;
    }
    vimo::EventHooks::Log Logger() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            said.push_back(line);
        };
    }
    std::vector<std::string> Said(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        for (const std::string& line : said)
            if (line.find(part) != std::string::npos) out.push_back(line);
        return out;
    }
    std::vector<std::string> Log(uint32_t id) { return Lines(ReadFile(dir / (std::to_string(id) + ".log"))); }
    // Waits (bounded) until device `id` logged `n` lines.
    bool WaitForLog(uint32_t id, size_t n, int ms = 10000) {
        for (int waited = 0; waited < ms; waited += 10) {
            if (Log(id).size() >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    bool WaitForRuns(const vimo::EventHooks& hooks, uint64_t n) {
        for (int waited = 0; waited < 10000; waited += 5) {
            if (hooks.Counters().runs >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
};

// Local time with offset. Columns: TZ, epoch seconds, expected.
struct TimeRow {
    const char* tz;
    int64_t epoch;
    const char* expected;
};
const TimeRow kTimes[] = {
    {"CET-1CEST,M3.5.0,M10.5.0/3", kTime, "2026-12-08T11:02:03+01:00"},
    {"CET-1CEST,M3.5.0,M10.5.0/3", 1782907200, "2026-07-01T14:00:00+02:00"},
    {"UTC0", kTime, "2026-12-08T10:02:03+00:00"},
    {"NST3:30NDT,M3.2.0,M11.1.0", kTime, "2026-12-08T06:32:03-03:30"},
};
static_assert(sizeof kTimes / sizeof kTimes[0] == 4, "four times");

TEST_F(Hooks, TimeIsLocalWithItsOffset) {
    for (const TimeRow& row : kTimes) {
        setenv("TZ", row.tz, 1);
        tzset();
        EXPECT_EQ(row.expected, vimo::LocalIsoTime(row.epoch)) << row.tz;
    }
}

// Two devices' events interleaved: each device's hooks see them in order, one at a
// time, with the whole environment and none of vimohost's descriptors; ids, texts and
// arguments reach no shell.
TEST_F(Hooks, EachDeviceSeesItsEventsInOrder) {
    const std::string hostile_arg = "$(touch argv-ran);x 'y\" `touch tick-ran`";
    const std::string hostile_id = "id$(touch id-ran);`touch id2-ran`'\"";
    const std::string hostile_text = "市电;$(touch text-ran) \"引号\" '单'";
    const int open_fd = open(script.c_str(), O_RDONLY);  // inheritable, as a port may be
    setenv("OPEN_FD", std::to_string(open_fd).c_str(), 1);
    vimo::EventHooks hooks(Options({hostile_arg}), Logger());
    std::string error;
    ASSERT_TRUE(hooks.Start(error)) << error;
    unsetenv("OPEN_FD");
    const AlarmEvent::Kind up = AlarmEvent::Kind::kRaised, down = AlarmEvent::Kind::kCleared;
    hooks.Submit(Event(1, "slow", up, "市电电压异常"));
    hooks.Submit(Event(2, "battery_voltage_low", up, "电池电压低"));
    hooks.Submit(Event(1, "slow", down, "市电电压异常"));
    hooks.Submit(Event(2, hostile_id, up, hostile_text));
    hooks.Submit(Event(1, "communication_lost", up, "通讯中断"));
    hooks.Submit(Event(2, "battery_voltage_low", down, "电池电压低"));
    ASSERT_TRUE(WaitForLog(1, 3) && WaitForLog(2, 3));
    hooks.Stop();
    close(open_fd);

    const std::string tail = "|2026-12-08T11:02:03+01:00|kept|" + dir.path() + " " + hostile_arg;
    EXPECT_EQ(std::vector<std::string>({
                  "ups1|1|raised|slow|Mains failed|市电电压异常|major" + tail,
                  "ups1|1|cleared|slow|Mains failed|市电电压异常|major" + tail,
                  "ups1|1|raised|communication_lost|Mains failed|通讯中断|major" + tail,
              }),
              Log(1));
    EXPECT_EQ(std::vector<std::string>({
                  "ups2|2|raised|battery_voltage_low|Mains failed|电池电压低|major" + tail,
                  "ups2|2|raised|" + hostile_id + "|Mains failed|" + hostile_text + "|major" + tail,
                  "ups2|2|cleared|battery_voltage_low|Mains failed|电池电压低|major" + tail,
              }),
              Log(2));
    for (const char* mark : {"argv-ran", "tick-ran", "id-ran", "id2-ran", "text-ran"}) {
        struct stat st {};
        EXPECT_NE(0, stat(mark, &st)) << mark;
        EXPECT_NE(0, stat((dir / mark).c_str(), &st)) << mark;
    }
    const vimo::HookCounters counters = hooks.Counters();
    EXPECT_EQ(6u, counters.runs);
    EXPECT_EQ(0u, counters.failures + counters.timeouts + counters.dropped);
    EXPECT_TRUE(Said("").empty());
}

// A hook that misbehaves on device 1 while device 2 has three quick events. Columns:
// program ("" for the hook script), alarm, the part of the one line it is logged with
// ("" for none), timeouts.
struct BadHook {
    const char* program;
    const char* alarm;
    const char* logged;
    uint64_t timeouts;
};
const BadHook kBadHooks[] = {
    {"", "fail", "fail raised: exit status 3; output ends: about to fail", 0},
    {"hook.txt", "noexec", "noexec raised: cannot run: Permission denied", 0},
    {"missing", "nofile", "nofile raised: cannot run: No such file or directory", 0},
    {"", "hang", "hang raised: no end within 1 s, stopped by SIGTERM", 1},
    {"", "stubborn", "stubborn raised: no end within 1 s, stopped by SIGKILL", 1},
    {"", "flood", "", 0},
    {"", "floodfail", "floodfail raised: exit status 1", 0},
};
static_assert(sizeof kBadHooks / sizeof kBadHooks[0] == 7, "seven hooks");

TEST_F(Hooks, AFailingHookIsLoggedOnceAndOthersGoOn) {
    for (const BadHook& row : kBadHooks) {
        SCOPED_TRACE(row.alarm);
        said.clear();
        vimo::HookOptions options = Options();
        // A program that cannot run is refused at start: these become so after it,
        // "hook.txt" losing its execute bits, "missing" removed.
        const std::string program = dir / row.program;
        if (*row.program) {
            options.argv[0] = program;
            WriteFile(program, "not a program\n");
            chmod(program.c_str(), 0755);
        }
        vimo::EventHooks bad(options, Logger());
        vimo::EventHooks good(Options(), Logger());
        std::string error;
        ASSERT_TRUE(bad.Start(error) && good.Start(error)) << error;
        if (std::string(row.program) == "hook.txt") chmod(program.c_str(), 0644);
        if (std::string(row.program) == "missing") std::remove(program.c_str());
        bad.Submit(Event(1, row.alarm));
        for (int i = 0; i < 3; ++i) good.Submit(Event(2, "quick" + std::to_string(i)));
        EXPECT_TRUE(WaitForLog(2, 3));
        EXPECT_EQ(0u, bad.Counters().timeouts) << "the other device waited for the limit";
        bad.Stop();
        good.Stop();

        const std::vector<std::string> lines = Said(row.alarm);
        if (*row.logged) {
            ASSERT_EQ(1u, lines.size());
            EXPECT_NE(std::string::npos, lines[0].find(row.logged)) << lines[0];
            EXPECT_LT(lines[0].size(), 400u);
        } else {
            EXPECT_TRUE(lines.empty()) << lines[0];
        }
        const vimo::HookCounters counters = bad.Counters();
        EXPECT_EQ(1u, counters.runs);
        EXPECT_EQ(*row.logged ? 1u : 0u, counters.failures);
        EXPECT_EQ(row.timeouts, counters.timeouts);
        EXPECT_EQ(3u, good.Counters().runs);
        std::remove((dir / "1.log").c_str());
        std::remove((dir / "2.log").c_str());
    }
}

// A hook that keeps failing is said once per way of failing, then once when it works
// again, and what went unsaid is counted when the failure changes or at the stop:
// three failures of one kind, a fourth of another, a good run, two failures more.
TEST_F(Hooks, RepeatedFailuresAreSaidOnceUntilTheyChange) {
    vimo::EventHooks hooks(Options(), Logger());
    std::string error;
    ASSERT_TRUE(hooks.Start(error)) << error;
    const char* const kTrace[] = {"fail", "fail", "fail", "fail7", "quick", "fail", "fail"};
    for (const char* alarm : kTrace) hooks.Submit(Event(1, alarm));
    ASSERT_TRUE(WaitForRuns(hooks, std::size(kTrace)));
    for (int waited = 0; waited < 5000 && !hooks.Idle(); waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    hooks.Stop();
    std::vector<std::string> lines;
    for (const std::string& line : Said("hook ")) lines.push_back(line.substr(line.find(": ") + 2));
    EXPECT_EQ(std::vector<std::string>({"exit status 3; output ends: about to fail",
                                        "2 more failures since the last report (last: exit status 3)",
                                        "exit status 7", "works again after 1 failure",
                                        "exit status 3; output ends: about to fail",
                                        "1 more failure since the last report (last: exit status 3)"}),
              lines);
}

// One hook running, four waiting: the rest of a burst is dropped, counted and said once.
TEST_F(Hooks, AFloodBeyondTheQueueIsCountedAndSaidOnce) {
    vimo::HookOptions options = Options();
    options.queue_per_device = 4;
    vimo::EventHooks hooks(options, Logger());
    std::string error;
    ASSERT_TRUE(hooks.Start(error)) << error;
    hooks.Submit(Event(1, "slow"));
    ASSERT_TRUE(WaitForRuns(hooks, 1));
    for (int i = 0; i < 19; ++i) hooks.Submit(Event(1, "slow"));
    EXPECT_EQ(15u, hooks.Counters().dropped);
    EXPECT_TRUE(WaitForLog(1, 5));
    hooks.Stop();
    EXPECT_EQ(std::vector<std::string>({"ups1: 15 events dropped, hook queue full (4 waiting)"}),
              Said("dropped"));
    EXPECT_EQ(5u, hooks.Counters().runs);
    EXPECT_EQ(5u, Log(1).size());
}

// Stop drops what waits and lets the running hook end, or stops it when told to wait
// no longer. Columns: the running hook's alarm, Stop's wait, lines said, hooks logged.
struct StopRow {
    const char* alarm;
    int max_wait_ms;
    std::vector<std::string> said;
    size_t logged;
};
const StopRow kStops[] = {
    {"slow", -1, {"ups1: 3 queued events dropped at shutdown, hook not run"}, 1},
    {"hang", 0,
     {"ups1: 3 queued events dropped at shutdown, hook not run",
      "for ups1 hang raised: stopped at shutdown by SIGTERM"},
     0},
};
static_assert(sizeof kStops / sizeof kStops[0] == 2, "two stops");

TEST_F(Hooks, StopDropsTheQueueAndEndsTheRunningHook) {
    for (const StopRow& row : kStops) {
        SCOPED_TRACE(row.alarm);
        said.clear();
        vimo::EventHooks hooks(Options(), Logger());
        std::string error;
        ASSERT_TRUE(hooks.Start(error)) << error;
        hooks.Submit(Event(1, row.alarm));
        ASSERT_TRUE(WaitForRuns(hooks, 1));
        for (int i = 0; i < 3; ++i) hooks.Submit(Event(1, "slow"));
        hooks.Stop(row.max_wait_ms);
        hooks.Submit(Event(1, "slow"));
        EXPECT_EQ(row.said.size(), said.size());
        for (const std::string& part : row.said) EXPECT_EQ(1u, Said(part).size()) << part;
        EXPECT_EQ(row.logged, Log(1).size());
        EXPECT_EQ(1u, hooks.Counters().runs);
        EXPECT_EQ(4u, hooks.Counters().dropped);
        std::remove((dir / "1.log").c_str());
    }
}

// The manual states the queue's size as the code has it.
TEST(HookQueue, HoldsEveryAlarmsRaiseAndClearAsTheManualSays) {
    EXPECT_EQ(2 * novex::monitor::Alarms().size(), vimo::HookOptions().queue_per_device);
    const char* source = std::getenv("NOVEX_SOURCE_DIR");
    ASSERT_NE(nullptr, source);
    EXPECT_NE(std::string::npos, ReadFile(std::string(source) + "/docs/vimohost.md")
                                     .find("queues up to " + std::to_string(vimo::kHookQueueEvents) + " events"));
}

// A UPS whose first round shows every alarm of a random register image: the hook sees
// each raise exactly once, while each run takes its time, with the default queue.
TEST_F(Hooks, EveryRaiseOfAFullFirstRoundReachesTheHookOnce) {
    const std::vector<AlarmEvent> events = FirstRoundOfRandomImage(21);
    ASSERT_GT(events.size(), 200u);
    vimo::EventHooks hooks(Options(), Logger());
    std::string error;
    ASSERT_TRUE(hooks.Start(error)) << error;
    hooks.SubmitRound(events);
    // Each run is a fork of this process: under an emulator that is a copy of it too.
    const int limit_ms = std::getenv("NOVEX_TEST_EMULATOR") ? 300000 : 60000;
    ASSERT_TRUE(WaitForLog(1, events.size(), limit_ms)) << Log(1).size() << " of " << events.size();
    hooks.Stop();
    std::multiset<std::string> seen;
    for (const std::string& line : Log(1)) seen.insert(line.substr(0, line.find("|", line.find("|raised|") + 8)));
    for (const AlarmEvent& e : events) EXPECT_EQ(1u, seen.count("ups1|1|raised|" + e.alarm)) << e.alarm;
    EXPECT_EQ(events.size(), Log(1).size());
    EXPECT_EQ(0u, hooks.Counters().dropped + hooks.Counters().failures);
}

// Round mode: one run per round with the round's events on standard input, the number in
// the environment; a burst of every alarm at once, a hook that never reads its input
// (its run ends well, the next round runs), and one that neither reads nor ends (stopped
// at its limit, the next round runs).
TEST_F(Hooks, RoundModeHandsOverTheWholeRound) {
    WriteFile(dir / "round.sh", kRoundScript);
    chmod((dir / "round.sh").c_str(), 0755);
    vimo::HookOptions options = Options();
    options.argv = {dir / "round.sh", dir.path()};
    options.mode = vimo::HookMode::kRound;
    vimo::EventHooks hooks(options, Logger());
    std::string error;
    ASSERT_TRUE(hooks.Start(error)) << error;

    std::vector<AlarmEvent> burst;
    for (const novex::monitor::Alarm& a : novex::monitor::Alarms())
        burst.push_back({"ups1", 1, AlarmEvent::Kind::kRaised, a.id, a.text, "critical", kTime, a.description});
    std::vector<AlarmEvent> deaf = burst, stuck = burst;
    for (AlarmEvent& e : deaf) e = {"deaf", 2, e.kind, e.alarm, e.text, e.severity, e.time, e.description};
    for (AlarmEvent& e : stuck) e = {"stuck", 3, e.kind, e.alarm, e.text, e.severity, e.time, e.description};
    hooks.SubmitRound(burst);
    hooks.SubmitRound(deaf);
    hooks.SubmitRound(stuck);
    hooks.SubmitRound({Event(2, "after_deaf")});
    hooks.SubmitRound({Event(3, "after_stuck")});
    hooks.SubmitRound({});  // a round without changes runs nothing
    const auto round_log = [this](uint32_t id) { return Lines(ReadFile(dir / ("round" + std::to_string(id) + ".log"))); };
    for (int waited = 0; waited < 10000 && round_log(3).empty(); waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    hooks.Stop();

    const std::vector<std::string> lines = round_log(1);
    ASSERT_EQ(burst.size() + 1, lines.size());
    EXPECT_EQ("count " + std::to_string(burst.size()) + " 2026-12-08T11:02:03+01:00", lines[0]);
    EXPECT_EQ(vimo::RoundLine(burst[0]), lines[1]);
    EXPECT_EQ("{\"device\":\"ups1\",\"data_id\":1,\"event\":\"raised\",\"alarm\":\"communication_lost\","
              "\"description\":\"Communication with the UPS lost\",\"text\":\"通讯中断\",\"severity\":\"critical\","
              "\"time\":\"2026-12-08T11:02:03+01:00\"}",
              lines.back());
    EXPECT_EQ(std::vector<std::string>({"count 1 2026-12-08T11:02:03+01:00",
                                        vimo::RoundLine(Event(2, "after_deaf"))}),
              round_log(2));
    EXPECT_EQ(std::vector<std::string>({"count 1 2026-12-08T11:02:03+01:00",
                                        vimo::RoundLine(Event(3, "after_stuck"))}),
              round_log(3));
    const vimo::HookCounters counters = hooks.Counters();
    EXPECT_EQ(5u, counters.runs);
    EXPECT_EQ(1u, counters.timeouts);
    EXPECT_EQ(0u, counters.dropped);
    EXPECT_EQ(1u, Said("stuck round of " + std::to_string(burst.size()) + " events: no end within 1 s").size());
}

}  // namespace
