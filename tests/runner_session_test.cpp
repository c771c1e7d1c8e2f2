// A device of the real plug-in with vimohost's host side: stored rounds offered back,
// a port that cannot be opened, and a round stopped between exchanges.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include <gtest/gtest.h>

#include "device/novexups_data.h"
#include "history/store.h"
#include "session/plugin_library.h"
#include "session/round_time.h"
#include "session/device_session.h"
#include "session/document_renderer.h"
#include "tests/runner_processes.h"

namespace {

using runner_test::TempDir;

struct Session : ::testing::Test {
    TempDir dir;
    std::unique_ptr<vimo::PluginLibrary> plugin;
    std::unique_ptr<vimo::HistoryStore> store;

    void SetUp() override {
        std::string error;
        plugin = vimo::PluginLibrary::Load(runner_test::BuildDir() + "/novexups.so", error);
        ASSERT_TRUE(plugin) << error;
        store = vimo::HistoryStore::Open(dir / "h.db", false, error);
        ASSERT_TRUE(store) << error;
    }

    std::unique_ptr<vimo::DeviceSession> Make(const std::string& settings) {
        vimo::DeviceConfig config;
        std::string error;
        std::vector<vimo::DeviceConfig> configs;
        EXPECT_TRUE(vimo::ParseDeviceConfigs(settings, "test", configs, error)) << error;
        if (configs.empty()) return nullptr;
        auto session = vimo::DeviceSession::Create(*plugin, configs[0], store.get(), error);
        EXPECT_TRUE(session) << error;
        return session;
    }
};

TEST_F(Session, StoredRoundKeepsItsTimeAndIsNotStoredAgain) {
    // Every alarm bit set, and the device's alarm rules on: a replay reports none.
    std::string error;
    std::vector<unsigned char> record(853, 1);
    const uint32_t own_id = 4;
    std::memcpy(record.data(), &own_id, sizeof own_id);
    ASSERT_TRUE(store->AddRound(4, "2021-06-07 08:09:10", record.data(), record.size(), error));
    auto session = Make(R"({"data_id": 4, "port": "/dev/null", "appSetting": {"b_mode": 0}})");
    ASSERT_TRUE(session);
    session->services().AttachHistory(store.get());
    const auto stored = store->Newest(4);
    ASSERT_TRUE(stored);
    ASSERT_TRUE(session->Replay(*stored, error)) << error;

    EXPECT_TRUE(session->device().data_ready);
    EXPECT_EQ(1, store->CountRounds(4u));
    EXPECT_TRUE(store->Alarms(4).empty());
    // The record handed over carries the stored time, not the present one.
    const std::vector<unsigned char> sent = session->services().LatestRecord();
    ASSERT_EQ(853u, sent.size());
    ttime_t time;
    std::memcpy(&time, sent.data() + 846, sizeof time);
    EXPECT_EQ("2021-06-07 08:09:10", vimo::TimeText(time));
    // Outside the replay the clock is the present one again.
    const ttime_t now = get_ttime(boost::posix_time::second_clock::local_time());
    EXPECT_NE(2021, now.year);
}

TEST_F(Session, StoredRoundOfAnotherSizeOrDeviceOrWithoutTimeIsRefused) {
    auto session = Make(R"({"port": "/dev/null", "data_id": 3})");
    ASSERT_TRUE(session);
    std::string error;
    vimo::StoredRound short_round{3, 3, "2021-06-07 08:09:10", std::vector<unsigned char>(852), 0, "ups3"};
    EXPECT_FALSE(session->Replay(short_round, error));
    EXPECT_NE(std::string::npos, error.find("852 bytes")) << error;
    vimo::StoredRound no_time{4, 3, "", std::vector<unsigned char>(853), 0, "ups3"};
    EXPECT_FALSE(session->Replay(no_time, error));
    // The record's own device id (its first bytes) says whose it is.
    vimo::StoredRound foreign{5, 3, "2021-06-07 08:09:10", std::vector<unsigned char>(853), 0, "ups3"};
    const uint32_t other_id = 7;
    std::memcpy(foreign.record.data(), &other_id, sizeof other_id);
    EXPECT_FALSE(session->Replay(foreign, error));
    EXPECT_EQ("stored round 5 carries device id 7, not 3", error);
    EXPECT_FALSE(session->device().data_ready);
}

TEST_F(Session, PortThatCannotBeOpenedStartsNoRound) {
    auto session = Make(R"({"port": "/nonexistent/ttyUSB9"})");
    ASSERT_TRUE(session);
    std::unique_ptr<vimo::ModbusLine> line = vimo::MakeLine(session->Line());
    const vimo::RoundResult result = session->Poll(*line);
    EXPECT_FALSE(result.completed);
    EXPECT_TRUE(result.port_unavailable);
    EXPECT_NE(std::string::npos, result.error.find("cannot open serial /nonexistent/ttyUSB9"))
        << result.error;
    EXPECT_EQ(0, session->device().poll_step);
    EXPECT_FALSE(session->device().request_pending);
}

// Stopping between exchanges is no failure: the device gets no on_error, and its round
// is simply not finished.
TEST_F(Session, StopLeavesTheRoundUnfinishedAndUncounted) {
    runner_test::Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0"}, dir / "sim.log"));
    auto session = Make(R"({"transport": "tcp", "port": ")" + sim.address() + R"("})");
    ASSERT_TRUE(session);
    std::unique_ptr<vimo::ModbusLine> line = vimo::MakeLine(session->Line());
    const std::atomic<bool> stop{true};
    const vimo::RoundResult stopped = session->Poll(*line, &stop);
    EXPECT_TRUE(stopped.stopped);
    EXPECT_FALSE(stopped.completed);
    EXPECT_TRUE(session->device().request_pending);
    EXPECT_FALSE(session->device().data_ready);

    const vimo::RoundResult completed = session->Poll(*line);
    EXPECT_TRUE(completed.completed) << completed.error;
    EXPECT_FALSE(completed.stopped);
    line->Close();
    EXPECT_EQ(0, sim.Stop());
}

TEST_F(Session, PortSettingsReachTheLine) {
    auto session = Make(R"({"port": "gw:502", "transport": "tcp", "baud": 19200,
                           "parity": "E", "timeout_ms": 250, "slave": 9})");
    ASSERT_TRUE(session);
    const vimo::LineSettings line = session->Line();
    EXPECT_EQ("tcp", line.transport);
    EXPECT_EQ(19200, line.baud);
    EXPECT_EQ('E', line.parity);
    EXPECT_EQ(250, line.timeout_ms);
    EXPECT_EQ(9, session->slave());
    // Without "baud" the device's own speed applies.
    EXPECT_EQ(9600, Make(R"({"port": "/dev/null"})")->Line().baud);
}

