// Debian's upsc and upsmon against vimohost polling novexups-sim: the variables as
// vimohost's own API shows them, the shutdown path while the battery runs down, and
// communication loss. Every program is started here on loopback and stopped by its
// process id.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "peer_skip.h"
#include <json/reader.h>

#include "tests/runner_processes.h"
#include "tests/ups_clients.h"
#include "tests/web_support.h"

namespace {

using runner_test::TempDir;
using ups_clients::Eventually;

class ClientsEndToEnd : public ::testing::Test {
public:
    void SetUp() override {
        NOVEX_NEED_PEER(!ups_clients::Upsc().empty(), "upsc not installed (Debian package nut-client)");
    }

    // vimohost ends cleanly (under the sanitizers: without a report).
    void TearDown() override {
        if (vimohost_.running()) {
            EXPECT_EQ(0, vimohost_.Stop(10000)) << Log();
        }
    }

    // The simulator in `scenario` and vimohost polling it as "rack1" every
    // `interval_ms`, serving the protocol on a free loopback port; `identity` holds
    // further keys of the device object.
    void Start(const std::string& scenario, int interval_ms, const std::string& identity = "") {
        ASSERT_TRUE(sim_.Start({"--tcp", "0", "--scenario", scenario}, dir_ / "sim.log"));
        runner_test::WriteFile(dir_ / "users", "upsmon s3cret primary\nwatcher w4tch\n");
        chmod((dir_ / "users").c_str(), 0600);
        runner_test::WriteFile(
            dir_ / "config.json",
            R"({"devices": [{"name": "rack1", "transport": "tcp", "port": ")" + sim_.address() +
                R"(", "interval_ms": )" + std::to_string(interval_ms) +
                R"(, "timeout_ms": 200)" + identity + R"(}], "protocol_listen": "127.0.0.1:0",)" +
                R"( "protocol_users": ")" + dir_ / "users" + "\"}");
        ASSERT_TRUE(runner_test::StartVimohost(
            vimohost_, dir_,
            {"--config", dir_ / "config.json", "--no-history", "--listen", "127.0.0.1:0"}));
        const std::string tag = "UPS protocol server on 127.0.0.1:", web = "status page on http://127.0.0.1:";
        ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", tag)) << Log();
        ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", web)) << Log();
        const std::string err = Log();
        server_ = "127.0.0.1:" + std::to_string(std::stoi(err.substr(err.find(tag) + tag.size())));
        web_port_ = std::stoi(err.substr(err.find(web) + web.size()));
    }

    // vimohost's API answer for the device; null until it answers 200.
    Json::Value Api() const {
        const auto [status, body] = web_test::Get(web_port_, "/api/v1/devices/rack1");
        Json::Value device;
        std::istringstream in(body);
        std::string error;
        if (status == 200) Json::parseFromStream(Json::CharReaderBuilder(), in, &device, &error);
        return device;
    }

    ups_clients::Run Upsc(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{ups_clients::Upsc()};
        argv.insert(argv.end(), args.begin(), args.end());
        return ups_clients::RunClient(argv);
    }
    std::string Ups() const { return "rack1@" + server_; }
    // Waits for the first published round: until then every read is stale, and an
    // upsmon started that early notifies COMMBAD and polls again only seconds later.
    std::string FirstStatus() const {
        std::string status;
        Eventually([&] { return !(status = Upsc({Ups(), "ups.status"}).out).empty(); });
        return status;
    }
    std::string Log() const { return runner_test::ReadFile(dir_ / "err"); }

    TempDir dir_;
    runner_test::Simulator sim_;
    vimo::ChildProcess vimohost_;
    std::string server_;
    int web_port_ = 0;
};

