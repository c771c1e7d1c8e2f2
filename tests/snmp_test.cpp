// The UPS MIB made from snapshots: scaling and ranges, the run state's power path,
// the alarm table across rounds, and what is served while communication is lost.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "config/device_config.h"
#include "monitor/measures.h"
#include "snmp/address.h"
#include "snmp/ups_mib.h"

namespace {

namespace monitor = novex::monitor;
using vimo::snmp::Oid;
using vimo::snmp::View;

// A snapshot of one completed round with the given unit figures.
monitor::DeviceSnapshot Round(const std::vector<std::pair<std::string, double>>& figures,
                              const std::vector<std::string>& alarms = {}) {
    monitor::DeviceSnapshot s;
    s.device_name = "rack1";
    s.rounds_completed = 1;
    s.measures.resize(monitor::Measures().size());
    for (const auto& [name, value] : figures) {
        const size_t i = monitor::FindMeasure(name);
        EXPECT_LT(i, s.measures.size()) << name;
        if (i < s.measures.size()) s.measures[i] = {value, true};
    }
    for (const std::string& id : alarms)
        s.active_alarms.push_back(static_cast<monitor::AlarmIndex>(monitor::FindAlarm(id)));
    return s;
}

double RunState(const char* id) {
    for (unsigned code = 0; code < monitor::kRunStateCount; ++code)
        if (std::string(monitor::RunStateId(code)) == id) return code;
    return -1;
}

Oid Object(const std::string& suffix) {
    Oid oid = vimo::snmp::kUpsObjects;
    size_t start = 0;
    while (start < suffix.size()) {
        size_t end = suffix.find('.', start);
        if (end == std::string::npos) end = suffix.size();
        oid.push_back(static_cast<uint32_t>(std::stoul(suffix.substr(start, end - start))));
        start = end + 1;
    }
    return oid;
}

// The number at upsObjects.SUFFIX; -999 when it is not served.
int64_t Number(const View& view, const std::string& suffix) {
    const auto it = view.find(Object(suffix));
    return it == view.end() ? -999 : it->second.number;
}

// Figures to objects, each case one round. Columns: what it checks; figures; alarms;
// object; value (-999: not served).
struct Case {
    const char* what;
    std::vector<std::pair<std::string, double>> figures;
    std::vector<std::string> alarms;
    const char* object;
    int64_t value;
};

TEST(UpsMib, FiguresBecomeObjectsInTheMibsUnitsAndRanges) {
    const double on_mains = RunState("on_mains"), on_battery = RunState("on_battery");
    const Case cases[] = {
        {"charge as it is", {{"battery_charge", 87}}, {}, "2.4.0", 87},
        {"charge beyond 100 % is clamped", {{"battery_charge", 250}}, {}, "2.4.0", 100},
        {"a NaN is not served", {{"battery_charge", std::nan("")}}, {}, "2.4.0", -999},
        {"minutes are whole", {{"battery_runtime", 2759}}, {}, "2.3.0", 45},
        {"under a minute left reads 0", {{"battery_runtime", 30}}, {}, "2.3.0", 0},
        {"a depleted battery reads 0, as battery.runtime does", {{"battery_runtime", 0}}, {}, "2.3.0", 0},
        {"battery voltage: mean of the strings, 0.1 V",
         {{"battery_voltage{string=\"positive\"}", 202.5}, {"battery_voltage{string=\"negative\"}", 201.5}},
         {}, "2.5.0", 2020},
        {"battery current: discharging is negative, 0.1 A",
         {{"battery_discharge_current{string=\"positive\"}", 12.5}, {"battery_discharge_current{string=\"negative\"}", 12.5}},
         {}, "2.6.0", -125},
        {"input frequency in 0.1 Hz on each line", {{"input_frequency", 49.98}}, {}, "3.3.1.2.3", 500},
        {"input true power: V × A × power factor",
         {{"input_voltage{phase=\"b\"}", 230}, {"input_current{phase=\"b\"}", 10}, {"input_power_factor{phase=\"b\"}", 0.9}},
         {}, "3.3.1.5.2", 2070},
        {"true power needs all three", {{"input_voltage{phase=\"b\"}", 230}}, {}, "3.3.1.5.2", -999},
        {"negative power is clamped to 0", {{"output_active_power{phase=\"a\"}", -50}}, {}, "4.4.1.4.1", 0},
        {"load beyond 200 % is clamped", {{"output_load{phase=\"c\"}", 900}}, {}, "4.4.1.5.3", 200},
        {"on mains: source normal", {{"run_state", on_mains}}, {}, "4.1.0", 3},
        {"on battery: source battery", {{"run_state", on_battery}}, {}, "4.1.0", 5},
        {"a run state we do not know: other", {{"run_state", 99}}, {}, "4.1.0", 1},
        {"battery normal", {{"battery_charge", 80}}, {}, "2.1.0", 2},
        {"battery low at the configured charge", {{"battery_charge", 20}}, {}, "2.1.0", 3},
        {"battery low on the alarm", {{"battery_charge", 80}}, {"battery_voltage_low"}, "2.1.0", 3},
        {"battery depleted", {{"battery_charge", 0}}, {}, "2.1.0", 4},
        {"no charge: unknown", {}, {}, "2.1.0", 1},
    };
    vimo::snmp::UpsIdentity rated;
    rated.ratings = {{"input_frequency", 50}, {"output_va", 30000}};
    const View config = MapUpsMib(Round({}), rated, {}, 0);
    EXPECT_EQ(500, Number(config, "9.2.0"));  // 0.1 Hz
    EXPECT_EQ(30000, Number(config, "9.5.0"));
    EXPECT_EQ(-999, Number(config, "9.1.0"));  // not given
    for (const Case& c : cases) {
        const monitor::DeviceSnapshot s = Round(c.figures, c.alarms);
        vimo::snmp::DeviceTrack track;
        vimo::snmp::UpsIdentity identity;
        vimo::snmp::TakeRound(track, s, identity, 0, 0);
        EXPECT_EQ(c.value, Number(vimo::snmp::MapUpsMib(s, identity, track, 0), c.object)) << c.what;
    }
}

// A trace of rounds through one track: going on battery, alarms raised and cleared,
// communication lost and back.
TEST(UpsMib, AlarmTableFollowsTheRounds) {
    vimo::snmp::DeviceTrack track;
    vimo::snmp::UpsIdentity identity;
    const double on_mains = RunState("on_mains"), on_battery = RunState("on_battery");

    auto news = TakeRound(track, Round({{"run_state", on_mains}, {"battery_charge", 90}}), identity, 10, 100);
    EXPECT_FALSE(news.went_on_battery);
    EXPECT_TRUE(news.added.empty());

    const monitor::DeviceSnapshot battery =
        Round({{"run_state", on_battery}, {"battery_charge", 90}}, {"module3.fan_fault"});
    news = TakeRound(track, battery, identity, 20, 200);
    EXPECT_TRUE(news.went_on_battery);
    ASSERT_EQ(2u, news.added.size());  // on battery, fan failure: one row each
    EXPECT_EQ(vimo::snmp::kOnBattery, news.added[0].well_known);
    EXPECT_EQ(vimo::snmp::kFanFailure, news.added[1].well_known);
    EXPECT_EQ(200u, news.added[0].raised_at);

    news = TakeRound(track, battery, identity, 35, 300);  // the same again: no news
    EXPECT_FALSE(news.went_on_battery);
    EXPECT_TRUE(news.added.empty() && news.removed.empty());
    View view = MapUpsMib(battery, identity, track, 35);
    EXPECT_EQ(15, Number(view, "2.2.0"));  // seconds on battery
    EXPECT_EQ(1, Number(view, "3.1.0"));   // one line bad
    EXPECT_EQ(2, Number(view, "6.1.0"));
    EXPECT_EQ(200, Number(view, "6.2.1.3.1"));

    // Communication lost: the figures go, the alarms stay and communications lost joins.
    monitor::DeviceSnapshot lost = battery;
    lost.communication = monitor::Communication::kLost;
    lost.stale = true;
    lost.active_alarms.push_back(monitor::kCommunicationLost);
    news = TakeRound(track, lost, identity, 40, 400);
    EXPECT_TRUE(news.removed.empty());
    ASSERT_EQ(1u, news.added.size());
    EXPECT_EQ(vimo::snmp::kCommunicationsLost, news.added[0].well_known);
    view = MapUpsMib(lost, identity, track, 40);
    for (const char* measured : {"2.2.0", "2.4.0", "4.1.0", "4.4.1.2.1", "4.4.1.1.1"})
        EXPECT_EQ(-999, Number(view, measured)) << measured;
    EXPECT_EQ(1, Number(view, "2.1.0"));  // battery status unknown
    EXPECT_EQ(3, Number(view, "6.1.0"));
    EXPECT_EQ(3, Number(view, "3.2.0"));  // the number of lines is no measure

    // Back on mains with the fault cleared: three rows removed, ids never reused.
    news = TakeRound(track, Round({{"run_state", on_mains}, {"battery_charge", 90}}), identity, 50, 500);
    EXPECT_EQ(3u, news.removed.size());
    news = TakeRound(track, battery, identity, 60, 600);
    EXPECT_TRUE(news.went_on_battery);
    EXPECT_EQ(4u, news.added[0].id);
}

// Every one of our alarms is served as a well-known alarm or not at all, and the
// critical ones always are.
TEST(UpsMib, EveryAlarmMapsToAWellKnownAlarmOrNone) {
    const auto& alarms = monitor::Alarms();
    size_t general = 0;
    for (size_t i = 0; i < alarms.size(); ++i) {
        const int mapped = vimo::snmp::WellKnownOf(static_cast<monitor::AlarmIndex>(i));
        if (alarms[i].severity == monitor::Severity::kCritical) {
            EXPECT_NE(vimo::snmp::kNoWellKnown, mapped) << alarms[i].id;
        }
        if (mapped != vimo::snmp::kNoWellKnown) {
            EXPECT_STRNE("", vimo::snmp::WellKnownName(mapped)) << alarms[i].id;
        }
        general += mapped == vimo::snmp::kGeneralFault;
    }
    EXPECT_GT(general, 0u);
    EXPECT_EQ(vimo::snmp::kFuseFailure, vimo::snmp::WellKnownOf(static_cast<monitor::AlarmIndex>(
                                            monitor::FindAlarm("module10.fuse_blown"))));
    EXPECT_EQ(vimo::snmp::kNoWellKnown, vimo::snmp::WellKnownOf(static_cast<monitor::AlarmIndex>(
                                            monitor::FindAlarm("start_refused"))));
}

// Addresses and context names. Columns: text, whether it is accepted.
TEST(UpsMib, AddressesAndContextNames) {
    const std::pair<const char*, bool> addresses[] = {
        {"/var/agentx/master", true}, {"unix:/run/agentx", true}, {"tcp:127.0.0.1:705", true},
        {"tcp:127.0.0.1", false},     {"master", false},          {"/var/agentx/a b", false},
        {"", false},
    };
    for (const auto& [text, ok] : addresses) {
        std::string error;
        EXPECT_EQ(ok, vimo::snmp::CheckAgentxAddress(text, error)) << text;
        EXPECT_EQ(ok, error.empty()) << text;
    }
    const std::pair<std::string, bool> contexts[] = {
        {"rack1", true}, {"ups-2.b_c", true}, {"", false}, {"rack 1", false},
        {std::string(33, 'a'), false}, {std::string(32, 'a'), true}, {"ups\n", false},
    };
    for (const auto& [name, ok] : contexts) EXPECT_EQ(ok, vimo::snmp::ContextNameOk(name)) << name;
}

// "snmp" beside "devices". Columns: its value, the agent's address or the error.
TEST(UpsMib, SnmpSettingOfTheConfiguration) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"agentx": "/var/agentx/master"})", "/var/agentx/master"},
        {R"({"agentx": "tcp:127.0.0.1:705"})", "tcp:127.0.0.1:705"},
        {R"({})", ""},
        {R"("/var/agentx/master")", "\"snmp\" must be a JSON object"},
        {R"({"agentx": "master"})", "\"agentx\" in \"snmp\": the AgentX master's address is"},
        {R"({"agentx": 705})", "\"agentx\" in \"snmp\" must be a non-empty text"},
        {R"({"master": "/x"})", "unknown key \"master\" in \"snmp\""},
    };
    // A device's "ratings", which upsConfig serves. Columns: the object, the error.
    const std::pair<const char*, const char*> ratings[] = {
        {R"({"output_va": 30000, "input_frequency": 50})", ""},
        {R"({"output_va": -1})", "\"output_va\" in \"ratings\" must be a number above 0"},
        {R"({"output_va": "big"})", "\"output_va\" in \"ratings\" must be a number above 0"},
        {R"({"input_voltage": 1e300})", "\"input_voltage\" in \"ratings\" must be a number above 0, at most 1000"},
        {R"({"volts": 220})", "unknown key \"volts\" in \"ratings\""},
        {R"([220])", "\"ratings\" must be a JSON object"},
    };
    for (const auto& [value, expected] : ratings) {
        std::vector<vimo::DeviceConfig> devices;
        vimo::ProgramConfig program;
        std::string error;
        vimo::ParseConfig(std::string(R"({"devices": [{"port": "/dev/a", "ratings": )") + value + "}]}",
                          "t", devices, program, error);
        EXPECT_NE(std::string::npos, error.find(expected)) << value << ": " << error;
        EXPECT_EQ(*expected == '\0', error.empty()) << value << ": " << error;
    }
    for (const auto& [value, expected] : cases) {
        std::vector<vimo::DeviceConfig> devices;
        vimo::ProgramConfig program;
        std::string error;
        const bool ok = vimo::ParseConfig(
            std::string(R"({"devices": [{"port": "/dev/a"}], "snmp": )") + value + "}", "t", devices,
            program, error);
        if (ok) {
            EXPECT_EQ(expected, program.snmp_agentx) << value;
        } else {
            EXPECT_NE(std::string::npos, error.find(expected)) << value << ": " << error;
        }
    }
}

}  // namespace
