// The published state: one device's rounds as a trace of snapshots and events (alarm
// changes, communication loss by count and by time, restored alarms), the board under
// readers that never stop, and the --status-out text made from a snapshot.
#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "config/device_config.h"
#include "board/device_monitor.h"
#include "board/snapshot_board.h"
#include "poll/status_output.h"

namespace {

namespace monitor = novex::monitor;
using vimo::DeviceMonitor;

// A whole record showing the alarms named in `ids` (comma separated) by their flag
// registers.
std::vector<unsigned char> RecordWith(const std::string& ids) {
    std::vector<unsigned char> record(853);
    std::istringstream in(ids);
    for (std::string id; std::getline(in, id, ',');) {
        const size_t i = monitor::FindAlarm(id);
        EXPECT_LT(i, monitor::Alarms().size()) << id;
        if (i >= monitor::Alarms().size()) continue;
        const monitor::Alarm& a = monitor::Alarms()[i];
        EXPECT_GE(a.register_offset, 0) << id;
        uint16_t word = 0;
        std::memcpy(&word, &record[static_cast<size_t>(a.register_offset)], sizeof word);
        word = static_cast<uint16_t>(word | a.register_mask);
        std::memcpy(&record[static_cast<size_t>(a.register_offset)], &word, sizeof word);
    }
    return record;
}

std::string Events(const DeviceMonitor::Update& update) {
    std::string out;
    for (const vimo::AlarmEvent& e : update.events)
        out += std::string(out.empty() ? "" : " ") +
               (e.kind == vimo::AlarmEvent::Kind::kRaised ? "+" : "-") + e.alarm;
    return out;
}

// One device's life. Columns: milliseconds since polling started, what happened
// ('L' round loaded at start, 'C' completed, 'F' failed, 'K' the line thread's check
// between rounds), the alarms of the record ('L', 'C'), the events expected, whether
// the snapshot is then stale. Known from the history at start: overload,
// battery_missing and communication_lost. Loss after 3 failed rounds in a row, or
// after 5 intervals of 1 s without a completed round once one failed.
struct Step {
    int at_ms;
    char what;
    const char* alarms;
    const char* events;
    bool stale;
};
const Step kLife[] = {
    {0, 'L', "fan_fault", "", false},
    {100, 'C', "overload,fan_fault", "-communication_lost +fan_fault -battery_missing", false},
    {1100, 'C', "overload,fan_fault", "", false},
    {2100, 'C', "fan_fault,module3.rectifier_fault", "-overload +module3.rectifier_fault", false},
    {3100, 'F', "", "", false},
    {4100, 'F', "", "", false},
    {5100, 'F', "", "+communication_lost", true},
    {6100, 'F', "", "", true},
    {7100, 'C', "fan_fault", "-communication_lost -module3.rectifier_fault", false},
    {8100, 'F', "", "", false},
    {12099, 'K', "", "", false},
    {12100, 'K', "", "+communication_lost", true},
    {13000, 'K', "", "", true},
    {14000, 'C', "fan_fault", "-communication_lost", false},
    {30000, 'F', "", "+communication_lost", true},  // one slow failure is enough
    {31000, 'C', "", "-communication_lost -fan_fault", false},
};

TEST(DeviceMonitor, EachRaiseAndClearOnceAndCommunicationLossByCountAndTime) {
    vimo::SnapshotBoard board;
    const size_t slot = board.AddDevice("ups1", 7, "tcp 127.0.0.1:502 slave 1");
    DeviceMonitor device(board.Get(slot), vimo::MonitorSettings{3, 5, 1000});
    device.Restore({"overload", "battery_missing", "communication_lost", "no_such_alarm"});
    const DeviceMonitor::Clock::time_point start{};
    device.Start(start);
    uint64_t completed = 0, failed = 0;
    for (const Step& s : kLife) {
        SCOPED_TRACE(std::to_string(s.at_ms) + " " + s.what);
        const DeviceMonitor::Moment now{start + std::chrono::milliseconds(s.at_ms),
                                        1700000000 + s.at_ms / 1000};
        DeviceMonitor::Update update;
        if (s.what == 'L') update = device.Loaded(RecordWith(s.alarms), now);
        if (s.what == 'C') update = device.Completed(RecordWith(s.alarms), 0.5, now);
        if (s.what == 'F') update = device.Failed("registers 1 count 40: timeout", 0.25, now);
        if (s.what == 'K') update = device.Check(now);
        completed += s.what == 'C';
        failed += s.what == 'F';
        EXPECT_EQ(s.events, Events(update));
        const vimo::Snapshot& shown = device.current();
        EXPECT_EQ(s.stale, shown->stale);
        EXPECT_EQ(s.stale, monitor::IsActive(*shown, monitor::kCommunicationLost));
        EXPECT_EQ(completed, shown->rounds_completed);
        EXPECT_EQ(failed, shown->rounds_failed);
        if (s.what == 'C' || s.what == 'F') {
            EXPECT_EQ(s.what == 'C' ? 0.5 : 0.25, shown->last_round_seconds);
        }
        EXPECT_EQ(s.stale, monitor::SummaryLine(*shown).rfind("stale | ", 0) == 0)
            << monitor::SummaryLine(*shown);
        for (const vimo::AlarmEvent& e : update.events) {
            EXPECT_EQ("ups1", e.device);
            EXPECT_EQ(7u, e.data_id);
            EXPECT_EQ(now.utc, e.time);
        }
    }
}

// Readers copy snapshots without end while two devices publish: every snapshot a
// reader holds stays whole, and each device's counts only grow.
TEST(SnapshotBoard, ReadersNeverSeeAHalfPublishedSnapshot) {
    vimo::SnapshotBoard board;
    board.AddDevice("a", 1, "tcp a");
    board.AddDevice("b", 2, "tcp b");
    std::atomic<uint64_t> heard{0};
    struct Counting : vimo::BoardSubscriber {
        explicit Counting(std::atomic<uint64_t>& n) : heard(n) {}
        void Take(const vimo::BoardUpdate& u) override {
            if (u.now->rounds_completed == u.before->rounds_completed + 1) ++heard;
        }
        std::atomic<uint64_t>& heard;
    } counting(heard);
    board.Subscribe(counting);
    std::atomic<bool> done{false};
    std::atomic<uint64_t> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            uint64_t last[2] = {0, 0};
            while (!done.load()) {
                const std::vector<vimo::Snapshot> all = board.Snapshots();
                ASSERT_EQ(2u, all.size());
                for (size_t i = 0; i < 2; ++i) {
                    ASSERT_GE(all[i]->rounds_completed, last[i]);
                    last[i] = all[i]->rounds_completed;
                    ASSERT_EQ(all[i]->rounds_completed, all[i]->record.size());
                    monitor::SummaryLine(*all[i]);
                }
                ++reads;
            }
        });
    constexpr uint64_t kRounds = 2000;
    std::vector<std::thread> writers;
    for (size_t slot = 0; slot < 2; ++slot)
        writers.emplace_back([&board, slot] {
            for (uint64_t n = 1; n <= kRounds; ++n) {
                auto next = std::make_shared<monitor::DeviceSnapshot>(*board.Get(slot));
                next->rounds_completed = n;
                next->record.assign(n, 1);
                vimo::BoardUpdate update;
                update.now = std::move(next);
                board.Publish(slot, std::move(update));
            }
        });
    for (std::thread& t : writers) t.join();
    done = true;
    for (std::thread& t : readers) t.join();
    EXPECT_EQ(2 * kRounds, heard.load());
    EXPECT_GT(reads.load(), 0u);
    EXPECT_EQ(kRounds, board.Get(1)->rounds_completed);
}

