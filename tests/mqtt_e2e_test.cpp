// vimohost publishing to a real broker: Debian's mosquitto, started here on private
// loopback ports with its own configuration (a password file made by mosquitto_passwd,
// a TLS listener with the test's certificates), read by mosquitto_sub; vimohost polls
// novexups-sim. Every program is started here and stopped by its process id.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "mqtt/topics.h"
#include "tests/peer_skip.h"
#include "tests/runner_processes.h"
#include "tests/test_certs.h"

namespace {

using runner_test::ReadFile;
using runner_test::WaitUntil;
using runner_test::WriteFile;

const std::string kPrefix = "test/vimohost";
const std::string kDevice = "ups+1";  // '+' cannot be a topic level as it is

bool Exists(const char* path) { return access(path, X_OK) == 0; }

Json::Value Parse(const std::string& text) {
    Json::Value out;
    std::string error;
    std::istringstream in(text);
    Json::parseFromStream(Json::CharReaderBuilder(), in, &out, &error);
    return out;
}

class MqttEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        NOVEX_NEED_PEER(Exists("/usr/sbin/mosquitto") && Exists("/usr/bin/mosquitto_sub") &&
                            Exists("/usr/bin/mosquitto_passwd"),
                        "needs Debian's mosquitto and mosquitto-clients");
        ASSERT_TRUE(certs_.ok());
        port_ = runner_test::FreePort();
        tls_port_ = runner_test::FreePort();
        ASSERT_EQ(0, std::system(("/usr/bin/mosquitto_passwd -b -c " + dir_ / "passwd" +
                                  " vimo s3cret >/dev/null 2>&1").c_str()));
        chmod((dir_ / "passwd").c_str(), 0600);
        WriteFile(dir_ / "mosquitto.conf",
                  // As root, mosquitto would drop to its own user, which cannot read here.
                  "user " + std::string(getpwuid(getuid())->pw_name) +
                      "\nper_listener_settings false\nallow_anonymous false\npassword_file " + dir_ / "passwd" +
                      "\npersistence true\npersistence_location " + dir_.path() + "/\n" +
                      "listener " + std::to_string(port_) + " 127.0.0.1\n" +
                      "listener " + std::to_string(tls_port_) + " 127.0.0.1\ncafile " + certs_.Path("ca.pem") +
                      "\ncertfile " + certs_.Path("server.pem") + "\nkeyfile " + certs_.Path("server.key") + "\n");
        WriteFile(dir_ / "password", "s3cret\n");
        chmod((dir_ / "password").c_str(), 0600);
        StartBroker();
        ASSERT_TRUE(sim_.Start({"--tcp", "0", "--scenario", Scenario()}, dir_ / "sim.log"));
    }

    void TearDown() override {
        if (vimohost_.running()) vimohost_.Stop(10000);
        sub_.Stop(2000);
        broker_.Stop(5000);
    }

    // The simulator's outage: on battery from round 11, mains back in round 54.
    std::string Scenario() { return "outage"; }

    void StartBroker() {
        std::string error;
        ASSERT_TRUE(broker_.Start({"/usr/sbin/mosquitto", "-c", dir_ / "mosquitto.conf"},
                                  runner_test::OutputIn(dir_ / "broker.out", dir_ / "broker.log"), error))
            << error;
        ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir_ / "broker.log").find("running") != std::string::npos; }))
            << ReadFile(dir_ / "broker.log");
    }

    // mosquitto_sub on every topic with a persistent session (QoS 1), lines "RETAIN TOPIC PAYLOAD".
    void Subscribe() {
        std::string error;
        ASSERT_TRUE(sub_.Start({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port_), "-u",
                                "vimo", "-P", "s3cret", "-q", "1", "-c", "-i", "test-sub", "-t", "#", "-F",
                                "%r %t %p"},
                               runner_test::OutputIn(dir_ / "sub.out", dir_ / "sub.err"), error))
            << error;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }

    // What the broker holds retained on `topic` now ("" for nothing).
    std::string Retained(const std::string& topic) {
        vimo::ChildProcess once;
        std::string error;
        const std::string out = dir_ / "retained.out";
        std::remove(out.c_str());
        once.Start({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port_), "-u", "vimo", "-P",
                    "s3cret", "--retained-only", "-C", "1", "-W", "1", "-t", topic, "-F", "%p"},
                   runner_test::OutputIn(out, dir_ / "retained.err"), error);
        once.Wait(5000);
        std::string text = ReadFile(out);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }

    // The configuration: `devices` polling the simulator, publishing as `mqtt` says.
    void WriteConfig(const std::string& mqtt, const std::vector<std::string>& devices = {kDevice}) {
        std::string list;
        for (const std::string& name : devices)
            list += std::string(list.empty() ? "" : ", ") + R"({"name": ")" + name +
                    R"(", "transport": "tcp", "port": ")" + sim_.address() +
                    R"(", "interval_ms": 100, "timeout_ms": 300, "manufacturer": "Maker", "model": "NX"})";
        WriteFile(dir_ / "config.json", R"({"devices": [)" + list + R"(], "mqtt": )" + mqtt + "}");
    }
    void StartVimohost(const std::string& mqtt, const std::vector<std::string>& devices = {kDevice}) {
        WriteConfig(mqtt, devices);
        ASSERT_TRUE(runner_test::StartVimohost(vimohost_, dir_, {"--config", dir_ / "config.json", "--no-history"}));
    }
    std::string ConfigTopic(const std::string& device, const std::string& key) const {
        return "homeassistant/sensor/" + vimo::mqtt::DiscoveryId(kPrefix) + "_" + vimo::mqtt::DiscoveryId(device) +
               "/" + vimo::mqtt::DiscoveryId(device) + "_" + key + "/config";
    }
    std::string PlainMqtt(const std::string& password_file) {
        return R"({"url": "mqtt://vimo@127.0.0.1:)" + std::to_string(port_) + R"(", "password_file": ")" +
               password_file + R"(", "prefix": ")" + kPrefix + R"(", "state_interval_s": 1})";
    }

    std::string Topic(const std::string& leaf) const {
        return kPrefix + "/" + vimo::mqtt::TopicLevel(kDevice) + "/" + leaf;
    }
    // The payloads seen on `topic` by the subscriber, in order.
    std::vector<std::string> Seen(const std::string& topic) const {
        std::vector<std::string> out;
        for (const std::string& line : runner_test::Lines(ReadFile(dir_ / "sub.out"))) {
            const size_t space = line.find(' ', 2);
            if (space != std::string::npos && line.compare(2, space - 2, topic) == 0) out.push_back(line.substr(space + 1));
        }
        return out;
    }
    // The events seen: "raised mains_voltage_abnormal", "run_state on_battery on_mains", ...
    std::vector<std::string> Events() const {
        std::vector<std::string> out;
        for (const std::string& payload : Seen(Topic("event"))) {
            const Json::Value e = Parse(payload);
            out.push_back(e["event"].asString() == "run_state"
                              ? "run_state " + e["from"].asString() + " " + e["to"].asString()
                              : e["event"].asString() + " " + e["alarm"].asString());
        }
        return out;
    }
    bool Has(const std::string& event) const {
        const std::vector<std::string> events = Events();
        return std::find(events.begin(), events.end(), event) != events.end();
    }
    std::string Log() const { return ReadFile(dir_ / "err"); }

    runner_test::TempDir dir_;
    test_certs::Certs certs_;
    int port_ = 0;
    int tls_port_ = 0;
    vimo::ChildProcess broker_;
    vimo::ChildProcess sub_;
    runner_test::Simulator sim_;
    vimo::ChildProcess vimohost_;
};

