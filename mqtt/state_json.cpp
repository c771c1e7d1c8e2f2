#include "mqtt/state_json.h"

#include "common/json_writer.h"
#include "common/time_text.h"
#include "hooks/event_hooks.h"
#include "monitor/alarms.h"

namespace vimo {
namespace mqtt {

namespace monitor = novex::monitor;
using novex::web::JsonWriter;

std::string MeasureKey(const monitor::Measure& measure) {
    std::string key = measure.id;
    for (const monitor::Label& label : measure.labels) key += "_" + label.value;
    return key;
}

const char* UnitSymbol(monitor::Unit unit) {
    // Indexed by monitor::Unit.
    static const char* const kSymbols[] = {"V", "A", "Hz", "", "%", "W", "VA", "s", "°C", "Ω", "", "", ""};
    static_assert(sizeof kSymbols / sizeof kSymbols[0] == static_cast<size_t>(monitor::Unit::kBoolean) + 1,
                  "one symbol per unit");
    return kSymbols[static_cast<size_t>(unit)];
}

namespace {

// The value of the unit's measure `name`, if present.
bool Figure(const monitor::DeviceSnapshot& s, const char* name, double& value) {
    const size_t i = monitor::FindMeasure(name);
    if (i >= s.measures.size() || !s.measures[i].present) return false;
    value = s.measures[i].value;
    return true;
}

}  // namespace

std::string RunStateOf(const monitor::DeviceSnapshot& s) {
    static const size_t kRunState = monitor::FindMeasure("run_state");
    if (kRunState >= s.measures.size() || !s.measures[kRunState].present) return "";
    return monitor::FormatValue(monitor::Measures()[kRunState], s.measures[kRunState]);
}

Conditions ConditionsOf(const monitor::DeviceSnapshot& s, const monitor::LowBatteryLimits& limits) {
    Conditions c;
    c.on_battery = RunStateOf(s) == "on_battery";
    double charge = 0, runtime = 0;
    const bool has_charge = Figure(s, "battery_charge", charge);
    const bool has_runtime = Figure(s, "battery_runtime", runtime);
    c.battery_low = monitor::BatteryLow(has_charge, charge, has_runtime, runtime, limits);
    const std::vector<monitor::Alarm>& alarms = monitor::Alarms();
    for (monitor::AlarmIndex a : s.active_alarms)
        if (a != monitor::kCommunicationLost && alarms[a].severity == monitor::Severity::kCritical)
            c.problem = true;
    return c;
}

std::string StateBody(const monitor::DeviceSnapshot& s, const monitor::LowBatteryLimits& limits) {
    const Conditions c = ConditionsOf(s, limits);
    const std::string run_state = RunStateOf(s);
    JsonWriter w;
    w.BeginObject().Key("device").String(s.device_name).Key("run_state");
    if (run_state.empty()) w.Null();
    else w.String(run_state);
    w.Key("communication").String(monitor::CommunicationName(s.communication));
    w.Key("stale").Bool(s.stale);
    w.Key("on_battery").Bool(c.on_battery).Key("battery_low").Bool(c.battery_low);
    w.Key("problem").Bool(c.problem);
    w.Key("measures").BeginObject();
    const std::vector<monitor::Measure>& measures = monitor::Measures();
    for (size_t i = 0; i < s.measures.size() && i < measures.size(); ++i) {
        const monitor::Measure& m = measures[i];
        if (!s.measures[i].present || m.unit == monitor::Unit::kState) continue;
        w.Key(MeasureKey(m)).BeginObject().Key("value").Number(monitor::FormatValue(m, s.measures[i]));
        w.Key("unit").String(UnitSymbol(m.unit)).EndObject();
    }
    w.EndObject().Key("alarms").BeginArray();
    const std::vector<monitor::Alarm>& alarms = monitor::Alarms();
    for (monitor::AlarmIndex a : s.active_alarms) {
        w.BeginObject().Key("id").String(alarms[a].id);
        w.Key("severity").String(monitor::SeverityName(alarms[a].severity));
        w.Key("description").String(alarms[a].description).EndObject();
    }
    w.EndArray().EndObject();
    return w.text();
}

std::string WithTime(const std::string& body, int64_t utc) {
    if (body.size() < 2) return body;
    const std::string time = utc > 0 ? novex::web::JsonQuote(novex::LocalIsoText(utc)) : "null";
    return body.substr(0, body.size() - 1) + ",\"time\":" + time + "}";
}

std::string EventJson(const AlarmEvent& event) { return RoundLine(event); }

std::string RunStateEventJson(const std::string& device, uint32_t data_id, const std::string& from,
                              const std::string& to, int64_t utc) {
    JsonWriter w;
    w.BeginObject().Key("device").String(device).Key("data_id").Number(static_cast<double>(data_id));
    w.Key("event").String("run_state").Key("from").String(from).Key("to").String(to);
    w.Key("time").String(novex::LocalIsoText(utc)).EndObject();
    return w.text();
}

}  // namespace mqtt
}  // namespace vimo