// Where two documents part, with some text around it.
std::string Difference(const std::string& a, const std::string& b) {
    size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    const size_t from = at < 60 ? 0 : at - 60;
    return "\nat byte " + std::to_string(at) + ":\n  " + a.substr(from, 120) + "\n  " + b.substr(from, 120);
}

// A document made from a snapshot's record is the one the polled device shows, for the
// newest round and for an older one asked again; a record of the same second that
// differs gets its own document, not the one shown for that second.
TEST_F(Session, RenderedDocumentIsThePolledDevicesOwn) {
    runner_test::Simulator sim;
    ASSERT_TRUE(sim.Start({"--tcp", "0", "--scenario", "module-fault"}, dir / "sim.log"));
    auto session = Make(R"({"transport": "tcp", "data_id": 3, "port": ")" + sim.address() + R"("})");
    ASSERT_TRUE(session);
    std::unique_ptr<vimo::ModbusLine> line = vimo::MakeLine(session->Line());
    vimo::DocumentRenderer renderer(*plugin);
    std::vector<std::vector<unsigned char>> records;
    std::vector<std::string> polled;
    std::string error, text;
    for (int round = 0; round < 2; ++round) {
        if (round > 0) {  // the device shows a new round from the next second on
            const std::time_t second = std::time(nullptr);
            while (std::time(nullptr) == second) usleep(20000);
        }
        ASSERT_TRUE(session->Poll(*line).completed);
        records.push_back(session->services().LatestRecord());
        polled.emplace_back();
        ASSERT_TRUE(session->Document(polled.back(), error)) << error;
        ASSERT_TRUE(renderer.Render(3, records.back(), text, error)) << error;
        EXPECT_TRUE(polled.back() == text) << "round " << round << Difference(polled.back(), text);
    }
    line->Close();
    ASSERT_TRUE(renderer.Render(3, records[0], text, error)) << error;
    EXPECT_TRUE(polled[0] == text) << Difference(polled[0], text);

    std::vector<unsigned char> same_second = records[0];
    same_second[novex::record_offset::kRegs1To40] ^= 0x01;  // a figure of the unit's data
    std::string changed, fresh;
    ASSERT_TRUE(renderer.Render(3, same_second, changed, error)) << error;
    EXPECT_NE(polled[0], changed);
    vimo::DocumentRenderer other(*plugin);
    ASSERT_TRUE(other.Render(3, same_second, fresh, error)) << error;
    EXPECT_EQ(fresh, changed);

    EXPECT_FALSE(renderer.Render(3, std::vector<unsigned char>(852), text, error));
    EXPECT_EQ("a record of 852 bytes has no document", error);
    EXPECT_FALSE(renderer.Render(4, records[0], text, error));  // another device's record
    EXPECT_NE(std::string::npos, error.find("carries device id 3, not 4")) << error;
}

}  // namespace
