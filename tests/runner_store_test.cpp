// The host's own pieces: history file, alarm tracking, time texts, the status file,
// the round summary and child processes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "session/rule_states.h"
#include "common/child_process.h"
#include "common/failure_note.h"
#include "session/device_services.h"
#include "history/store.h"
#include "history/writer_lock.h"
#include "poll/poller.h"
#include "session/round_time.h"
#include "tests/runner_processes.h"
#include "poll/status_output.h"
#include "board/device_monitor.h"

namespace {

using runner_test::TempDir;

TEST(HistoryStore, KeepsEveryRoundPerDeviceAndFindsTheNewest) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    std::vector<unsigned char> record(853);
    for (int i = 0; i < 5; ++i) {
        record[0] = static_cast<unsigned char>(i);
        const uint32_t id = i % 2 ? 7 : 9;
        ASSERT_TRUE(store->AddRound(id, "2024-03-05 07:04:0" + std::to_string(i), record.data(),
                                    record.size(), error))
            << error;
    }
    EXPECT_EQ(5, store->CountRounds(std::nullopt));
    EXPECT_EQ(2, store->CountRounds(7u));
    const auto newest = store->Newest(9);
    ASSERT_TRUE(newest);
    EXPECT_EQ(4, newest->record[0]);
    EXPECT_EQ("2024-03-05 07:04:04", newest->time);
    EXPECT_FALSE(store->Newest(8));

    // The newest N, listed oldest first, with their sizes but not their bytes.
    const auto last = store->List(std::nullopt, 2);
    ASSERT_EQ(2u, last.size());
    EXPECT_EQ(4, last[0].id);
    EXPECT_EQ(5, last[1].id);
    EXPECT_EQ(853u, last[1].record.size());
    EXPECT_EQ(3u, store->List(9u, 0).size());
    EXPECT_FALSE(store->Round(99));
    ASSERT_TRUE(store->Round(2));
    EXPECT_EQ(7u, store->Round(2)->data_id);

    // A second opening (the history command, a restart) sees the same rounds.
    store.reset();
    auto again = vimo::HistoryStore::Open(dir / "h.db", true, error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(5, again->CountRounds(std::nullopt));
}

TEST(HistoryStore, RefusesWhatIsNoHistoryFile) {
    TempDir dir;
    std::string error;
    EXPECT_FALSE(vimo::HistoryStore::Open(dir / "absent.db", true, error));
    runner_test::WriteFile(dir / "text.db", "not a database, just text long enough to read");
    EXPECT_FALSE(vimo::HistoryStore::Open(dir / "text.db", true, error));
    EXPECT_NE(std::string::npos, error.find("text.db")) << error;
}

// One writer per history: a second poller on the file, under another path too, is
// refused with the holder's process id, while reading commands go on.
TEST(HistoryStore, OneWriterAtATimeReadersBeside) {
    TempDir dir;
    std::string error;
    ASSERT_TRUE(vimo::HistoryStore::Open(dir / "h.db", false, error)) << error;
    ASSERT_EQ(0, symlink((dir / "h.db").c_str(), (dir / "link.db").c_str()));
    auto held = vimo::HistoryWriterLock::Claim(dir / "h.db", error);
    ASSERT_TRUE(held) << error;
    EXPECT_FALSE(vimo::HistoryWriterLock::Claim(dir / "h.db", error));
    const std::string holder = "(process " + std::to_string(getpid()) + ")";
    EXPECT_NE(std::string::npos, error.find(holder)) << error;
    for (const char* path : {"h.db", "link.db"}) {
        const runner_test::Outcome run =
            runner_test::RunVimohost({"--serial", "/dev/null", "--history", dir / path}, dir, 20000);
        EXPECT_EQ(1, run.exit_code) << path;
        EXPECT_NE(std::string::npos, run.err.find("written by another vimohost " + holder)) << run.err;
    }
    const runner_test::Outcome read = runner_test::RunVimohost({"history", "--history", dir / "link.db"}, dir);
    EXPECT_EQ(0, read.exit_code) << read.err;
    held.reset();
    EXPECT_TRUE(vimo::HistoryWriterLock::Claim(dir / "link.db", error)) << error;
}

TEST(HistoryStore, LastAlarmEventIsTheRuleState) {
    TempDir dir;
    std::string error;
    auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->AddAlarm({1, "t1", "12017", "过载", true}, error));
    ASSERT_TRUE(store->AddAlarm({1, "t2", "12017", "风扇故障", true}, error));
    ASSERT_TRUE(store->AddAlarm({1, "t3", "12017", "过载", false}, error));
    ASSERT_TRUE(store->AddAlarm({2, "t3", "12017", "过载", true}, error));
    const auto states = store->AlarmStates(1);
    ASSERT_EQ(2u, states.size());
    EXPECT_FALSE(states.at({"12017", "过载"}));
    EXPECT_TRUE(states.at({"12017", "风扇故障"}));
    EXPECT_EQ(3u, store->Alarms(1).size());

