#include "mqtt/discovery.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/json_writer.h"
#include "core/version.h"
#include "mqtt/state_json.h"
#include "mqtt/topics.h"
#include "registers/ups_registers.h"

namespace vimo {
namespace mqtt {

namespace monitor = novex::monitor;
using novex::JsonWriter;

const EntityRow kMeasureEntities[20] = {
    {"battery_charge", "sensor", "battery", "measurement", nullptr, nullptr},
    {"battery_runtime", "sensor", "duration", "measurement", nullptr, nullptr},
    {"battery_voltage", "sensor", "voltage", "measurement", nullptr, nullptr},
    {"battery_charge_current", "sensor", "current", "measurement", nullptr, nullptr},
    {"battery_discharge_current", "sensor", "current", "measurement", nullptr, nullptr},
    {"battery_temperature", "sensor", "temperature", "measurement", nullptr, nullptr},
    {"ambient_temperature", "sensor", "temperature", "measurement", nullptr, nullptr},
    {"input_voltage", "sensor", "voltage", "measurement", nullptr, nullptr},
    {"input_current", "sensor", "current", "measurement", nullptr, nullptr},
    {"input_frequency", "sensor", "frequency", "measurement", nullptr, nullptr},
    {"input_power_factor", "sensor", "power_factor", "measurement", nullptr, nullptr},
    {"output_voltage", "sensor", "voltage", "measurement", nullptr, nullptr},
    {"output_current", "sensor", "current", "measurement", nullptr, nullptr},
    {"output_frequency", "sensor", "frequency", "measurement", nullptr, nullptr},
    {"output_active_power", "sensor", "power", "measurement", nullptr, nullptr},
    {"output_load", "sensor", nullptr, "measurement", nullptr, nullptr},
    {"bypass_voltage", "sensor", "voltage", "measurement", nullptr, nullptr},
    {"bypass_frequency", "sensor", "frequency", "measurement", nullptr, nullptr},
    {"parallel_output_active_power", "sensor", "power", "measurement", nullptr, nullptr},
    {"parallel_output_apparent_power", "sensor", "apparent_power", "measurement", nullptr, nullptr},
};

const EntityRow kConditionEntities[5] = {
    {"run_state", "sensor", "enum", nullptr, nullptr, "Run state"},
    {"on_battery", "binary_sensor", nullptr, nullptr, nullptr, "On battery"},
    {"battery_low", "binary_sensor", "battery", nullptr, nullptr, "Battery low"},
    {"problem", "binary_sensor", "problem", nullptr, nullptr, "Problem"},
    {"communication", "binary_sensor", "connectivity", nullptr, nullptr, "Communication"},
};

std::string EnglishName(const monitor::Measure& m) {
    const auto matches = [&m](const novex::registers::Measurement& r) {
        if (m.id != r.id) return false;
        return r.label_value == nullptr ? m.labels.empty()
                                        : !m.labels.empty() && m.labels.back().value == r.label_value;
    };
    for (const auto& r : novex::registers::kUnitData)
        if (matches(r)) return r.name;
    for (const auto& r : novex::registers::kParallelData)
        if (matches(r)) return r.name;
    return m.name;
}

namespace {

// The page's address with the device's view: PAGE#<name, percent-encoded>.
std::string PageLink(const std::string& page, const std::string& device) {
    std::string out = page + "#";
    for (unsigned char c : device) {
        if (std::isalnum(c) || std::strchr("-._~", c)) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

struct Common {
    const MqttSettings& settings;
    const DeviceIdentity& device;
    Topics topics;
    std::string node_id;
};

void WriteDevice(JsonWriter& w, const Common& c) {
    w.Key("device").BeginObject().Key("identifiers").BeginArray().String(c.node_id).EndArray();
    w.Key("name").String(c.device.name);
    const std::string& maker = c.device.manufacturer.empty() ? c.settings.manufacturer : c.device.manufacturer;
    const std::string& model = c.device.model.empty() ? c.settings.model : c.device.model;
    if (!maker.empty()) w.Key("manufacturer").String(maker);
    if (!model.empty()) w.Key("model").String(model);
    w.Key("sw_version").String(NOVEX_VERSION);
    if (!c.settings.page_url.empty())
        w.Key("configuration_url").String(PageLink(c.settings.page_url, c.device.name));
    w.EndObject();
    w.Key("origin").BeginObject().Key("name").String("vimohost").Key("sw_version").String(NOVEX_VERSION).EndObject();
}

DiscoveryMessage Config(const Common& c, const EntityRow& row, const std::string& key,
                        const std::string& name, const std::string& unit,
                        const std::string& value_template) {
    const std::string object_id = DiscoveryId(c.device.name) + "_" + key;
    JsonWriter w;
    w.BeginObject().Key("name").String(name);
    // default_entity_id (<component>.<object id>) took the place of object_id in 2025.10.
    w.Key("unique_id").String(c.node_id + "_" + key);
    w.Key("default_entity_id").String(std::string(row.component) + "." + object_id);
    w.Key("state_topic").String(c.topics.State(c.device.name));
    w.Key("value_template").String(value_template);
    if (row.device_class) w.Key("device_class").String(row.device_class);
    if (row.state_class) w.Key("state_class").String(row.state_class);
    if (!unit.empty()) w.Key("unit_of_measurement").String(unit);
    if (std::strcmp(row.key, "run_state") == 0) {
        w.Key("options").BeginArray();
        for (const auto& state : novex::registers::kRunStates) w.String(state.id);
        w.String("invalid").EndArray();
    }
    w.Key("availability").BeginArray();
    w.BeginObject().Key("topic").String(c.topics.Bridge()).EndObject();
    if (std::strcmp(row.key, "communication") != 0)
        w.BeginObject().Key("topic").String(c.topics.Availability(c.device.name)).EndObject();
    w.EndArray().Key("availability_mode").String("all");
    WriteDevice(w, c);
    w.EndObject();
    return {c.settings.discovery_prefix + "/" + row.component + "/" + c.node_id + "/" + object_id + "/config",
            w.text()};
}

std::string ConditionTemplate(const std::string& key) {
    if (key == "run_state") return "{{ value_json.run_state or 'invalid' }}";
    if (key == "communication") return "{{ 'ON' if value_json.communication == 'ok' else 'OFF' }}";
    return "{{ 'ON' if value_json." + key + " else 'OFF' }}";
}

}  // namespace

std::vector<DiscoveryMessage> DiscoveryConfigs(const MqttSettings& settings, const DeviceIdentity& device) {
    const Common c{settings, device, Topics{settings.prefix},
                   DiscoveryId(settings.prefix) + "_" + DiscoveryId(device.name)};
    std::vector<DiscoveryMessage> out;
    for (const EntityRow& row : kConditionEntities)
        out.push_back(Config(c, row, row.key, row.name, row.unit ? row.unit : "", ConditionTemplate(row.key)));
    // The energy counter: what Home Assistant's Energy dashboard takes.
    for (const EnergyMember& e : kEnergyMembers) {
        const EntityRow row{e.key, "sensor", "energy", "total_increasing", "kWh", e.name};
        out.push_back(Config(c, row, e.key, e.name, "kWh",
                             std::string("{{ value_json.measures.") + e.key + ".value if '" + e.key +
                                 "' in value_json.measures else none }}"));
    }
    for (const EntityRow& row : kMeasureEntities)
        for (const monitor::Measure& m : monitor::Measures()) {
            if (m.scope != monitor::Scope::kUnit || m.id != row.key) continue;
            const std::string key = MeasureKey(m);
            out.push_back(Config(c, row, key, EnglishName(m), row.unit ? row.unit : UnitSymbol(m.unit),
                                 "{{ value_json.measures." + key + ".value if '" + key +
                                     "' in value_json.measures else none }}"));
        }
    return out;
}

}  // namespace mqtt
}  // namespace vimo