// The outage: events in order, the retained state and availability as the UPS goes on
// battery, back on mains and then out of reach; the configurations for Home Assistant.
TEST_F(MqttEndToEnd, OutageGivesStateAvailabilityAndEvents) {
    Subscribe();
    StartVimohost(PlainMqtt(dir_ / "password"));
    ASSERT_TRUE(WaitUntil([&] { return Has("run_state on_battery on_mains"); }, 15000))
        << Log() << ReadFile(dir_ / "sub.out");
    // In order, each once.
    const std::vector<std::string> events = Events();
    size_t at = 0;
    for (const char* event : {"raised mains_voltage_abnormal", "raised run_state.on_battery",
                              "run_state on_mains on_battery", "raised battery_voltage_low",
                              "cleared mains_voltage_abnormal", "cleared run_state.on_battery",
                              "run_state on_battery on_mains"}) {
        const auto found = std::find(events.begin() + static_cast<long>(at), events.end(), event);
        ASSERT_NE(events.end(), found) << event << " after " << at << " in " << ReadFile(dir_ / "sub.out");
        EXPECT_EQ(1, std::count(events.begin(), events.end(), event)) << event;
        at = static_cast<size_t>(found - events.begin());
    }
    EXPECT_EQ("online", Retained(kPrefix + "/status"));
    EXPECT_EQ("online", Retained(Topic("availability")));
    Json::Value state = Parse(Retained(Topic("state")));
    EXPECT_EQ("on_mains", state["run_state"].asString()) << state.toStyledString();
    EXPECT_EQ("ok", state["communication"].asString());
    EXPECT_EQ("V", state["measures"]["output_voltage_a"]["unit"].asString());
    EXPECT_GT(state["measures"]["output_voltage_a"]["value"].asDouble(), 100);
    // The energy counted over the rounds so far: some watt-hours, in kWh.
    EXPECT_GT(state["measures"]["output_energy"]["value"].asDouble(), 0.0) << state.toStyledString();
    EXPECT_EQ("kWh", state["measures"]["output_energy"]["unit"].asString());
    EXPECT_EQ("", Retained(Topic("event")));  // events are not retained
    const Json::Value charge = Parse(Retained(ConfigTopic(kDevice, "battery_charge")));
    EXPECT_EQ("battery", charge["device_class"].asString()) << charge.toStyledString();
    EXPECT_EQ("Maker", charge["device"]["manufacturer"].asString());
    EXPECT_EQ("total_increasing", Parse(Retained(ConfigTopic(kDevice, "output_energy")))["state_class"].asString());
    // The UPS out of reach: offline, the state says lost, the event comes.
    sim_.Stop();
    ASSERT_TRUE(WaitUntil([&] { return Retained(Topic("availability")) == "offline"; })) << Log();
    state = Parse(Retained(Topic("state")));
    EXPECT_EQ("lost", state["communication"].asString()) << state.toStyledString();
    EXPECT_EQ("raised communication_lost", Events().back());
    EXPECT_EQ("online", Retained(kPrefix + "/status"));
    // An orderly stop says offline for the bridge.
    EXPECT_EQ(0, vimohost_.Stop(10000)) << Log();
    EXPECT_EQ("offline", Retained(kPrefix + "/status"));
}

