// The history through vimohost itself: readings and events of a run on the command
// line, bad query input, and a poller killed at random moments.
#include <signal.h>
#include <sys/stat.h>
#include <sqlite3.h>

#include <chrono>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "common/child_process.h"
#include "history/aggregates.h"
#include "history/reader.h"
#include "history/store.h"
#include "history/times.h"
#include "device/novexups_data.h"
#include "tests/runner_processes.h"
#include "tests/test_program.h"

namespace {

using runner_test::CountLines;
using runner_test::Lines;
using runner_test::Outcome;
using runner_test::ReadFile;
using runner_test::RunVimohost;
using runner_test::Simulator;
using runner_test::TempDir;

// The file's clean-stop mark: 1 marked, 0 not, -1 none.
int CleanMark(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* s = nullptr;
    int mark = -1;
    if (sqlite3_prepare_v2(db, "SELECT value FROM history_state WHERE name = 'clean'", -1, &s,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        mark = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(db);
    return mark;
}

// A span older than the device's rounds reads from minute aggregates, and each form of
// the answer says so; a span the rounds cover reads as it always did.
TEST(HistoryCommand, ReadingsFromMinutesSaySo) {
    TempDir dir;
    std::string error;
    const int64_t t0 = 1765152000;  // a minute's start
    {
        auto store = vimo::HistoryStore::Open(dir / "h.db", false, error);
        ASSERT_TRUE(store) << error;
        vimo::MinuteAggregator minutes;
        std::vector<vimo::MinuteAggregate> finished;
        std::vector<vimo::HistoryEntry> rounds;
        for (int64_t s = 0; s < 180; s += 30) {
            vimo::HistoryEntry e;
            e.data_id = 1;
            e.utc = t0 + s;
            e.local = vimo::UtcToLocalText(e.utc);
            e.record.assign(sizeof(NovexUPS_Data_t), 0);
            minutes.Add(1, e.utc, novex::monitor::DecodeMeasures(e.record.data()), finished);
            if (s >= 120) rounds.push_back(e);  // the first two minutes' rounds are gone
        }
        std::vector<int64_t> ids;
        ASSERT_TRUE(store->Write(rounds, ids, error, finished)) << error;
    }
    const std::string since = vimo::IsoTime(t0, true), until = vimo::IsoTime(t0 + 180, true);
    const auto run = [&](std::vector<std::string> more) {
        std::vector<std::string> argv = {"history", "readings", "--history", dir / "h.db",
                                         "--fields", "battery_charge", "--utc", "--until", until,
                                         "--since"};
        argv.insert(argv.end(), more.begin(), more.end());
        return RunVimohost(argv, dir);
    };
    // Columns: arguments after --since, what the output holds, standard error says so.
    struct Row {
        std::vector<std::string> args;
        const char* holds;
        bool noted;
    };
    const Row kRows[] = {
        {{since, "--csv"}, "2025-12-08T00:01:00Z,0.00,minutes\n2025-12-08T00:02:00Z,0,rounds", true},
        {{since, "--json"}, "\"source\":\"minute aggregates\",\"rounds\":2,\"fields\":"
                            "{\"battery_charge\":{\"min\":0,\"mean\":0.00,\"max\":0}}", true},
        {{since, "--step", "1m", "--csv"}, "time,rounds,battery_charge.min,battery_charge.mean,"
                                           "battery_charge.max,source\n", true},
        {{vimo::IsoTime(t0 + 120, true), "--csv"}, "time,battery_charge\n2025-12-08T00:02:00Z,0\n", false},
    };
    static_assert(sizeof kRows / sizeof kRows[0] == 4, "answers");
    for (const Row& r : kRows) {
        const Outcome o = run(r.args);
        ASSERT_EQ(0, o.exit_code) << o.err;
        EXPECT_NE(std::string::npos, o.out.find(r.holds)) << o.out;
        EXPECT_EQ(r.noted, o.err.find(vimo::kMinuteSource) != std::string::npos) << o.err;
    }
}

TEST(HistoryCommand, ReadingsOfARunAndBadInput) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--scenario", "on-battery"}, dir / "sim.log"));
    // With the page on: its own connection to the history is closed at exit too.
    // --b-mode 0: the plug-in reports its alarm rules too (history rules).
    const Outcome run = RunVimohost({"--tcp", sim.address(), "--rounds", "3", "--interval-ms", "0",
                                     "--b-mode", "0", "--history", dir / "h.db", "--listen", "127.0.0.1:0"},
                                    dir);
    ASSERT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ(0, sim.Stop());
    // The write-ahead log is folded in: the file alone is a complete copy, and the
    // history commands read ./vimohost.db without being told, and say so.
    struct stat st {};
    EXPECT_TRUE(stat((dir / "h.db-wal").c_str(), &st) != 0 || st.st_size == 0);
    runner_test::WriteFile(dir / "vimohost.db", ReadFile(dir / "h.db"));
    const Outcome copy = RunVimohost({"history"}, dir, 20000, dir.path());
    EXPECT_EQ(3u, CountLines(copy.out, " ups1 ")) << copy.out << copy.err;
    EXPECT_EQ("vimohost: reading vimohost.db\n", copy.err);
    // A clean stop marks the file, so that the next start skips the whole-file check
    // (a killed run leaves it unmarked: HistoryCrash).
    EXPECT_EQ(1, CleanMark(dir / "h.db"));
    const Outcome csv = RunVimohost({"history", "readings", "--history", dir / "h.db", "--since",
                                     "10m", "--fields", "battery_charge,output_load", "--csv"},
                                    dir);
    ASSERT_EQ(0, csv.exit_code) << csv.err;
    const std::vector<std::string> rows = Lines(csv.out);
    ASSERT_EQ(4u, rows.size()) << csv.out;
    EXPECT_EQ("time,battery_charge,output_load.a,output_load.b,output_load.c", rows[0]);
    // The simulated battery loses charge every round; loads are whole percents.
    EXPECT_NE(rows[1].substr(25), rows[3].substr(25)) << csv.out;
    EXPECT_EQ(4u, CountLines(csv.out, ",")) << csv.out;
    const Outcome steps = RunVimohost({"history", "readings", "--history", dir / "h.db", "--since",
                                       "1h", "--fields", "battery_charge", "--step", "1h", "--json"},
                                      dir);
    ASSERT_EQ(0, steps.exit_code) << steps.err;
    EXPECT_NE(std::string::npos, steps.out.find("\"rounds\":3")) << steps.out;
    const Outcome list = RunVimohost({"history", "--history", dir / "h.db"}, dir);
    EXPECT_EQ(3u, CountLines(list.out, " ups1 ")) << list.out;
    // On battery from the first round: the mains alarm of the unit and of each module.
    const Outcome events = RunVimohost({"history", "events", "--history", dir / "h.db"}, dir);
    ASSERT_EQ(0, events.exit_code) << events.err;
    EXPECT_EQ(5u, CountLines(events.out, "mains_voltage_abnormal")) << events.out;
    EXPECT_EQ(1u, CountLines(events.out, "ups1       raised  mains_voltage_abnormal")) << events.out;
    EXPECT_EQ(1u, CountLines(events.out, "warning  Mains voltage abnormal (市电电压异常)")) << events.out;
    EXPECT_EQ(1u, CountLines(events.out, "run_state.on_battery")) << events.out;
    // The plug-in's own rule reports: its mains rule raised once, none cleared.
    const Outcome rules = RunVimohost({"history", "rules", "--history", dir / "h.db"}, dir);
    ASSERT_EQ(0, rules.exit_code) << rules.err;
    EXPECT_EQ(1u, CountLines(rules.out, "ups1       raised  12017        市电电压异常")) << rules.out;
    EXPECT_EQ(0u, CountLines(rules.out, "cleared")) << rules.out;
    const Outcome rules_json =
        RunVimohost({"history", "rules", "--history", dir / "h.db", "--device", "ups1", "--json"}, dir);
    ASSERT_EQ(0, rules_json.exit_code) << rules_json.err;
    EXPECT_NE(std::string::npos, rules_json.out.find("\"rule\" : \"市电电压异常\"")) << rules_json.out;

    // Columns: arguments after "history", a part of the one error line.
    const std::pair<std::vector<std::string>, std::string> kBad[] = {
        {{"readings", "--since", "yesterday"}, "--since must be a duration back from now"},
        {{"readings", "--fields", "battery_charge,charge"}, "--fields must be measure ids from "},
        {{"readings", "--step", "0s"}, "--step must be a duration such as"},
        {{"readings", "--device", "ups9"}, "no device \"ups9\" in the history; devices: ups1 (1)"},
        {{"events", "--until", "2026-02-30T25:00"}, "--until must be"},
        {{"rules", "--device", "ups9"}, "no device \"ups9\" in the history"},
    };
    for (const auto& [args, part] : kBad) {
        std::vector<std::string> argv = {"history"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"--history", dir / "h.db"});
        const Outcome bad = RunVimohost(argv, dir);
        EXPECT_EQ(2, bad.exit_code) << args[0] << " " << args[1];
        EXPECT_EQ(1u, Lines(bad.err).size()) << bad.err;
        EXPECT_NE(std::string::npos, bad.err.find(part)) << bad.err;
    }
}

// SIGKILL at random moments of polling, a bounded number of times: every time the file
// opens again, passes the integrity check and holds every round reported stored.
TEST(HistoryCrash, KilledPollerLosesNoStoredRound) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"}, dir / "sim.log"));
    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delay_ms(100, 900);
    std::set<int64_t> reported;
    const int kKills = 6;
    for (int kill_number = 0; kill_number < kKills; ++kill_number) {
        vimo::ChildProcess vimohost;
        std::vector<std::string> argv =
            novex_test::ProgramCommand(runner_test::BuildDir() + "/vimohost");
        argv.insert(argv.end(), {"--tcp", sim.address(), "--interval-ms", "0", "--history",
                                 dir / "h.db", "--verbose"});
        std::string error;
        ASSERT_TRUE(vimohost.Start(argv, runner_test::OutputIn("/dev/null", dir / "err"), error))
            << error;
        const int delay = delay_ms(random);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        // The last run is killed only once it has reported a commit, so that a slow
        // machine (a sanitizer, a loaded CI) still checks some stored rounds.
        for (int waited = 0; kill_number == kKills - 1 && waited < 30000 &&
                             runner_test::ReadFile(dir / "err").find("history: stored rounds") ==
                                 std::string::npos;
             waited += 50)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(vimohost.running()) << runner_test::ReadFile(dir / "err");
        ASSERT_EQ(0, kill(vimohost.pid(), SIGKILL));
        EXPECT_EQ(128 + SIGKILL, vimohost.Wait(10000));
        // "vimohost: history: stored rounds 12..15 in 0.4 ms"
        const std::string tag = "history: stored rounds ";
        for (const std::string& line : Lines(runner_test::ReadFile(dir / "err"))) {
            const size_t at = line.find(tag);
            if (at == std::string::npos) continue;
            const std::string range = line.substr(at + tag.size());
            const int64_t first = std::stoll(range);
            const size_t dots = range.find("..");
            const int64_t last = dots != std::string::npos && dots < range.find(' ')
                                     ? std::stoll(range.substr(dots + 2))
                                     : first;
            for (int64_t id = first; id <= last; ++id) reported.insert(id);
        }
        SCOPED_TRACE("seed " + std::to_string(seed) + ", kill " + std::to_string(kill_number) +
                     " after " + std::to_string(delay) + " ms");
        sqlite3* db = nullptr;
        sqlite3_open((dir / "h.db").c_str(), &db);
        // Rows of a query, as text; empty when it fails (a kill before the tables exist).
        const auto rows = [db](const char* sql) {
            std::vector<std::string> out;
            sqlite3_stmt* s = nullptr;
            if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK)
                while (sqlite3_step(s) == SQLITE_ROW)
                    out.push_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
            sqlite3_finalize(s);
            return out;
        };
        EXPECT_EQ(std::vector<std::string>{"ok"}, rows("PRAGMA integrity_check"));
        EXPECT_NE(1, CleanMark(dir / "h.db"));
        sqlite3_close(db);
        // Rounds with their readings, whether still in the rounds table or in a chunk.
        std::set<int64_t> stored;
        if (auto reader = vimo::HistoryReader::Open(dir / "h.db", error)) {
            for (const vimo::HistoryDevice& d : reader->Devices()) {
                EXPECT_TRUE(reader->Readings(d.data_id, 0, INT64_MAX, {},
                                             [&](const vimo::ReadingRow& r) {
                                                 stored.insert(r.round);
                                                 return true;
                                             },
                                             error))
                    << error;
            }
        }
        size_t missing = 0;
        for (const int64_t id : reported) missing += stored.count(id) ? 0 : 1;
        EXPECT_EQ(0u, missing) << reported.size() << " reported, " << stored.size() << " stored";
    }
    EXPECT_GT(reported.size(), 0u);
    EXPECT_EQ(0, sim.Stop());
}