// The status file is the document with vimohost's member added. Columns: the document
// text, whether the result is a JSON object with the document's member "a".
struct StatusCase {
    const char* document;
    bool has_a;
};
const StatusCase kStatusCases[] = {
    {"{\n  \"a\": 1\n}\n", true},
    {"{}", false},
    {"", false},
};

TEST(StatusFile, TheDocumentWithCommunicationStateAdded) {
    for (const StatusCase& c : kStatusCases) {
        SCOPED_TRACE(c.document);
        monitor::DeviceSnapshot s;
        s.communication = monitor::Communication::kLost;
        s.stale = true;
        s.rounds_failed = 4;
        s.last_error = "bits 1 count 31: \"timeout\"";
        Json::Value v;
        std::string error;
        std::istringstream in(vimo::StatusFileText(s, c.document));
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &error)) << error;
        EXPECT_EQ(c.has_a, v.isMember("a"));
        EXPECT_EQ("lost", v["vimohost"]["communication"].asString());
        EXPECT_TRUE(v["vimohost"]["stale"].asBool());
        EXPECT_EQ(4, v["vimohost"]["rounds_failed"].asInt());
        EXPECT_EQ(s.last_error, v["vimohost"]["last_error"].asString());
    }
    EXPECT_EQ("not json", vimo::StatusFileText(monitor::DeviceSnapshot(), "not json"));
}

