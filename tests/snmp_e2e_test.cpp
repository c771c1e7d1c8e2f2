// vimohost's AgentX subagent behind a real snmpd (Debian's, run as the test's user on
// a loopback UDP port with a private AgentX socket and a configuration written here),
// read by Debian's snmpget and snmpwalk with numeric OIDs, against vimohost polling
// novexups-sim. Every program is started here and stopped by its process id. In the
// cross build vimohost and the simulator run under the emulator and the peers natively:
// qemu-user hands an exec of a build-machine program to the kernel as it is.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "peer_skip.h"
#include <json/reader.h>

#include "tests/runner_processes.h"
#include "tests/ups_clients.h"
#include "tests/web_support.h"

namespace {

using runner_test::FreePort;
using runner_test::TempDir;
using ups_clients::Eventually;

const std::string kUps = ".1.3.6.1.2.1.33.1.";

// "OID value" lines of snmpget/snmpwalk -Oqn, by OID; noSuchInstance and friends are
// values too ("No Such Instance currently exists at this OID").
std::map<std::string, std::string> Values(const std::string& out) {
    std::map<std::string, std::string> values;
    for (const std::string& line : runner_test::Lines(out)) {
        const size_t space = line.find(' ');
        if (space != std::string::npos) values[line.substr(0, space)] = line.substr(space + 1);
    }
    return values;
}

class SnmpEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        NOVEX_NEED_PEER(!ups_clients::FindProgram({"/usr/sbin/snmpd"}).empty() &&
                            !ups_clients::FindProgram({"/usr/bin/snmpget"}).empty(),
                        "needs Debian's snmpd and snmp");
        port_ = FreePort(SOCK_DGRAM);
        trap_port_ = FreePort(SOCK_DGRAM);
        StartSnmpd();
    }

    void TearDown() override {
        if (vimohost_.running()) {
            EXPECT_EQ(0, vimohost_.Stop(10000)) << Log();
        }
        snmpd_.Stop(5000);
        snmptrapd_.Stop(5000);
    }

    // snmpd as the AgentX master: "public" reads the default context, "rack2pub" the
    // context "rack2", both limited to the UPS MIB.
    void StartSnmpd() {
        runner_test::WriteFile(
            dir_ / "snmpd.conf",
            "master agentx\nagentXSocket " + dir_ / "agentx" + "\nagentaddress udp:127.0.0.1:" +
                std::to_string(port_) +
                "\nview upsview included .1.3.6.1.2.1.33\n"
                "rocommunity public 127.0.0.1 -V upsview\n"
                "com2sec -Cn rack2 rack2sec 127.0.0.1 rack2pub\n"
                "group rack2group v2c rack2sec\n"
                "access rack2group rack2 any noauth exact upsview none none\n"
                "trap2sink udp:127.0.0.1:" + std::to_string(trap_port_) + " public\n");
        mkdir((dir_ / "state").c_str(), 0700);
        std::string error;
        ASSERT_TRUE(snmpd_.Start({"/usr/sbin/snmpd", "-f", "-Lf", dir_ / "snmpd.log", "-C", "-c",
                                  dir_ / "snmpd.conf", "--persistentDir=" + dir_ / "state", "-M",
                                  "/nonexistent"},
                                 runner_test::OutputIn(dir_ / "snmpd.out", dir_ / "snmpd.err"), error))
            << error;
        ASSERT_TRUE(runner_test::WaitUntil([&] { return access((dir_ / "agentx").c_str(), F_OK) == 0; }))
            << runner_test::ReadFile(dir_ / "snmpd.log");
    }

    // snmptrapd on the trap port, logging every trap with numeric OIDs to traps.log.
    void StartSnmptrapd() {
        runner_test::WriteFile(dir_ / "snmptrapd.conf", "disableAuthorization yes\n");
        std::string error;
        ASSERT_TRUE(snmptrapd_.Start({"/usr/sbin/snmptrapd", "-f", "-On", "-Lf", dir_ / "traps.log",
                                      "-C", "-c", dir_ / "snmptrapd.conf", "-M", "/nonexistent",
                                      "udp:127.0.0.1:" + std::to_string(trap_port_)},
                                     runner_test::OutputIn(dir_ / "snmptrapd.out", dir_ / "snmptrapd.err"),
                                     error))
            << error;
    }

    // The snmpTrapOID of every trap snmptrapd logged, in order.
    std::vector<std::string> Traps() const {
        std::vector<std::string> traps;
        const std::string text = runner_test::ReadFile(dir_ / "traps.log");
        const std::string tag = ".1.3.6.1.6.3.1.1.4.1.0 = OID: ";
        for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
            const size_t from = at + tag.size();
            traps.push_back(text.substr(from, text.find_first_of("\t\n ", from) - from));
        }
        return traps;
    }

    // The simulator in `scenario` answering slaves 1 and 2, and vimohost polling them
    // as rack1 and rack2 every `interval_ms` (rack1 alone with `one`).
    void Start(const std::string& scenario, int interval_ms, bool one = false) {
        ASSERT_TRUE(sim_.Start({"--tcp", "0", "--slaves", "1-2", "--scenario", scenario}, dir_ / "sim.log"))
            << sim_.stdout_line() << runner_test::ReadFile(dir_ / "sim.log");
        std::string devices;
        for (const char* name : {"rack1", "rack2"}) {
            if (one && name[4] == '2') break;
            devices += std::string(devices.empty() ? "" : ", ") + R"({"name": ")" + name +
                       R"(", "transport": "tcp", "port": ")" + sim_.address() + R"(", "slave": )" +
                       (name[4] == '1' ? "1" : "2") + R"(, "interval_ms": )" +
                       std::to_string(interval_ms) +
                       R"(, "timeout_ms": 200, "manufacturer": "Novex", "model": "NX 3-phase"})";
        }
        runner_test::WriteFile(dir_ / "config.json", R"({"devices": [)" + devices +
                                                         R"(], "protocol_listen": "127.0.0.1:0",)" +
                                                         R"( "snmp": {"agentx": ")" +
                                                         dir_ / "agentx" + "\"}}");
        ASSERT_TRUE(runner_test::StartVimohost(
            vimohost_, dir_,
            {"--config", dir_ / "config.json", "--no-history", "--listen", "127.0.0.1:0"}));
        const std::string web = "status page on http://127.0.0.1:";
        ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", web)) << Log();
        ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", "SNMP: serving the UPS MIB")) << Log();
        const std::string err = Log();
        web_port_ = std::stoi(err.substr(err.find(web) + web.size()));
        const std::string protocol = "UPS protocol server on ";
        protocol_ = err.substr(err.find(protocol) + protocol.size());
        protocol_ = protocol_.substr(0, protocol_.find('\n'));
    }

    Json::Value Api(const std::string& device = "rack1") const {
        const auto [status, body] = web_test::Get(web_port_, "/api/v1/devices/" + device);
        Json::Value out;
        std::istringstream in(body);
        std::string error;
        if (status == 200) Json::parseFromStream(Json::CharReaderBuilder(), in, &out, &error);
        return out;
    }

    std::map<std::string, std::string> Snmp(const std::string& tool, std::vector<std::string> oids,
                                            const std::string& community = "public") const {
        std::vector<std::string> argv{"/usr/bin/" + tool, "-v2c", "-c", community, "-Oqn", "-M",
                                      "/nonexistent", "-t", "2", "-r", "1",
                                      "127.0.0.1:" + std::to_string(port_)};
        argv.insert(argv.end(), oids.begin(), oids.end());
        return Values(ups_clients::RunClient(argv).out);
    }
    std::map<std::string, std::string> Walk(const std::string& community = "public") const {
        return Snmp("snmpwalk", {".1.3.6.1.2.1.33"}, community);
    }

    // The walk and the API answer of one round: the API is asked before and after.
    std::map<std::string, std::string> WalkWithApi(Json::Value& device) {
        std::map<std::string, std::string> walk;
        for (int attempt = 0; attempt < 50; ++attempt) {
            device = Api();
            walk = Walk();
            const Json::Value& rounds = device["rounds"]["completed"];
            if (!walk.empty() && rounds.asUInt() > 0 && Api()["rounds"]["completed"] == rounds) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return walk;
    }

    std::string Log() const { return runner_test::ReadFile(dir_ / "err"); }

    TempDir dir_;
    int port_ = 0;
    int trap_port_ = 0;
    vimo::ChildProcess snmpd_;
    vimo::ChildProcess snmptrapd_;
    runner_test::Simulator sim_;
    vimo::ChildProcess vimohost_;
    int web_port_ = 0;
    std::string protocol_;  // vimohost's UPS protocol server, ADDR:PORT
};