// The output energy counter over the simulator's steady load (8.12, 7.95 and 8.34 kW,
// its normal scenario) equals that power times the time counted, within 1 %, and a
// restart with the same history goes on from the count stored.
TEST(HistoryEnergy, CountsTheSimulatorsPowerAndContinuesAcrossARestart) {
    TempDir dir;
    Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--scenario", "normal"}, dir / "sim.log"));
    const double kWatts[] = {8120, 7950, 8340};
    constexpr int kRounds = 6;
    constexpr double kInterval = 1.0;
    // The phases' joules stored for device 1; empty when there are none.
    const auto stored = [&] {
        std::vector<double> joules;
        sqlite3* db = nullptr;
        sqlite3_open((dir / "h.db").c_str(), &db);
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT a_joules, b_joules, c_joules FROM energy WHERE data_id = 1",
                               -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW)
            for (int p = 0; p < 3; ++p) joules.push_back(sqlite3_column_double(s, p));
        sqlite3_finalize(s);
        sqlite3_close(db);
        return joules;
    };
    // The time a run counted: its rounds start one interval apart and each is counted
    // as it ends, so the span is the intervals plus the last round's time less the
    // first's (from the round lines).
    const auto span = [&](const Outcome& o) {
        const std::string text = o.out + o.err;
        const std::regex line("round ([0-9]+) in ([0-9.]+) s");
        std::vector<double> seconds;
        for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
            seconds.push_back(std::stod((*it)[2].str()));
        EXPECT_EQ(static_cast<size_t>(kRounds), seconds.size()) << text;
        return seconds.size() < 2 ? 0.0 : (kRounds - 1) * kInterval + seconds.back() - seconds.front();
    };
    const std::vector<std::string> args = {"--tcp", sim.address(), "--rounds", std::to_string(kRounds),
                                           "--interval-ms", "1000", "--history", dir / "h.db"};
    const Outcome first = RunVimohost(args, dir);
    ASSERT_EQ(0, first.exit_code) << first.err;
    const double first_span = span(first);
    const std::vector<double> after_first = stored();
    ASSERT_EQ(3u, after_first.size());
    for (int p = 0; p < 3; ++p) EXPECT_NEAR(kWatts[p] * first_span, after_first[p], 0.01 * kWatts[p] * first_span) << p;

    const Outcome second = RunVimohost(args, dir);
    ASSERT_EQ(0, second.exit_code) << second.err;
    const double both = first_span + span(second);
    const std::vector<double> after_second = stored();
    ASSERT_EQ(3u, after_second.size());
    for (int p = 0; p < 3; ++p) {
        EXPECT_NEAR(kWatts[p] * both, after_second[p], 0.01 * kWatts[p] * both) << p;
        EXPECT_GT(after_second[p], after_first[p] * 1.5) << p;  // went on, not from 0
    }
    EXPECT_EQ(0, sim.Stop());
}

}  // namespace
