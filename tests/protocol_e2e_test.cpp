// Debian's upsc and upsmon against vimohost polling novexups-sim: the variables as
// vimohost itself shows them, the shutdown path while the battery runs down, and
// communication loss. Every program is started here on loopback and stopped by its
// process id.
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "runner_processes.h"
#include "ups_clients.h"

namespace {

using runner_test::TempDir;
using ups_clients::Eventually;

class ClientsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("NOVEX_TEST_EMULATOR") != nullptr)
            GTEST_SKIP() << "Debian's clients are host programs; vimohost runs under the emulator";
        if (ups_clients::Upsc().empty())
            GTEST_SKIP() << "upsc not installed (Debian package nut-client)";
    }

    // The simulator in `scenario` and vimohost polling it as "rack1" every
    // `interval_ms`, serving the protocol on a free loopback port; `identity` holds
    // further keys of the device object.
    void Start(const std::string& scenario, int interval_ms, const std::string& identity = "") {
        ASSERT_TRUE(sim_.Start({"--tcp", "0", "--scenario", scenario}, dir_ / "sim.log"));
        runner_test::WriteFile(dir_ / "users", "upsmon s3cret primary\n");
        chmod((dir_ / "users").c_str(), 0600);
        runner_test::WriteFile(
            dir_ / "config.json",
            R"({"devices": [{"name": "rack1", "transport": "tcp", "port": ")" + sim_.address() +
                R"(", "interval_ms": )" + std::to_string(interval_ms) +
                R"(, "timeout_ms": 200)" + identity + R"(}], "protocol_listen": "127.0.0.1:0",)" +
                R"( "protocol_users": ")" + dir_ / "users" + "\"}");
        ASSERT_TRUE(runner_test::StartVimohost(
            vimohost_, dir_,
            {"--config", dir_ / "config.json", "--no-history", "--status-out", dir_ / "status.json"}));
        const std::string tag = "UPS protocol server on 127.0.0.1:";
        ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", tag)) << Log();
        const std::string err = Log();
        server_ = "127.0.0.1:" + std::to_string(std::stoi(err.substr(err.find(tag) + tag.size())));
    }

    ups_clients::Run Upsc(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{ups_clients::Upsc()};
        argv.insert(argv.end(), args.begin(), args.end());
        return ups_clients::RunClient(argv);
    }
    std::string Ups() const { return "rack1@" + server_; }
    std::string Log() const { return runner_test::ReadFile(dir_ / "err"); }

    TempDir dir_;
    runner_test::Simulator sim_;
    vimo::ChildProcess vimohost_;
    std::string server_;
};

Json::Value StatusOut(const TempDir& dir) {
    Json::Value doc;
    std::istringstream in(runner_test::ReadFile(dir / "status.json"));
    std::string error;
    Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &error);
    return doc;
}