// upsc's "name: value" lines.
std::map<std::string, std::string> Variables(const std::string& listing) {
    std::map<std::string, std::string> out;
    for (const std::string& line : runner_test::Lines(listing)) {
        const size_t colon = line.find(": ");
        if (colon != std::string::npos) out[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return out;
}

// The measure's value in vimohost's API answer; NaN when it is not there.
double ApiMeasure(const Json::Value& device, const std::string& name) {
    for (const Json::Value& m : device["measures"])
        if (m["name"].asString() == name) return m["value"].asDouble();
    return std::nan("");
}

// What upsc reads equals what vimohost's API shows of the same round (the API is asked
// before and after; a round in between, or a round's line ahead of its publication,
// is tried again).
TEST_F(ClientsEndToEnd, UpscShowsWhatVimohostsApiShows) {
    Start("on-battery", 2000,
          R"(, "manufacturer": "Novex", "model": "NX 3-phase", "battery_charge_low": 21)");
    Json::Value device;
    ups_clients::Run all, status, charge;
    for (int attempt = 0; attempt < 100; ++attempt) {
        device = Api();
        all = Upsc({Ups()});
        status = Upsc({Ups(), "ups.status"});
        charge = Upsc({Ups(), "battery.charge"});
        const Json::Value& rounds = device["rounds"]["completed"];
        if (all.exit_code == 0 && status.exit_code == 0 && charge.exit_code == 0 &&
            rounds.asUInt() > 0 && Api()["rounds"]["completed"] == rounds)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(0, all.exit_code) << all.err;
    std::map<std::string, std::string> vars = Variables(all.out);
    EXPECT_EQ("on_battery", device["run_state"].asString()) << device.toStyledString();
    const double percent = device["battery_charge"].asDouble();
    EXPECT_EQ(percent <= 21 ? "OB LB DISCHRG ALARM\n" : "OB DISCHRG ALARM\n", status.out);
    EXPECT_EQ(vars["ups.status"] + "\n", status.out);
    EXPECT_EQ(charge.out, vars["battery.charge"] + "\n");
    EXPECT_EQ(percent, std::stod(charge.out));
    // Columns: variable, the API's measure of the same figure and unit.
    const std::pair<const char*, const char*> rows[] = {
        {"battery.runtime", "battery_runtime"},
        {"output.L1-N.voltage", "output_voltage{phase=\"a\"}"},
        {"output.L3-N.voltage", "output_voltage{phase=\"c\"}"},
    };
    for (const auto& [variable, measure] : rows) {
        ASSERT_EQ(1u, vars.count(variable)) << variable << " not in\n" << all.out;
        EXPECT_NEAR(ApiMeasure(device, measure), std::stod(vars[variable]), 0.05)
            << variable << "\n" << device.toStyledString();
    }
    // What the device object names, as clients read it.
    const std::map<std::string, std::string> configured = {
        {"device.mfr", "Novex"}, {"device.model", "NX 3-phase"}, {"device.type", "ups"},
        {"battery.charge.low", "21"}};
    for (const auto& [name, value] : configured) EXPECT_EQ(value, vars[name]) << name;
}

// upsmon as primary sees the UPS on battery, then the battery low; it sets forced
// shutdown, which every client then reads, and runs its shutdown command.
// A guesser on eight connections from one address for four seconds: after three free
// guesses it gets one answer per growing delay, the burst is logged twice, not per
// guess, and vimohost's poll rounds keep their 500 ms interval meanwhile.
TEST_F(ClientsEndToEnd, PasswordGuessingHoldsUpNeitherPollingNorOthers) {
    Start("normal", 500);
    FirstStatus();
    const uint64_t rounds_before = Api()["rounds"]["completed"].asUInt64();
    const uint16_t port = static_cast<uint16_t>(std::stoi(server_.substr(server_.find(':') + 1)));
    std::atomic<int> answers{0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    std::vector<std::thread> guessers;
    for (int i = 0; i < 8; ++i)
        guessers.emplace_back([&, i] {
            for (int n = 0; std::chrono::steady_clock::now() < until; ++n) {
                const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                timeval limit{0, 200000};
                setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(port);
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                const std::string guess = "USERNAME upsmon\nPASSWORD g" + std::to_string(i * 1000 + n) +
                                          "\nLOGIN rack1\n";
                std::string got;
                if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
                    send(fd, guess.data(), guess.size(), MSG_NOSIGNAL) > 0)
                    while (got.find("ACCESS-DENIED") == std::string::npos &&
                           std::chrono::steady_clock::now() < until) {
                        char buffer[256];
                        const ssize_t r = recv(fd, buffer, sizeof buffer, 0);
                        if (r == 0) break;
                        if (r > 0) got.append(buffer, static_cast<size_t>(r));
                    }
                answers += got.find("ACCESS-DENIED") != std::string::npos;
                close(fd);
            }
        });
    for (auto& g : guessers) g.join();
    const uint64_t rounds = Api()["rounds"]["completed"].asUInt64() - rounds_before;
    EXPECT_GE(rounds, 6u) << "poll rounds held up";
    EXPECT_LE(answers.load(), 12) << "guesses were not slowed down";
    EXPECT_GE(answers.load(), 3);
    const std::string log = Log();
    size_t lines = 0;
    for (size_t at = 0; (at = log.find("wrong password", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 2u) << log;  // the first refusal, then "slowed down"
    EXPECT_EQ(FirstStatus().substr(0, 2), "OL") << "reading needs no password and no slot";
}

TEST_F(ClientsEndToEnd, UpsmonShutsDownWhenTheBatteryRunsLow) {
    NOVEX_NEED_PEER(ups_clients::Upsmon::Available(),
                    "needs Debian's upsmon (nut-client) and root (it runs as one root process)");
    Start("on-battery", 2000);  // rounds 1 and 2 OB, LB from round 3
    ASSERT_EQ("OB DISCHRG ALARM\n", FirstStatus()) << Log();
    ups_clients::Upsmon upsmon;
    std::string error;
    ASSERT_TRUE(upsmon.Start(Ups(), "upsmon", "s3cret", error)) << error;
    EXPECT_TRUE(Eventually([&] { return upsmon.ShutdownRan(); }, 30)) << upsmon.Output() << Log();
    // Notifications run beside each other and the shutdown command: those of one poll
    // (LOWBATT, SHUTDOWN) may come in either order, and after the shutdown command.
    EXPECT_TRUE(Eventually([&] { return upsmon.Notified("SHUTDOWN") && upsmon.Notified("LOWBATT"); }))
        << upsmon.Output();
    std::vector<std::string> notified = runner_test::Lines(upsmon.Notified());
    if (notified.size() > 1) std::sort(notified.begin() + 1, notified.end());
    EXPECT_EQ((std::vector<std::string>{"ONBATT", "LOWBATT", "SHUTDOWN"}), notified)
        << upsmon.Output();
    const ups_clients::Run status = Upsc({Ups(), "ups.status"});
    EXPECT_EQ(0, status.exit_code) << status.err;
    EXPECT_EQ(0u, status.out.find("FSD OB LB")) << status.out;
    EXPECT_EQ(std::string::npos, Log().find("s3cret")) << Log();
}

// No primary anywhere: vimohost sets FSD itself ("forced_shutdown") in the round that
// makes the battery low, and upsmon as a secondary runs its shutdown command at its
// next poll, without waiting HOSTSYNC (30 s here) for a primary. The simulated battery
// falls 2 % and 1 min a round (24 %, 12 min first): both limits below are met in round 3.
void SecondaryShutsDown(ClientsEndToEnd& t, const std::string& keys) {
    if (!ups_clients::Upsmon::Available())
        GTEST_SKIP() << "needs Debian's upsmon (nut-client) and root (it runs as one root process)";
    t.Start("on-battery", 2000, keys);
    ASSERT_EQ("OB DISCHRG ALARM\n", t.FirstStatus()) << t.Log();
    ups_clients::Upsmon upsmon;
    std::string error;
    ASSERT_TRUE(upsmon.Start(t.Ups(), "watcher", "w4tch", error, "HOSTSYNC 30\n", "secondary")) << error;
    using Clock = std::chrono::steady_clock;
    Clock::time_point set{}, ran{};
    const Clock::time_point until = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < until && ran == Clock::time_point{}) {
        if (set == Clock::time_point{} && t.Log().find("forced shutdown set") != std::string::npos)
            set = Clock::now();
        if (upsmon.ShutdownRan()) ran = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_NE(Clock::time_point{}, set) << t.Log();
    ASSERT_NE(Clock::time_point{}, ran) << upsmon.Output() << t.Log();
    const double seconds = std::chrono::duration<double>(ran - set).count();
    std::printf("shutdown command %.2f s after vimohost set FSD (%s)\n", seconds, keys.c_str());
    EXPECT_LT(seconds, 3.0) << upsmon.Output();
    EXPECT_NE(std::string::npos, t.Log().find("the battery is low")) << t.Log();
    EXPECT_EQ(0u, t.Upsc({t.Ups(), "ups.status"}).out.find("FSD OB LB")) << t.Log();
}

TEST_F(ClientsEndToEnd, SecondaryShutsDownAtTheChargeLimitWithoutAPrimary) {
    SecondaryShutsDown(*this, R"(, "battery_charge_low": 20, "forced_shutdown": {"low_battery": true})");
}

TEST_F(ClientsEndToEnd, SecondaryShutsDownAtTheRuntimeLimitWithoutAPrimary) {
    SecondaryShutsDown(*this, R"(, "battery_charge_low": 0, "battery_runtime_low": 600,)"
                              R"( "forced_shutdown": {"low_battery": true})");
}

// The simulator gone: upsc reads stale data and upsmon reports the lost communication.
TEST_F(ClientsEndToEnd, CommunicationLossIsStaleDataForTheClients) {
    NOVEX_NEED_PEER(ups_clients::Upsmon::Available(),
                    "needs Debian's upsmon (nut-client) and root (it runs as one root process)");
    Start("normal", 500);
    ASSERT_EQ(0u, FirstStatus().rfind("OL", 0)) << Log();
    ups_clients::Upsmon upsmon;
    std::string error;
    ASSERT_TRUE(upsmon.Start(Ups(), "upsmon", "s3cret", error)) << error;
    // upsmon logged in (LIST CLIENT names it); it polls at once.
    ASSERT_TRUE(Eventually([&] { return Upsc({"-c", Ups()}).out == "127.0.0.1\n"; }))
        << upsmon.Output() << Log();
    EXPECT_EQ(0, sim_.Stop());
    ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", "alarm raised: communication_lost")) << Log();
    ups_clients::Run stale;
    EXPECT_TRUE(Eventually([&] {
        stale = Upsc({Ups(), "ups.status"});
        return stale.exit_code == 1 && stale.err.find("Data stale") != std::string::npos;
    })) << stale.exit_code << " " << stale.out << stale.err;
    EXPECT_TRUE(Eventually([&] { return upsmon.Notified("COMMBAD"); })) << upsmon.Output();
    EXPECT_TRUE(Eventually([&] { return upsmon.Notified("NOCOMM"); })) << upsmon.Output();
    // While the UPS was on line upsmon had nothing to say: the loss is its first word.
    EXPECT_EQ(0u, upsmon.Notified().rfind("COMMBAD\n", 0)) << upsmon.Output();
}

}  // namespace