double ApiMeasure(const Json::Value& device, const std::string& name) {
    for (const Json::Value& m : device["measures"])
        if (m["name"].asString() == name) return m["value"].asDouble();
    return std::nan("");
}

std::string Rounded(double value, double scale = 1) {
    return std::to_string(static_cast<long>(std::lround(value * scale)));
}

// The walk shows the UPS vimohost polls with the figures of its API, and the
// on-battery alarm in the alarm table.
TEST_F(SnmpEndToEnd, WalkShowsWhatTheApiShows) {
    Start("on-battery", 1000);
    Json::Value device;
    std::map<std::string, std::string> walk = WalkWithApi(device);
    ASSERT_EQ("on_battery", device["run_state"].asString()) << device.toStyledString();
    EXPECT_EQ("\"rack1\"", walk[kUps + "1.5.0"]);
    EXPECT_EQ("\"Novex\"", walk[kUps + "1.1.0"]);
    EXPECT_EQ("5", walk[kUps + "4.1.0"]);  // upsOutputSource battery
    EXPECT_EQ(Rounded(device["battery_charge"].asDouble()), walk[kUps + "2.4.0"]);
    EXPECT_EQ(Rounded(ApiMeasure(device, "output_frequency"), 10), walk[kUps + "4.2.0"]);
    const char* phases[] = {"a", "b", "c"};
    for (int line = 1; line <= 3; ++line) {
        const std::string phase = std::string("{phase=\"") + phases[line - 1] + "\"}";
        const std::string n = "." + std::to_string(line);
        EXPECT_EQ(Rounded(ApiMeasure(device, "input_voltage" + phase)), walk[kUps + "3.3.1.3" + n]);
        EXPECT_EQ(Rounded(ApiMeasure(device, "output_voltage" + phase)), walk[kUps + "4.4.1.2" + n]);
        EXPECT_EQ(Rounded(ApiMeasure(device, "output_current" + phase), 10), walk[kUps + "4.4.1.3" + n]);
        EXPECT_EQ(Rounded(ApiMeasure(device, "output_load" + phase)), walk[kUps + "4.4.1.5" + n]);
    }
    std::string descrs;
    for (const auto& [oid, value] : walk)
        if (oid.rfind(kUps + "6.2.1.2.", 0) == 0) descrs += value + " ";
    EXPECT_NE(std::string::npos, descrs.find(kUps + "6.3.2 ")) << descrs;  // upsAlarmOnBattery
}

