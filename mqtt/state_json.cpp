#include "mqtt/state_json.h"

#include <algorithm>
#include <charconv>

#include "core/json_writer.h"
#include "core/time_text.h"
#include "hooks/event_hooks.h"
#include "monitor/alarms.h"

namespace vimo {
namespace mqtt {

namespace monitor = novex::monitor;
using novex::JsonWriter;

std::string MeasureKey(const monitor::Measure& measure) {
    std::string key = measure.id;
    for (const monitor::Label& label : measure.labels) key += "_" + label.value;
    return key;
}

const EnergyMember kEnergyMembers[4] = {
    {"output_energy_a", 0, "Output energy, phase A"},
    {"output_energy_b", 1, "Output energy, phase B"},
    {"output_energy_c", 2, "Output energy, phase C"},
    {"output_energy", -1, "Output energy"},
};

const char* UnitSymbol(monitor::Unit unit) {
    // Indexed by monitor::Unit.
    static const char* const kSymbols[] = {"V", "A", "Hz", "", "%", "W", "VA", "s", "°C", "Ω", "", "", ""};
    static_assert(sizeof kSymbols / sizeof kSymbols[0] == static_cast<size_t>(monitor::Unit::kBoolean) + 1,
                  "one symbol per unit");
    return kSymbols[static_cast<size_t>(unit)];
}

namespace {

// The value of the measure at `i`, if present.
bool Figure(const monitor::DeviceSnapshot& s, size_t i, double& value) {
    if (i >= s.measures.size() || !s.measures[i].present) return false;
    value = s.measures[i].value;
    return true;
}

// Each measure's member of "measures" around its value, made once:
// "input_voltage_a":{"value":  and  ,"unit":"V"}  ("" for a state, which has its own).
struct Fragment {
    std::string before;
    std::string after;
};
const std::vector<Fragment>& Fragments() {
    static const std::vector<Fragment> fragments = [] {
        std::vector<Fragment> out;
        for (const monitor::Measure& m : monitor::Measures()) {
            if (m.unit == monitor::Unit::kState) {
                out.push_back({});
                continue;
            }
            out.push_back({novex::JsonQuote(MeasureKey(m)) + ":{\"value\":",
                           ",\"unit\":" + novex::JsonQuote(UnitSymbol(m.unit)) + "}"});
        }
        return out;
    }();
    return fragments;
}

// A figure at its resolution, as FormatNumber writes it ("-0" as "0"), without printf.
void AppendNumber(std::string& out, double value, int decimals) {
    char text[48];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals).ptr;
    const char* from = text;
    if (text[0] == '-' && std::all_of(text + 1, end, [](char c) { return c == '0' || c == '.'; })) ++from;
    out.append(from, static_cast<size_t>(end - from));
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
    static const size_t kCharge = monitor::FindMeasure("battery_charge");
    static const size_t kRuntime = monitor::FindMeasure("battery_runtime");
    double charge = 0, runtime = 0;
    const bool has_charge = Figure(s, kCharge, charge);
    const bool has_runtime = Figure(s, kRuntime, runtime);
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
    JsonWriter head;
    head.BeginObject().Key("device").String(s.device_name).Key("run_state");
    if (run_state.empty()) head.Null();
    else head.String(run_state);
    head.Key("communication").String(monitor::CommunicationName(s.communication));
    head.Key("stale").Bool(s.stale);
    head.Key("on_battery").Bool(c.on_battery).Key("battery_low").Bool(c.battery_low);
    head.Key("problem").Bool(c.problem).EndObject();
    // Published for every UPS every round: the measures from fragments made once.
    std::string out = head.text();
    out.pop_back();
    out.reserve(8192);
    out += ",\"measures\":{";
    const std::vector<monitor::Measure>& measures = monitor::Measures();
    const std::vector<Fragment>& fragments = Fragments();
    bool first = true;
    for (size_t i = 0; i < s.measures.size() && i < measures.size(); ++i) {
        if (!s.measures[i].present || fragments[i].before.empty()) continue;
        if (!first) out += ',';
        first = false;
        out += fragments[i].before;
        AppendNumber(out, s.measures[i].value, measures[i].decimals);
        out += fragments[i].after;
    }
    if (s.energy.counted)
        for (const EnergyMember& e : kEnergyMembers) {
            const double joules =
                e.phase < 0 ? s.energy.total_joules : s.energy.phase_joules[static_cast<size_t>(e.phase)];
            out += std::string(first ? "" : ",") + "\"" + e.key + "\":{\"value\":";
            AppendNumber(out, monitor::KilowattHours(joules), 3);
            out += ",\"unit\":\"kWh\"}";
            first = false;
        }
    out += "},\"alarms\":";
    JsonWriter w;
    w.BeginArray();
    const std::vector<monitor::Alarm>& alarms = monitor::Alarms();
    for (monitor::AlarmIndex a : s.active_alarms) {
        w.BeginObject().Key("id").String(alarms[a].id);
        w.Key("severity").String(monitor::SeverityName(alarms[a].severity));
        w.Key("description").String(alarms[a].description).EndObject();
    }
    w.EndArray();
    return out + w.text() + "}";
}

std::string WithTime(const std::string& body, int64_t utc) {
    if (body.size() < 2) return body;
    const std::string time = utc > 0 ? novex::JsonQuote(novex::LocalIsoText(utc)) : "null";
    std::string out;
    out.reserve(body.size() + time.size() + 10);
    out.append(body, 0, body.size() - 1).append(",\"time\":").append(time).append("}");
    return out;
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