// upsc's "name: value" lines.
std::map<std::string, std::string> Variables(const std::string& listing) {
    std::map<std::string, std::string> out;
    for (const std::string& line : runner_test::Lines(listing)) {
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) out[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return out;
}

// What upsc reads equals what vimohost's --status-out shows of the same round (the
// document is read before and after; a round in between, or a round's line ahead of
// its publication, is tried again).
TEST_F(ClientsEndToEnd, UpscShowsWhatVimohostShows) {
    Start("on-battery", 2000,
          R"(, "manufacturer": "Novex", "model": "NX 3-phase", "battery_charge_low": 21)");
    ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", "] round 1 in")) << Log();
    Json::Value doc;
    ups_clients::Run all, status, charge;
    for (int attempt = 0; attempt < 50; ++attempt) {
        doc = StatusOut(dir_);
        all = Upsc({Ups()});
        status = Upsc({Ups(), "ups.status"});
        charge = Upsc({Ups(), "battery.charge"});
        const Json::Value& rounds = doc["vimohost"]["rounds_completed"];
        if (all.exit_code == 0 && status.exit_code == 0 && charge.exit_code == 0 &&
            !rounds.isNull() && StatusOut(dir_)["vimohost"]["rounds_completed"] == rounds)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(0, all.exit_code) << all.err;
    std::map<std::string, std::string> vars = Variables(all.out);
    const Json::Value& unit = doc["整机数据"];
    const double percent = unit["电池容量率"].asDouble();
    EXPECT_EQ("电池状态", doc["整机状态数据"]["运行状态"].asString());
    EXPECT_EQ(percent <= 21 ? "OB LB DISCHRG ALARM\n" : "OB DISCHRG ALARM\n", status.out);
    EXPECT_EQ(vars["ups.status"] + "\n", status.out);
    EXPECT_EQ(charge.out, vars["battery.charge"] + "\n");
    // Columns: variable, the document's member in 整机数据, factor to the variable's unit.
    struct Row {
        const char* variable;
        const char* member;
        double factor;
    };
    const Row rows[] = {
        {"battery.charge", "电池容量率", 1},
        {"battery.runtime", "电池后备时间", 60},
        {"output.L1-N.voltage", "输出A相电压", 1},
        {"output.L3-N.voltage", "输出C相电压", 1},
    };
    for (const Row& row : rows) {
        ASSERT_EQ(1u, vars.count(row.variable)) << row.variable << " not in\n" << all.out;
        EXPECT_NEAR(unit[row.member].asDouble() * row.factor, std::stod(vars[row.variable]), 0.05)
            << row.variable;
    }
    // What the device object names, as clients read it.
    const std::map<std::string, std::string> configured = {
        {"device.mfr", "Novex"}, {"device.model", "NX 3-phase"}, {"device.type", "ups"},
        {"battery.charge.low", "21"}};
    for (const auto& [name, value] : configured) EXPECT_EQ(value, vars[name]) << name;
}

// upsmon as primary sees the UPS on battery, then the battery low; it sets forced
// shutdown, which every client then reads, and runs its shutdown command.
TEST_F(ClientsEndToEnd, UpsmonShutsDownWhenTheBatteryRunsLow) {
    if (!ups_clients::Upsmon::Available())
        GTEST_SKIP() << "needs Debian's upsmon (nut-client) and root (it runs as one root process)";
    Start("on-battery", 1000);
    ups_clients::Upsmon upsmon;
    std::string error;
    ASSERT_TRUE(upsmon.Start(Ups(), "upsmon", "s3cret", error)) << error;
    EXPECT_TRUE(Eventually([&] { return upsmon.ShutdownRan(); }, 30)) << upsmon.Output() << Log();
    const std::string notified = upsmon.Notified();
    const size_t on_battery = notified.find("ONBATT\n");
    const size_t low = notified.find("LOWBATT\n");
    EXPECT_NE(std::string::npos, on_battery) << upsmon.Output();
    EXPECT_LT(on_battery, low) << upsmon.Output();
    EXPECT_NE(std::string::npos, notified.find("SHUTDOWN\n")) << upsmon.Output();
    const ups_clients::Run status = Upsc({Ups(), "ups.status"});
    EXPECT_EQ(0, status.exit_code) << status.err;
    EXPECT_EQ(0u, status.out.find("FSD OB LB")) << status.out;
    EXPECT_EQ(std::string::npos, Log().find("s3cret")) << Log();
}

// The simulator gone: upsc reads stale data and upsmon reports the lost communication.
TEST_F(ClientsEndToEnd, CommunicationLossIsStaleDataForTheClients) {
    if (!ups_clients::Upsmon::Available())
        GTEST_SKIP() << "needs Debian's upsmon (nut-client) and root (it runs as one root process)";
    Start("normal", 500);
    ups_clients::Upsmon upsmon;
    std::string error;
    ASSERT_TRUE(upsmon.Start(Ups(), "upsmon", "s3cret", error)) << error;
    // upsmon logged in (LIST CLIENT names it) while the figures are fresh.
    ASSERT_TRUE(Eventually([&] { return Upsc({"-c", Ups()}).out == "127.0.0.1\n"; }))
        << upsmon.Output() << Log();
    ASSERT_TRUE(Eventually([&] { return Upsc({Ups(), "ups.status"}).out.rfind("OL", 0) == 0; }))
        << Log();
    EXPECT_EQ(0, sim_.Stop());
    ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", "alarm raised: communication_lost")) << Log();
    ups_clients::Run stale;
    EXPECT_TRUE(Eventually([&] {
        stale = Upsc({Ups(), "ups.status"});
        return stale.exit_code == 1 && stale.err.find("Data stale") != std::string::npos;
    })) << stale.exit_code << " " << stale.out << stale.err;
    EXPECT_TRUE(Eventually([&] { return upsmon.Notified("COMMBAD"); })) << upsmon.Output();
    EXPECT_TRUE(Eventually([&] { return upsmon.Notified("NOCOMM"); })) << upsmon.Output();
}

}  // namespace