// A module fault gives its mapped alarms; the second UPS answers in its own context.
TEST_F(SnmpEndToEnd, ModuleFaultAlarmsAndContexts) {
    Start("module-fault", 500);
    std::string descrs;
    ASSERT_TRUE(Eventually([&] {
        descrs.clear();
        for (const auto& [oid, value] : Walk())
            if (oid.rfind(kUps + "6.2.1.2.", 0) == 0) descrs += value + " ";
        return descrs.find(kUps + "6.3.16 ") != std::string::npos;  // upsAlarmFanFailure
    })) << descrs << Log();
    EXPECT_NE(std::string::npos, descrs.find(kUps + "6.3.18 ")) << descrs;  // general fault
    EXPECT_EQ("\"rack2\"", Snmp("snmpget", {kUps + "1.5.0"}, "rack2pub")[kUps + "1.5.0"]);
    EXPECT_EQ("\"rack1\"", Snmp("snmpget", {kUps + "1.5.0"})[kUps + "1.5.0"]);
}

// The simulator gone: the measured objects answer noSuchInstance, the battery status
// reads unknown and upsAlarmCommunicationsLost is in the table.
TEST_F(SnmpEndToEnd, CommunicationLossServesNoFigures) {
    Start("normal", 300);
    ASSERT_TRUE(Eventually([&] { return Snmp("snmpget", {kUps + "2.4.0"})[kUps + "2.4.0"] == "100"; }))
        << Log();
    EXPECT_EQ(0, sim_.Stop());
    ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", "alarm raised: communication_lost")) << Log();
    std::map<std::string, std::string> values;
    ASSERT_TRUE(Eventually([&] {
        values = Snmp("snmpget", {kUps + "2.4.0", kUps + "2.1.0", kUps + "4.1.0"});
        return values[kUps + "2.1.0"] == "1";
    })) << Log();
    EXPECT_EQ(0u, values[kUps + "2.4.0"].find("No Such Instance")) << values[kUps + "2.4.0"];
    EXPECT_EQ(0u, values[kUps + "4.1.0"].find("No Such Instance")) << values[kUps + "4.1.0"];
    std::string descrs;
    for (const auto& [oid, value] : Walk())
        if (oid.rfind(kUps + "6.2.1.2.", 0) == 0) descrs += value + " ";
    EXPECT_NE(std::string::npos, descrs.find(kUps + "6.3.20 ")) << descrs;
}

