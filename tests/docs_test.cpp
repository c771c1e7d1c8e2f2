// The reference tables under docs/ are made from the tables in code, so a renamed key
// or measure shows here first. NOVEX_WRITE_DOCS=1 rewrites the docs' copy.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "config/device_config.h"
#include "host/line_settings.h"
#include "mbserver/register_map.h"
#include "monitor/measures.h"
#include "monitor/snapshot.h"
#include "mqtt/discovery.h"
#include "mqtt/settings.h"
#include "mqtt/state_json.h"
#include "protocol/feed.h"
#include "protocol/variable_map.h"
#include "snmp/ratings.h"
#include "snmp/ups_mib.h"
#include "tests/render_support.h"
#include "tests/source_files.h"
#include "web/metrics.h"

namespace {

using source_test::ReadFile;
using source_test::SourceFile;

// The text between "<!-- NAME: begin -->" and "<!-- NAME: end -->" of docs/FILE is
// `text`; with NOVEX_WRITE_DOCS set it is made so first.
void ExpectSection(const std::string& file, const std::string& name, const std::string& text) {
    const std::string begin = "<!-- " + name + ": begin -->\n";
    const std::string end = "<!-- " + name + ": end -->\n";
    const std::string path = SourceFile("docs/" + file);
    std::string doc = ReadFile(path);
    const size_t first = doc.find(begin);
    const size_t last = doc.find(end);
    ASSERT_NE(std::string::npos, first) << path << " has no " << begin;
    ASSERT_NE(std::string::npos, last) << path << " has no " << end;
    const size_t from = first + begin.size();
    if (std::getenv("NOVEX_WRITE_DOCS")) {
        std::ofstream(path) << doc.replace(from, last - from, text);
        return;
    }
    EXPECT_EQ(text, doc.substr(from, last - from)) << "NOVEX_WRITE_DOCS=1 rewrites " << path;
}

std::string Cell(const std::string& text) {
    return std::regex_replace(text, std::regex("\\|"), "\\|");
}

TEST(Docs, ConfigurationReference) {
    std::string out = "| Key | Kind | Meaning |\n|---|---|---|\n";
    for (const vimo::DeviceKey& k : vimo::kDeviceKeys)
        out += "| \"" + std::string(k.key) + "\" | " + k.kind + " | " + Cell(k.help) + " |\n";
    for (const vimo::LineSetting& s : vimo::kLineSettings)
        out += "| \"" + std::string(s.key) + "\" | number | " + Cell(s.help) + ", " +
               std::to_string(s.min) + ".." + std::to_string(s.max) + " (default " +
               std::to_string(s.fallback) + "; `" + s.flag + "`) |\n";
    for (const vimo::DeviceKey& k : vimo::kAppSettingKeys)
        out += "| \"appSetting\": \"" + std::string(k.key) + "\" | " + k.kind + " | " +
               Cell(k.help) + " |\n";
    out += "\nBeside \"devices\" in the top-level form:\n\n| Key | Kind | Meaning |\n|---|---|---|\n";
    for (const vimo::ProgramSetting& s : vimo::kProgramSettings)
        out += "| \"" + std::string(s.key) + "\" | " + s.kind + " | " + Cell(vimo::KeyHelp(s)) + " |\n";
    ExpectSection("configuration.md", "configuration keys", out);
}

// The "mqtt" section's keys and the Home Assistant entities, each kind of entity with
// the measures it covers.
TEST(Docs, MqttReference) {
    std::string keys = "| Key | Kind | Flag | Meaning |\n|---|---|---|---|\n";
    for (const vimo::mqtt::MqttKey& k : vimo::mqtt::kMqttKeys)
        keys += "| \"" + std::string(k.key) + "\" | " + k.kind + " | " + (k.flag ? std::string("`") + k.flag + "`" : "") +
                " | " + Cell(vimo::mqtt::MqttKeyHelp(k)) + " |\n";
    ExpectSection("mqtt.md", "mqtt keys", keys);
    namespace mqtt = vimo::mqtt;
    std::string entities = "| Entity (object id after the device's) | Component | device_class | state_class | Unit |\n"
                           "|---|---|---|---|---|\n";
    const auto row = [&entities](const std::string& names, const mqtt::EntityRow& r, const std::string& unit) {
        entities += "| " + names + " | " + r.component + " | " + (r.device_class ? r.device_class : "") + " | " +
                    (r.state_class ? r.state_class : "") + " | " + unit + " |\n";
    };
    for (const mqtt::EntityRow& r : mqtt::kConditionEntities) row("`" + std::string(r.key) + "`", r, "");
    for (const mqtt::EnergyMember& e : mqtt::kEnergyMembers)
        row("`" + std::string(e.key) + "`", {e.key, "sensor", "energy", "total_increasing", "kWh", e.name}, "kWh");
    for (const mqtt::EntityRow& r : mqtt::kMeasureEntities) {
        std::string names, unit;
        for (const novex::monitor::Measure& m : novex::monitor::Measures())
            if (m.scope == novex::monitor::Scope::kUnit && m.id == r.key) {
                names += (names.empty() ? "`" : ", `") + mqtt::MeasureKey(m) + "`";
                unit = r.unit ? r.unit : mqtt::UnitSymbol(m.unit);
            }
        row(names, r, unit);
    }
    ExpectSection("mqtt.md", "mqtt entities", entities);
}

// The Modbus server's address map: the blocks a round reads, then the status block.
TEST(Docs, ModbusAddressMap) {
    namespace mb = novex::mbserver;
    std::string out = "| Function | Addresses | Count | Record bytes |\n|---|---|---|---|\n";
    for (const mb::ServedBlock& b : mb::ServedBlocks())
        out += std::string("| ") + (b.bits ? "01, 02 (bits)" : "04 (input registers)") + " | " +
               std::to_string(b.first) + ".." + std::to_string(b.first + b.count - 1) + " | " +
               std::to_string(b.count) + " | " + std::to_string(b.record_offset) + ".." +
               std::to_string(b.record_offset + b.count * (b.bits ? 1 : 2) - 1) + " |\n";
    ExpectSection("modbus-server.md", "modbus blocks", out);
    std::string status = "| Register | Name | Meaning |\n|---|---|---|\n";
    for (const mb::StatusRegister& r : mb::kStatusRegisters)
        status += "| " + std::to_string(mb::kStatusFirst + r.offset) + " | " + r.name + " | " + Cell(r.meaning) + " |\n";
    ExpectSection("modbus-server.md", "modbus status", status);
}

// Every variable of the map, made from a record in which every measure is present: a
// measure renamed in the monitor's table empties its variables, and the list below
// loses them.
TEST(Docs, ProtocolVariables) {
    namespace monitor = novex::monitor;
    namespace protocol = novex::protocol;
    const NovexUPS_Data_t data = render_test::RandomRecord(7);
    monitor::DecodedRound round;
    std::string error;
    ASSERT_TRUE(monitor::DecodeRecord(reinterpret_cast<const unsigned char*>(&data), sizeof data,
                                      round, error))
        << error;
    monitor::DeviceSnapshot snapshot;
    snapshot.measures = round.measures;
    snapshot.active_alarms = round.alarms;
    protocol::UpsIdentity identity;
    identity.manufacturer = "maker";
    identity.model = "model";
    const std::vector<protocol::Variable> variables =
        protocol::MapVariables(protocol::FiguresOf(snapshot), identity, false);
    std::string out = "| Variable | Description |\n|---|---|\n";
    for (const protocol::Variable& v : variables) {
        const char* description = protocol::VariableDescription(v.name);
        ASSERT_NE(nullptr, description) << v.name;
        EXPECT_FALSE(v.value.empty()) << v.name;
        out += "| `" + v.name + "` | " + Cell(description) + " |\n";
    }
    ExpectSection("ups-protocol.md", "protocol variables", out);
}

// The page's tables and plots name measures by their table names ("['Charge',
// 'battery_charge']", "get('cell_voltage')"): each must be a measure of the table.
TEST(Docs, PageNamesMeasuresOfTheTable) {
    const std::string script = ReadFile(SourceFile("web/assets/app.js"));
    ASSERT_FALSE(script.empty());
    std::set<std::string> measures;
    for (const novex::monitor::Measure& m : novex::monitor::Measures()) measures.insert(m.id);
    // A measure name holds an underscore, which tells it from the phase letters.
    const std::regex uses("\\['[^']*', '([a-z]+_[a-z_]+)[{',\\]]|get\\('([a-z]+_[a-z_]+)'\\)");
    size_t seen = 0;
    for (std::sregex_iterator it(script.begin(), script.end(), uses), end; it != end; ++it) {
        const std::string name = (*it)[1].matched ? (*it)[1].str() : (*it)[2].str();
        EXPECT_TRUE(measures.count(name)) << "web/assets/app.js names " << name;
        ++seen;
    }
    EXPECT_GT(seen, 20u);
}

// The UPS MIB's objects, the power path of each run state and where each of our
// alarms goes, from the mapping's own tables.
TEST(Docs, SnmpMapping) {
    namespace snmp = vimo::snmp;
    static const char* const kTypes[] = {"INTEGER", "Gauge32", "Counter32", "TimeTicks", "text", "OID"};
    std::string objects = "| OID | Object | Type | Made from | Range | While communication is lost |\n"
                          "|---|---|---|---|---|---|\n";
    for (const snmp::ObjectDoc& o : snmp::DocumentedObjects()) {
        const bool text = o.type == snmp::Type::kText;
        objects += "| 1.3.6.1.2.1.33.1." + o.oid + " | " + o.name + " | " +
                   kTypes[static_cast<size_t>(o.type)] + " | " + Cell(o.source) + " | " +
                   (text ? "up to " + std::to_string(o.max) + " characters"
                         : std::to_string(o.min) + ".." + std::to_string(o.max)) +
                   " | " + (o.measured ? "noSuchInstance" : o.name == "upsBatteryStatus" ? "unknown(1)" : "served") +
                   " |\n";
    }
    ExpectSection("snmp.md", "snmp objects", objects);

    std::string states = "| Run state | upsOutputSource | Alarm row |\n|---|---|---|\n";
    static const char* const kSources[] = {"", "other(1)", "none(2)", "normal(3)", "bypass(4)", "battery(5)"};
    for (const snmp::RunStateDoc& r : snmp::DocumentedRunStates())
        states += "| " + r.run_state + " | " + kSources[r.source] + " | " +
                  (r.well_known ? snmp::WellKnownName(r.well_known) : "none") + " |\n";
    ExpectSection("snmp.md", "snmp run states", states);

    std::string ratings = "| Key | Meaning | At most |\n|---|---|---|\n";
    for (const snmp::RatingKey& k : snmp::kRatingKeys)
        ratings += std::string("| \"") + k.key + "\" | " + k.help + " | " +
                   std::to_string(static_cast<long long>(k.max)) + " |\n";
    ExpectSection("snmp.md", "snmp ratings", ratings);

    // A power module's alarms go where the unit's alarm of the same flag goes: one row
    // stands for modules 1 to 10.
    std::string alarms = "| Alarm | Severity | Served as |\n|---|---|---|\n";
    const auto& list = novex::monitor::Alarms();
    for (size_t i = 0; i < list.size(); ++i) {
        const novex::monitor::Alarm& a = list[i];
        if (a.module > 1) continue;
        const std::string id = a.module == 1 ? "moduleN." + a.id.substr(a.id.find('.') + 1) : a.id;
        const int mapped = snmp::WellKnownOf(static_cast<novex::monitor::AlarmIndex>(i));
        alarms += "| " + id + " | " + novex::monitor::SeverityName(a.severity) + " | " +
                  (mapped ? snmp::WellKnownName(mapped) : "not served") + " |\n";
    }
    ExpectSection("snmp.md", "snmp alarms", alarms);
}

// The size of one device's /metrics as the docs give it: a busy UPS (every figure
// present, four modules and thirty cells fitted) at the end of a round.
// The metric families, as /metrics writes them.
TEST(Docs, MetricFamilies) {
    std::string out = "| Family | Type | Series | Meaning |\n|---|---|---|---|\n";
    for (const novex::web::MetricFamilyRow& f : novex::web::MetricFamilies())
        out += "| `" + std::string(f.name) + "` | " + f.type + " | " +
               (f.per_device ? "per device" : "vimohost's") + " | " + Cell(f.help) + " |\n";
    ExpectSection("web-and-metrics.md", "metric families", out);
}

TEST(Docs, MetricsSize) {
    namespace monitor = novex::monitor;
    const NovexUPS_Data_t data = render_test::RandomRecord(7);
    monitor::DecodedRound round;
    std::string error;
    ASSERT_TRUE(monitor::DecodeRecord(reinterpret_cast<const unsigned char*>(&data), sizeof data,
                                      round, error))
        << error;
    auto snapshot = std::make_shared<monitor::DeviceSnapshot>();
    snapshot->device_name = "ups1";
    snapshot->data_id = 1;
    snapshot->measures = round.measures;
    snapshot->last_round_utc = 1714550400;
    snapshot->rounds_completed = 1000;
    snapshot->energy.phase_joules = {1.234567e9, 1.198765e9, 1.256789e9};
    snapshot->energy.counted = true;
    const auto& measures = monitor::Measures();
    for (size_t i = 0; i < measures.size(); ++i) {
        if (measures[i].id == "module_present")
            snapshot->measures[i] = {measures[i].instance <= 4 ? 1.0 : 0.0, true};
        if (measures[i].id == "cell_present") snapshot->measures[i] = {1.0, true};
    }
    novex::web::HostState state;
    state.version = "1.0.0";
    state.devices.push_back({snapshot, 10.0, {}});
    std::string text;
    novex::web::RenderMetrics(state, text);
    size_t alarms = 0, series = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        if (!line.empty() && line[0] != '#') ++series;
        if (line.rfind("ups_alarm_active{", 0) == 0) ++alarms;
        at = end == std::string::npos ? text.size() : end + 1;
    }
    char kb[32], mb[32];
    std::snprintf(kb, sizeof kb, "%.1f", static_cast<double>(text.size()) / 1000.0);
    std::snprintf(mb, sizeof mb, "%.1f", static_cast<double>(text.size()) * 100 / 1e6);
    ExpectSection("web-and-metrics.md", "metrics size",
                  std::string("A device's full exposition (four modules and thirty cells fitted) is about ") +
                      kb + " KB in " + std::to_string(series) + " series, " +
                      std::to_string(alarms) + " of them alarms (`tests/docs_test` Docs.MetricsSize "
                      "makes this line), " + mb +
                      " MB for 100 such UPSes on one vimohost; scrape such a vimohost every 15 s "
                      "or more.\n");
}

}  // namespace