    // Events of the alarm table: the last one of each alarm tells whether it is active.
    using Kind = vimo::AlarmEvent::Kind;
    for (const auto& e : {std::make_pair("overload", Kind::kRaised),
                          std::make_pair("fan_fault", Kind::kRaised),
                          std::make_pair("overload", Kind::kCleared)})
        ASSERT_TRUE(store->AddEvent({"ups1", 1, e.second, e.first, "过载", "critical", 1700000000, "Output overloaded"},
                                    error))
            << error;
    EXPECT_EQ(std::vector<std::string>{"fan_fault"}, store->ActiveAlarms(1));
    EXPECT_TRUE(store->ActiveAlarms(2).empty());
    ASSERT_EQ(3u, store->Events(1).size());
    EXPECT_EQ(1700000000, store->Events(1)[2].time);
}

TEST(RuleStates, ReportsEachRaiseAndClearOnce) {
    using Change = vimo::RuleStates::Change;
    // Columns: the rule's state in successive rounds, the change each one reports.
    struct Step {
        bool active;
        Change change;
    };
    const Step kSteps[] = {
        {false, Change::kNone},  {true, Change::kRaised}, {true, Change::kNone},
        {true, Change::kNone},   {false, Change::kCleared}, {false, Change::kNone},
        {true, Change::kRaised},
    };
    vimo::RuleStates tracker;
    for (const Step& s : kSteps) EXPECT_EQ(s.change, tracker.Observe("12017", "过载", s.active));
    // Rules are told apart by id and name.
    EXPECT_EQ(Change::kRaised, tracker.Observe("12017", "风扇故障", true));
    EXPECT_EQ(Change::kRaised, tracker.Observe("99", "过载", true));
    tracker.Restore("12017", "熔丝断", true);
    EXPECT_EQ(Change::kNone, tracker.Observe("12017", "熔丝断", true));
}

TEST(TimeText, RoundTripsAndRefusesNonsense) {
    ttime_t t{};
    ASSERT_TRUE(vimo::ParseTimeText("2024-03-05 07:04:09", t));
    EXPECT_EQ(2024, t.year);
    EXPECT_EQ(3, t.month);
    EXPECT_EQ(9, t.second);
    EXPECT_EQ("2024-03-05 07:04:09", vimo::TimeText(t));
    for (const char* bad : {"", "2024-13-05 07:04:09", "2024-03-05 24:00:00",
                            "2024-03-05 07:04:09x", "yesterday"})
        EXPECT_FALSE(vimo::ParseTimeText(bad, t)) << bad;
}

TEST(StatusFile, ReplacedWholeAndNoTemporaryLeft) {
    TempDir dir;
    std::string error;
    ASSERT_TRUE(vimo::WriteFileAtomically(dir / "status.json", "{\"a\":1}\n", error)) << error;
    ASSERT_TRUE(vimo::WriteFileAtomically(dir / "status.json", "{}\n", error)) << error;
    EXPECT_EQ("{}\n", runner_test::ReadFile(dir / "status.json"));
    EXPECT_NE(0, access((dir / ("status.json.tmp." + std::to_string(getpid()))).c_str(), F_OK));
    EXPECT_FALSE(vimo::WriteFileAtomically(dir / "absent/status.json", "{}", error));
    EXPECT_FALSE(error.empty());
}