// snmpd stopped and started again: the objects come back without a vimohost restart,
// and the rounds went on meanwhile.
TEST_F(SnmpEndToEnd, SnmpdRestartNeedsNoVimohostRestart) {
    Start("normal", 300);
    ASSERT_TRUE(Eventually([&] { return Snmp("snmpget", {kUps + "4.1.0"})[kUps + "4.1.0"] == "3"; }))
        << Log();
    snmpd_.Stop(5000);
    ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", "SNMP: the AgentX master at")) << Log();
    const uint64_t before = Api()["rounds"]["completed"].asUInt64();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    StartSnmpd();
    ASSERT_TRUE(Eventually([&] { return Snmp("snmpget", {kUps + "4.1.0"})[kUps + "4.1.0"] == "3"; }))
        << Log();
    EXPECT_GT(Api()["rounds"]["completed"].asUInt64(), before + 3);  // polling never paused
    EXPECT_EQ(1u, runner_test::CountLines(Log(), "went away")) << Log();
}

// The run state steps through the table, one state a round (on mains, on battery,
// battery test, inverter starting, ...): upsTrapOnBattery comes once, and the
// on-battery alarm's added and removed traps once each.
TEST_F(SnmpEndToEnd, TrapsReachSnmptrapdOnce) {
    NOVEX_NEED_PEER(!ups_clients::FindProgram({"/usr/sbin/snmptrapd"}).empty(), "needs snmptrapd");
    StartSnmptrapd();
    runner_test::WriteFile(dir_ / "steps.json", R"({"base": "normal", "input_registers": {"81": 4},
        "per_round": {"input_registers": {"81": 1}}})");
    Start(dir_ / "steps.json", 400, true);
    const std::string on_battery = ".1.3.6.1.2.1.33.2.1", added = ".1.3.6.1.2.1.33.2.3",
                      removed = ".1.3.6.1.2.1.33.2.4";
    auto count = [&](const std::string& trap) {
        const std::vector<std::string> traps = Traps();
        return std::count(traps.begin(), traps.end(), trap);
    };
    ASSERT_TRUE(Eventually([&] { return count(removed) >= 2; }))
        << runner_test::ReadFile(dir_ / "traps.log") << Log();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(1, count(on_battery));
    const std::string log = runner_test::ReadFile(dir_ / "traps.log");
    // One added and one removed row of upsAlarmOnBattery, each with its id and descr.
    size_t rows = 0;
    const std::string descr = "OID: " + kUps + "6.3.2";
    // upsIdentName.0 follows it on the line.
    for (const std::string& line : runner_test::Lines(log))
        rows += line.find(descr + "\t" + kUps + "1.5.0") != std::string::npos;
    EXPECT_EQ(2u, rows) << log;
}

// Two UPSes on battery: each one's upsTrapOnBattery names it (upsIdentName.0), so a
// manager tells them apart although a v2c trap has no context.
TEST_F(SnmpEndToEnd, EveryTrapNamesItsUps) {
    if (ups_clients::FindProgram({"/usr/sbin/snmptrapd"}).empty()) GTEST_SKIP() << "needs snmptrapd";
    StartSnmptrapd();
    Start("on-battery", 400);
    const std::string on_battery = ".1.3.6.1.2.1.33.2.1";
    ASSERT_TRUE(Eventually([&] {
        const std::vector<std::string> traps = Traps();
        return std::count(traps.begin(), traps.end(), on_battery) >= 2;
    })) << runner_test::ReadFile(dir_ / "traps.log") << Log();
    const std::string log = runner_test::ReadFile(dir_ / "traps.log");
    for (const char* name : {"rack1", "rack2"})
        EXPECT_NE(std::string::npos, log.find(kUps + "1.5.0 = STRING: \"" + name + "\"")) << log;
}