// Killed, vimohost cannot say goodbye: the broker publishes its will. Over TLS, with
// the broker's certificate checked against the test's CA.
TEST_F(MqttEndToEnd, KilledVimohostLeavesItsWillOverTls) {
    StartVimohost(R"({"url": "mqtts://vimo@localhost:)" + std::to_string(tls_port_) + R"(", "password_file": ")" +
                  dir_ / "password" + R"(", "ca_file": ")" + certs_.Path("ca.pem") + R"(", "prefix": ")" + kPrefix +
                  R"(", "protocol": "5"})");
    ASSERT_TRUE(WaitUntil([&] { return Retained(kPrefix + "/status") == "online"; })) << Log();
    kill(vimohost_.pid(), SIGKILL);
    vimohost_.Wait(5000);
    EXPECT_TRUE(WaitUntil([&] { return Retained(kPrefix + "/status") == "offline"; }, 5000))
        << ReadFile(dir_ / "broker.log");
}

// A refused login is said in one line and tried again later; polling goes on.
TEST_F(MqttEndToEnd, RefusedLoginIsSaidAndPollingGoesOn) {
    WriteFile(dir_ / "wrong", "wrong\n");
    chmod((dir_ / "wrong").c_str(), 0600);
    StartVimohost(PlainMqtt(dir_ / "wrong"));
    ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", "refused the connection")) << Log();
    ASSERT_TRUE(WaitUntil([&] { return runner_test::CountLines(Log(), "round 10 ") > 0; })) << Log();
    EXPECT_EQ(1u, runner_test::CountLines(Log(), "refused the connection")) << Log();
    EXPECT_EQ(std::string::npos, Log().find("wrong\n")) << Log();
    EXPECT_EQ(0, vimohost_.Stop(10000)) << Log();
}

// The broker restarted while the UPS is out of reach: the QoS 1 event published while
// it was away reaches a subscriber with a persistent session once it is back.
TEST_F(MqttEndToEnd, BrokerRestartLosesNoEvent) {
    Subscribe();
    StartVimohost(PlainMqtt(dir_ / "password"));
    ASSERT_TRUE(WaitUntil([&] { return Has("run_state on_mains on_battery"); })) << Log();
    broker_.Stop(5000);
    sim_.Stop();
    ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", "communication lost")) << Log();
    StartBroker();
    EXPECT_TRUE(WaitUntil([&] { return !Events().empty() && Events().back() == "raised communication_lost"; }, 15000))
        << Log() << ReadFile(dir_ / "sub.out");
    // The retained topics are current again after the reconnect.
    EXPECT_TRUE(WaitUntil([&] { return Retained(Topic("availability")) == "offline"; }, 5000));
}

// A "broker" that takes the connection and never answers: given up after the
// keep-alive time and tried again, while polling goes on and a stop is not held up.
TEST_F(MqttEndToEnd, SilentBrokerIsGivenUpAndStopIsNotHeld) {
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(0, bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, listen(silent, 8));  // the kernel completes the handshakes; nobody reads
    getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size);
    StartVimohost(R"({"url": "mqtt://127.0.0.1:)" + std::to_string(ntohs(address.sin_port)) +
                  R"(", "keepalive_s": 5})");
    EXPECT_TRUE(WaitUntil([&] { return Log().find("no answer within the keep-alive time (5 s)") != std::string::npos; },
                          15000))
        << Log();
    const size_t rounds = runner_test::CountLines(Log(), "] round ");
    EXPECT_GT(rounds, 20u) << Log();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(0, vimohost_.Stop(10000)) << Log();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
    close(silent);
}