TEST(Configuration, TopLevelFormCarriesTheHookBesideTheDevices) {
    std::vector<vimo::DeviceConfig> devices;
    vimo::ProgramConfig program;
    std::string error;
    ASSERT_TRUE(vimo::ParseConfig(
        R"({"devices": [{"port": "/dev/a"}, {"port": "/dev/b", "appSetting": {"b_mode": 0}}],
            "on_event": ["/bin/logger", "-t", "ups"], "on_event_timeout_ms": 500})",
        "t", devices, program, error))
        << error;
    EXPECT_EQ(2u, devices.size());
    EXPECT_EQ((std::vector<std::string>{"/bin/logger", "-t", "ups"}), program.on_event);
    EXPECT_EQ(500, program.on_event_timeout_ms);
    ASSERT_TRUE(vimo::ParseConfig(R"({"devices": {"port": "/dev/a", "data_id": 4}})", "t", devices,
                                  program, error))
        << error;
    EXPECT_EQ(4u, devices.at(0).data_id);
}

// The file's settings, the flags over them, and what a reload names as waiting for the
// next start: every setting but "devices" is read at start only.
TEST(Configuration, FlagsReplaceKeysAndAReloadNamesWhatWaits) {
    std::vector<vimo::DeviceConfig> devices;
    vimo::ProgramConfig file, reloaded;
    std::string error;
    ASSERT_TRUE(vimo::ParseConfig(R"({"devices": [], "listen": "127.0.0.1:8080",
        "protocol_listen": "127.0.0.1:3493", "on_event_mode": "round", "protocol_require_tls": true})",
                                  "t", devices, file, error))
        << error;
    vimo::ProgramConfig flags;
    flags.listen = "127.0.0.1:9090";
    flags.on_event_timeout_ms = 800;
    const vimo::ProgramConfig settings = vimo::WithFlags(file, flags);
    EXPECT_EQ("127.0.0.1:9090", settings.listen);
    EXPECT_EQ("127.0.0.1:3493", settings.protocol_listen);
    EXPECT_EQ("round", settings.on_event_mode);
    EXPECT_EQ(800, settings.on_event_timeout_ms);
    EXPECT_TRUE(settings.protocol_require_tls);

    ASSERT_TRUE(vimo::ParseConfig(R"({"devices": [{"port": "/dev/a"}], "listen": "127.0.0.1:8081",
        "protocol_listen": "127.0.0.1:3493", "on_event_mode": "round", "history": {"keep": "7d"}})",
                                  "t", devices, reloaded, error))
        << error;
    EXPECT_EQ((std::vector<std::string>{"protocol_require_tls", "listen", "history"}),
              vimo::WaitingForRestart(file, reloaded));
    EXPECT_TRUE(vimo::WaitingForRestart(file, file).empty());

    // Columns: configuration text, a part of the one error line.
    const std::pair<const char*, const char*> kBad[] = {
        {R"({"devices": [], "on_event_mode": "always"})", "\"on_event_mode\" must be \"each\" or \"round\""},
        {R"({"devices": [], "listen": ""})", "\"listen\" must be a non-empty text"},
        {R"({"devices": [], "web_config": 7})", "\"web_config\" must be a non-empty text"},
        {R"({"devices": [], "listne": "x"})", "unknown key \"listne\" (beside \"devices\")"},
    };
    for (const auto& [text, part] : kBad) {
        EXPECT_FALSE(vimo::ParseConfig(text, "t", devices, reloaded, error)) << text;
        EXPECT_NE(std::string::npos, error.find(part)) << error;
    }
}

}  // namespace