// The UPS tools' own reader of the MIB: the snmp-ups driver (mibs=ietf) reads rack1
// through snmpd, upsd serves what it read, and upsc shows the status, charge, runtime
// and voltages that vimohost's own protocol server shows.
TEST_F(SnmpEndToEnd, NutSnmpUpsReadsWhatTheProtocolServerShows) {
    const std::string driver = ups_clients::FindProgram({"/lib/nut/snmp-ups"});
    const std::string upsd = ups_clients::FindProgram({"/lib/nut/upsd"});
    NOVEX_NEED_PEER(!driver.empty() && !upsd.empty() && !ups_clients::Upsc().empty(),
                    "needs Debian's nut-snmp, nut-server and nut-client");
    Start("normal", 500, true);
    // The driver decides once, at start, whether the agent speaks this MIB: it must
    // find rack1's identity and a battery figure there, so wait for the first round.
    ASSERT_TRUE(Eventually([&] {
        const auto got = Snmp("snmpget", {kUps + "1.1.0", kUps + "2.4.0"});
        auto real = [&](const std::string& oid) {
            return got.count(oid) && got.at(oid).compare(0, 7, "No Such") != 0;
        };
        return real(kUps + "1.1.0") && real(kUps + "2.4.0");
    })) << Log();
    const std::string nut = dir_ / "nut";
    mkdir(nut.c_str(), 0700);
    const int upsd_port = FreePort(SOCK_STREAM);
    runner_test::WriteFile(nut + "/ups.conf", "[rack1]\n driver = snmp-ups\n port = 127.0.0.1:" +
                                                  std::to_string(port_) +
                                                  "\n mibs = ietf\n community = public\n"
                                                  " snmp_version = v2c\n pollfreq = 1\n");
    runner_test::WriteFile(nut + "/upsd.conf", "LISTEN 127.0.0.1 " + std::to_string(upsd_port) + "\n");
    runner_test::WriteFile(nut + "/upsd.users", "");
    chmod((nut + "/upsd.users").c_str(), 0600);
    runner_test::WriteFile(nut + "/nut.conf", "MODE=standalone\n");
    setenv("NUT_CONFPATH", nut.c_str(), 1);
    setenv("NUT_STATEPATH", nut.c_str(), 1);
    // As root the programs would switch to the "nut" user, which cannot read the
    // test's folder.
    std::vector<std::string> as_user;
    if (getuid() == 0) as_user = {"-u", "root"};
    vimo::ChildProcess driver_process, upsd_process;
    vimo::ChildProcess::Options options = runner_test::OutputIn(nut + "/out", nut + "/driver.log");
    std::string error;
    std::vector<std::string> argv{driver, "-a", "rack1", "-F"};
    argv.insert(argv.end(), as_user.begin(), as_user.end());
    ASSERT_TRUE(driver_process.Start(argv, options, error)) << error;
    ASSERT_TRUE(runner_test::WaitUntil([&] { return access((nut + "/snmp-ups-rack1").c_str(), F_OK) == 0; }))
        << runner_test::ReadFile(nut + "/driver.log");
    options.stderr_file = nut + "/upsd.log";
    argv = {upsd, "-F"};
    argv.insert(argv.end(), as_user.begin(), as_user.end());
    ASSERT_TRUE(upsd_process.Start(argv, options, error)) << error;
    unsetenv("NUT_CONFPATH");
    unsetenv("NUT_STATEPATH");

    const std::string through_snmp = "rack1@127.0.0.1:" + std::to_string(upsd_port);
    auto read = [](const std::string& ups) {
        std::map<std::string, std::string> vars;
        for (const std::string& line : runner_test::Lines(ups_clients::RunClient({ups_clients::Upsc(), ups}).out)) {
            const size_t colon = line.find(": ");
            if (colon != std::string::npos) vars[line.substr(0, colon)] = line.substr(colon + 2);
        }
        return vars;
    };
    std::map<std::string, std::string> snmp, own;
    ASSERT_TRUE(Eventually([&] {
        snmp = read(through_snmp);
        return snmp["ups.status"] == "OL" && !snmp["battery.runtime"].empty();
    })) << runner_test::ReadFile(nut + "/driver.log") << runner_test::ReadFile(nut + "/upsd.log");
    own = read("rack1@" + protocol_);
    // The power path; the MIB has no word for a charging battery (CHRG).
    EXPECT_EQ(own["ups.status"].substr(0, 2), snmp["ups.status"]);
    // The MIB's units: whole percent, whole minutes, whole volts; 0.1 V for the battery.
    const std::pair<const char*, double> figures[] = {
        {"battery.charge", 1}, {"battery.runtime", 60}, {"battery.voltage", 0.1},
        {"input.L1-N.voltage", 1}, {"output.L2-N.voltage", 1}, {"output.L3-N.voltage", 1},
    };
    for (const auto& [name, unit] : figures) {
        ASSERT_FALSE(own[name].empty() || snmp[name].empty()) << name;
        EXPECT_NEAR(std::stod(own[name]), std::stod(snmp[name]), unit / 2 + 1e-9) << name;
    }
}

}  // namespace