// The summary printed for a round reads the record through the measure table: units
// named, the backup time in minutes, "stale" first once communication is lost.
// A failing output (the status file on a full disk, every round) is said once, then
// reminded every five minutes with the count, and its recovery once. Columns: seconds
// since the start, whether the write fails, the line said ("" for none).
TEST(FailureNote, FirstFailureRemindersAndRecovery) {
    vimo::FailureNote note;
    const vimo::FailureNote::Clock::time_point start{};
    struct Step {
        int at_s;
        bool fails;
        const char* line;
    };
    const Step trace[] = {
        {0, true, "out: disk full"},
        {1, true, ""},
        {299, true, ""},
        {300, true, "out: still failing, 3 times since the last report: disk full"},
        {301, true, ""},
        {302, false, "out: works again after 5 failures"},
        {303, false, ""},
        {304, true, "out: disk full"},
    };
    for (const Step& s : trace) {
        const auto now = start + std::chrono::seconds(s.at_s);
        EXPECT_EQ(s.fails ? note.Failed("out", "disk full", now) : note.Worked("out"), s.line) << s.at_s;
    }
}

TEST(RoundSummary, ShowsStateValuesAndActiveAlarms) {
    std::vector<unsigned char> record(853);
    const auto put = [&record](const char* name, uint16_t raw) {
        const size_t i = novex::monitor::FindMeasure(name);
        ASSERT_LT(i, novex::monitor::Measures().size()) << name;
        const novex::monitor::MeasureRow& row =
            novex::monitor::kMeasureRows[novex::monitor::Measures()[i].row];
        std::memcpy(&record[row.offset], &raw, sizeof raw);
    };
    put("run_state", 5);
    put("output_voltage{phase=\"a\"}", 2201);
    put("battery_charge", 24);
    put("battery_runtime", 12);
    vimo::SnapshotBoard board;
    vimo::DeviceMonitor device(board.Get(board.AddDevice("ups1", 1, "tcp x")),
                               vimo::MonitorSettings{1, 5, 1000});
    const vimo::DeviceMonitor::Moment now{vimo::DeviceMonitor::Clock::now(), 1700000000};
    const std::string line =
        novex::monitor::SummaryLine(*device.Completed(record, 0.1, now).snapshot);
    EXPECT_EQ(0u, line.find("state on_battery | ")) << line;
    for (const char* part : {"220.1/0.0/0.0 V", "battery 24 %", "backup 12 min", "alarms: none"})
        EXPECT_NE(std::string::npos, line.find(part)) << part << " in " << line;
    const std::string stale =
        novex::monitor::SummaryLine(*device.Failed("timeout", 0.1, now).snapshot);
    EXPECT_EQ(0u, stale.find("stale | state on_battery")) << stale;
    EXPECT_NE(std::string::npos, stale.find("alarms: communication_lost")) << stale;
}

TEST(ChildProcess, HoldsItsOutputFilesOnlyAsStandardOutputAndError) {
    TempDir dir;
    vimo::ChildProcess child;
    std::string error;
    const std::string list_open_files = "for f in /proc/$$/fd/*; do readlink \"$f\"; done; true";
    ASSERT_TRUE(child.Start({"/bin/sh", "-c", list_open_files},
                            runner_test::OutputIn(dir / "out", dir / "err"), error))
        << error;
    EXPECT_EQ(0, child.Wait(10000));
    const std::string open_files = runner_test::ReadFile(dir / "out");
    EXPECT_EQ(1u, runner_test::CountLines(open_files, dir / "out")) << open_files;
    EXPECT_EQ(1u, runner_test::CountLines(open_files, dir / "err")) << open_files;
}

// A terminal's Ctrl-C reaches the foreground group: a child outside it is not hit.
TEST(ChildProcess, RunsInAProcessGroupOfItsOwn) {
    vimo::ChildProcess child;
    std::string error, line;
    ASSERT_TRUE(child.Start({"/bin/sh", "-c", "echo started; exec sleep 30"},
                            vimo::ChildProcess::Options(), error))
        << error;
    ASSERT_TRUE(child.ReadLine(line, 10000));
    EXPECT_EQ(child.pid(), getpgid(child.pid()));
    EXPECT_NE(getpgrp(), getpgid(child.pid()));
    child.Stop(1000);
}

// An output file that is a FIFO nobody reads holds the child before exec: the start
// fails within its limit, the child killed and reaped, instead of holding the starter.
TEST(ChildProcess, AChildStuckBeforeExecIsKilledAtTheStartLimit) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    vimo::SpawnRequest request;
    request.argv = {"/bin/true"};
    request.stdout_file = fifo;
    request.start_limit_ms = 300;
    vimo::Spawned child;
    std::string error;
    EXPECT_FALSE(vimo::SpawnChild(request, child, error));
    EXPECT_EQ("did not start within 300 ms", error);
    EXPECT_EQ(-1, child.pid);
}

}  // namespace