// A fleet: two sites, each a vimohost publishing to its own broker, each broker bridged
// to the central one (this fixture's, with its password file), both sites' UPS named
// ups1. The centre sees both, apart, with distinct discovery ids.
TEST_F(MqttEndToEnd, TwoSitesThroughBridgedBrokersDoNotClash) {
    const std::string sites[] = {"site-a", "site-b"};
    vimo::ChildProcess brokers[2], hosts[2];
    for (int i = 0; i < 2; ++i) {
        const std::string& site = sites[i];
        const int port = runner_test::FreePort();
        WriteFile(dir_ / (site + ".conf"),
                  "user " + std::string(getpwuid(getuid())->pw_name) + "\nlistener " + std::to_string(port) +
                      " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                      "connection central\naddress 127.0.0.1:" + std::to_string(port_) +
                      "\nremote_username vimo\nremote_password s3cret\nremote_clientid bridge-" + site +
                      "\ntopic " + site + "/vimohost/# out 1\ntopic homeassistant/# out 1\ncleansession false\n");
        std::string error;
        ASSERT_TRUE(brokers[i].Start({"/usr/sbin/mosquitto", "-c", dir_ / (site + ".conf")},
                                     runner_test::OutputIn(dir_ / (site + ".out"), dir_ / (site + ".log")), error))
            << error;
        WriteFile(dir_ / (site + ".json"),
                  R"({"devices": [{"name": "ups1", "transport": "tcp", "port": ")" + sim_.address() +
                      R"(", "interval_ms": 200}], "mqtt": {"url": "mqtt://127.0.0.1:)" + std::to_string(port) +
                      R"(", "prefix": ")" + site + R"(/vimohost"}})");
        std::vector<std::string> argv = novex_test::ProgramCommand(runner_test::BuildDir() + "/vimohost");
        argv.insert(argv.end(), {"--config", dir_ / (site + ".json"), "--no-history"});
        ASSERT_TRUE(hosts[i].Start(argv, runner_test::OutputIn(dir_ / (site + ".vout"), dir_ / (site + ".verr")), error))
            << error;
    }
    std::set<std::string> ids;
    for (const std::string& site : sites) {
        EXPECT_TRUE(WaitUntil([&] { return !Retained(site + "/vimohost/ups1/state").empty(); }, 15000))
            << site << ReadFile(dir_ / (site + ".log")) << ReadFile(dir_ / (site + ".verr"));
        EXPECT_EQ("online", Retained(site + "/vimohost/status"));
        const std::string node = vimo::mqtt::DiscoveryId(site + "/vimohost") + "_ups1";
        const Json::Value config = Parse(Retained("homeassistant/sensor/" + node + "/ups1_battery_charge/config"));
        EXPECT_EQ(site + "/vimohost/ups1/state", config["state_topic"].asString()) << site;
        ids.insert(config["unique_id"].asString());
        ids.insert(config["device"]["identifiers"][0].asString());
    }
    EXPECT_EQ(4u, ids.size());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(0, hosts[i].Stop(10000));
        brokers[i].Stop(5000);
    }
}

// A device that a reload leaves out goes from Home Assistant: its configurations,
// state and availability are removed; the one kept stays.
TEST_F(MqttEndToEnd, ReloadRemovesADeviceThatLeft) {
    const std::string mqtt = PlainMqtt(dir_ / "password");
    StartVimohost(mqtt, {kDevice, "ups2"});
    ASSERT_TRUE(WaitUntil([&] { return !Retained(kPrefix + "/ups2/state").empty(); })) << Log();
    EXPECT_FALSE(Retained(ConfigTopic("ups2", "battery_charge")).empty());
    WriteConfig(mqtt);
    kill(vimohost_.pid(), SIGHUP);
    ASSERT_TRUE(runner_test::WaitForLine(dir_ / "err", "configuration reloaded")) << Log();
    EXPECT_TRUE(WaitUntil([&] { return Retained(ConfigTopic("ups2", "battery_charge")).empty(); }, 5000));
    EXPECT_EQ("", Retained(kPrefix + "/ups2/state"));
    EXPECT_EQ("", Retained(kPrefix + "/ups2/availability"));
    EXPECT_FALSE(Retained(ConfigTopic(kDevice, "battery_charge")).empty());
    EXPECT_FALSE(Retained(Topic("state")).empty());
    EXPECT_EQ(0, vimohost_.Stop(10000)) << Log();
}

}  // namespace
