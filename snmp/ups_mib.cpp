// The object table of the UPS MIB and the alarm mapping.
#include "snmp/ups_mib.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <set>

#include "monitor/battery_low.h"

namespace vimo {
namespace snmp {

namespace monitor = novex::monitor;

const Oid kUpsMib = {1, 3, 6, 1, 2, 1, 33};
const Oid kUpsObjects = {1, 3, 6, 1, 2, 1, 33, 1};
const Oid kWellKnownAlarms = {1, 3, 6, 1, 2, 1, 33, 1, 6, 3};
const Oid kTrapOnBattery = {1, 3, 6, 1, 2, 1, 33, 2, 1};
const Oid kTrapAlarmAdded = {1, 3, 6, 1, 2, 1, 33, 2, 3};
const Oid kTrapAlarmRemoved = {1, 3, 6, 1, 2, 1, 33, 2, 4};
const Oid kAlarmIdColumn = {1, 3, 6, 1, 2, 1, 33, 1, 6, 2, 1, 1};
const Oid kAlarmDescrColumn = {1, 3, 6, 1, 2, 1, 33, 1, 6, 2, 1, 2};

namespace {

// How an object is made.
enum class Make : unsigned char {
    kManufacturer,      // identity texts
    kModel,
    kUpsSoftware,       // the UPS reports no firmware version: empty
    kAgentSoftware,
    kName,
    kAttached,
    kConstant,          // the inputs column is the number
    kCopy,              // the one input, times the scale
    kMean,              // mean of the present inputs, times the scale
    kProduct,           // product of all inputs (all present), times the scale
    kMinutes,           // seconds of the input as whole minutes
    kBatteryCurrent,    // mean charge current less mean discharge current
    kBatteryStatus,     // from charge, runtime, run state and alarms
    kSecondsOnBattery,  // counted from the run state
    kLineBads,          // counted from the run state
    kOutputSource,      // from the run state
    kAlarmsPresent,     // rows of the alarm table
    kRating,            // the device's "ratings" entry the inputs column names
    kLowBattTime,       // "battery_runtime_low" in whole minutes
};

constexpr int64_t kIntMax = INT32_MAX;
constexpr int64_t kIntMin = INT32_MIN;
constexpr int64_t kUintMax = UINT32_MAX;

// Columns: OID under upsObjects (upsMIB.1); name; type; how it is made; inputs,
// separated by spaces: measure names, a name ending in '{' for every labelled
// instance; scale (the MIB's unit per base unit: 10 for 0.1 V); range (a text's
// longest length); measured: left out while the figures are not fresh.
//
// Line n of the three tables is phase a, b, c. Input true power is voltage times
// current times power factor of the phase: the UPS reports no input power of its own.
// The battery's voltage is the mean of its two strings, as the other faces show it.
struct ObjectRow {
    const char* oid;
    const char* name;
    Type type;
    Make make;
    const char* inputs;
    double scale;
    int64_t min;
    int64_t max;
    bool measured;
};
#define LINES(prefix, column, name, make, measure, scale, min, max)                             \
    {prefix ".1." column ".1", name, Type::kInteger, make, measure "{phase=\"a\"}", scale, min, max, true}, \
    {prefix ".1." column ".2", name, Type::kInteger, make, measure "{phase=\"b\"}", scale, min, max, true}, \
    {prefix ".1." column ".3", name, Type::kInteger, make, measure "{phase=\"c\"}", scale, min, max, true}
// The unit's one figure on each line (the UPS measures one frequency for all phases).
#define EACH_LINE(prefix, column, name, measure, scale)                                          \
    {prefix ".1." column ".1", name, Type::kInteger, Make::kCopy, measure, scale, 0, kIntMax, true}, \
    {prefix ".1." column ".2", name, Type::kInteger, Make::kCopy, measure, scale, 0, kIntMax, true}, \
    {prefix ".1." column ".3", name, Type::kInteger, Make::kCopy, measure, scale, 0, kIntMax, true}
#define INDEX(prefix, name)                                                      \
    {prefix ".1.1.1", name, Type::kInteger, Make::kConstant, "1", 1, 1, 3, true}, \
    {prefix ".1.1.2", name, Type::kInteger, Make::kConstant, "2", 1, 1, 3, true}, \
    {prefix ".1.1.3", name, Type::kInteger, Make::kConstant, "3", 1, 1, 3, true}
#define TRUE_POWER(line, phase)                                                             \
    {"3.3.1.5." line, "upsInputTruePower", Type::kInteger, Make::kProduct,                  \
     "input_voltage{phase=\"" phase "\"} input_current{phase=\"" phase "\"} "               \
     "input_power_factor{phase=\"" phase "\"}", 1, 0, kIntMax, true}
const ObjectRow kObjects[] = {
    {"1.1.0", "upsIdentManufacturer", Type::kText, Make::kManufacturer, "", 1, 0, 31, false},
    {"1.2.0", "upsIdentModel", Type::kText, Make::kModel, "", 1, 0, 63, false},
    {"1.3.0", "upsIdentUPSSoftwareVersion", Type::kText, Make::kUpsSoftware, "", 1, 0, 63, false},
    {"1.4.0", "upsIdentAgentSoftwareVersion", Type::kText, Make::kAgentSoftware, "", 1, 0, 63, false},
    {"1.5.0", "upsIdentName", Type::kText, Make::kName, "", 1, 0, 63, false},
    {"1.6.0", "upsIdentAttachedDevices", Type::kText, Make::kAttached, "", 1, 0, 63, false},
    {"2.1.0", "upsBatteryStatus", Type::kInteger, Make::kBatteryStatus, "", 1, 1, 4, false},
    {"2.2.0", "upsSecondsOnBattery", Type::kInteger, Make::kSecondsOnBattery, "", 1, 0, kIntMax, true},
    // 0 at a depleted battery, as the UPS protocol's battery.runtime says, below the MIB's
    // PositiveInteger: a manager reading 1 would wait a minute more.
    {"2.3.0", "upsEstimatedMinutesRemaining", Type::kInteger, Make::kMinutes, "battery_runtime", 1, 0, kIntMax, true},
    {"2.4.0", "upsEstimatedChargeRemaining", Type::kInteger, Make::kCopy, "battery_charge", 1, 0, 100, true},
    {"2.5.0", "upsBatteryVoltage", Type::kInteger, Make::kMean, "battery_voltage{", 10, 0, kIntMax, true},
    {"2.6.0", "upsBatteryCurrent", Type::kInteger, Make::kBatteryCurrent, "", 10, kIntMin, kIntMax, true},
    {"2.7.0", "upsBatteryTemperature", Type::kInteger, Make::kCopy, "battery_temperature", 1, kIntMin, kIntMax, true},
    {"3.1.0", "upsInputLineBads", Type::kCounter, Make::kLineBads, "", 1, 0, kUintMax, false},
    {"3.2.0", "upsInputNumLines", Type::kInteger, Make::kConstant, "3", 1, 0, kIntMax, false},
    INDEX("3.3", "upsInputLineIndex"),
    EACH_LINE("3.3", "2", "upsInputFrequency", "input_frequency", 10),
    LINES("3.3", "3", "upsInputVoltage", Make::kCopy, "input_voltage", 1, 0, kIntMax),
    LINES("3.3", "4", "upsInputCurrent", Make::kCopy, "input_current", 10, 0, kIntMax),
    TRUE_POWER("1", "a"), TRUE_POWER("2", "b"), TRUE_POWER("3", "c"),
    {"4.1.0", "upsOutputSource", Type::kInteger, Make::kOutputSource, "", 1, 1, 7, true},
    {"4.2.0", "upsOutputFrequency", Type::kInteger, Make::kCopy, "output_frequency", 10, 0, kIntMax, true},
    {"4.3.0", "upsOutputNumLines", Type::kInteger, Make::kConstant, "3", 1, 0, kIntMax, false},
    INDEX("4.4", "upsOutputLineIndex"),
    LINES("4.4", "2", "upsOutputVoltage", Make::kCopy, "output_voltage", 1, 0, kIntMax),
    LINES("4.4", "3", "upsOutputCurrent", Make::kCopy, "output_current", 10, 0, kIntMax),
    LINES("4.4", "4", "upsOutputPower", Make::kCopy, "output_active_power", 1, 0, kIntMax),
    LINES("4.4", "5", "upsOutputPercentLoad", Make::kCopy, "output_load", 1, 0, 200),
    {"5.1.0", "upsBypassFrequency", Type::kInteger, Make::kCopy, "bypass_frequency", 10, 0, kIntMax, true},
    {"5.2.0", "upsBypassNumLines", Type::kInteger, Make::kConstant, "3", 1, 0, kIntMax, false},
    INDEX("5.3", "upsBypassLineIndex"),
    LINES("5.3", "2", "upsBypassVoltage", Make::kCopy, "bypass_voltage", 1, 0, kIntMax),
    {"6.1.0", "upsAlarmsPresent", Type::kGauge, Make::kAlarmsPresent, "", 1, 0, kUintMax, false},
    {"9.1.0", "upsConfigInputVoltage", Type::kInteger, Make::kRating, "input_voltage", 1, 0, kIntMax, false},
    {"9.2.0", "upsConfigInputFreq", Type::kInteger, Make::kRating, "input_frequency", 10, 0, kIntMax, false},
    {"9.3.0", "upsConfigOutputVoltage", Type::kInteger, Make::kRating, "output_voltage", 1, 0, kIntMax, false},
    {"9.4.0", "upsConfigOutputFreq", Type::kInteger, Make::kRating, "output_frequency", 10, 0, kIntMax, false},
    {"9.5.0", "upsConfigOutputVA", Type::kInteger, Make::kRating, "output_va", 1, 0, kIntMax, false},
    {"9.6.0", "upsConfigOutputPower", Type::kInteger, Make::kRating, "output_power", 1, 0, kIntMax, false},
    // vimohost declares a low battery by its charge ("battery_charge_low") and, when
    // set, by the remaining time ("battery_runtime_low"): 0 when it is not set.
    {"9.7.0", "upsConfigLowBattTime", Type::kInteger, Make::kLowBattTime, "", 1, 0, kIntMax, false},
};
#undef LINES
#undef INDEX
#undef EACH_LINE
#undef TRUE_POWER
static_assert(sizeof kObjects / sizeof kObjects[0] == 64, "rows of the object table");

// The well-known alarms and their names. Columns: number under upsWellKnownAlarms, name.
struct WellKnownRow {
    int number;
    const char* name;
};
const WellKnownRow kWellKnown[] = {
    {kBatteryBad, "upsAlarmBatteryBad"},
    {kOnBattery, "upsAlarmOnBattery"},
    {kLowBattery, "upsAlarmLowBattery"},
    {kDepletedBattery, "upsAlarmDepletedBattery"},
    {kTempBad, "upsAlarmTempBad"},
    {kInputBad, "upsAlarmInputBad"},
    {kOutputBad, "upsAlarmOutputBad"},
    {kOutputOverload, "upsAlarmOutputOverload"},
    {kOnBypass, "upsAlarmOnBypass"},
    {kBypassBad, "upsAlarmBypassBad"},
    {kChargerFailed, "upsAlarmChargerFailed"},
    {kUpsOutputOff, "upsAlarmUpsOutputOff"},
    {kFanFailure, "upsAlarmFanFailure"},
    {kFuseFailure, "upsAlarmFuseFailure"},
    {kGeneralFault, "upsAlarmGeneralFault"},
    {kCommunicationsLost, "upsAlarmCommunicationsLost"},
    {kTestInProgress, "upsAlarmTestInProgress"},
};
static_assert(sizeof kWellKnown / sizeof kWellKnown[0] == 17, "rows of the well-known table");

// Our alarms that fit a well-known one. Columns: alarm id (a unit alarm's, and the
// same flag of every power module: "fan_fault" serves "module3.fan_fault" too),
// well-known alarm. Any other critical alarm is upsAlarmGeneralFault, since a part
// of the UPS failed; any other warning or notice is not served, as the MIB has no
// alarm for it and an NMS would read a general fault.
struct AlarmMapRow {
    const char* alarm;
    int well_known;
};
const AlarmMapRow kAlarmMap[] = {
    {"battery_voltage_low", kLowBattery},
    {"battery_missing", kBatteryBad},
    {"battery_reversed", kBatteryBad},
    {"battery_voltage_high", kBatteryBad},
    {"negative_charger_fault", kChargerFailed},
    {"positive_charger_fault", kChargerFailed},
    {"charger_fault", kChargerFailed},
    {"battery_charge_thyristor_fault", kChargerFailed},
    {"mains_voltage_abnormal", kInputBad},
    {"mains_frequency_abnormal", kInputBad},
    {"input_neutral_missing", kInputBad},
    {"input_phase_sequence_reversed", kInputBad},
    {"overload", kOutputOverload},
    {"parallel_overload", kOutputOverload},
    {"bypass_overcurrent", kOutputOverload},
    {"bypass_out_of_protection_range", kBypassBad},
    {"bypass_out_of_tracking_range", kBypassBad},
    {"bypass_phase_sequence_reversed", kBypassBad},
    {"not_synchronized", kBypassBad},
    {"fan_fault", kFanFailure},
    {"fan_supply_fault", kFanFailure},
    {"fuse_blown", kFuseFailure},
    {"inverter_overtemperature", kTempBad},
    {"rectifier_overtemperature", kTempBad},
    {"inverter_dc_offset_high", kOutputBad},
    {"communication_lost", kCommunicationsLost},
    // The run state's own alarms name the power path, as the run state table does.
    {"run_state.standby", kUpsOutputOff},
    {"run_state.no_output", kUpsOutputOff},
    {"run_state.on_bypass", kOnBypass},
    {"run_state.on_battery", kOnBattery},
    {"run_state.battery_test", kTestInProgress},
    {"run_state.emergency_power_off", kUpsOutputOff},
    {"run_state.maintenance_bypass", kOnBypass},
    {"run_state.fault", kUpsOutputOff},
};
static_assert(sizeof kAlarmMap / sizeof kAlarmMap[0] == 34, "rows of the alarm map");

// The power path of each run state. Columns: run state id, upsOutputSource
// (other 1, none 2, normal 3, bypass 4, battery 5), the well-known alarm it raises.
// A battery test feeds the load from the battery, as the UPS protocol's OB says too;
// eco mode is the UPS's normal way of running, so it reads normal as there.
struct RunStateRow {
    const char* run_state;
    int source;
    int well_known;
};
const RunStateRow kRunStates[] = {
    {"initializing", 1, kNoWellKnown},
    {"standby", 2, kUpsOutputOff},
    {"no_output", 2, kUpsOutputOff},
    {"on_bypass", 4, kOnBypass},
    {"on_mains", 3, kNoWellKnown},
    {"on_battery", 5, kOnBattery},
    {"battery_test", 5, kOnBattery},
    {"inverter_starting", 3, kNoWellKnown},
    {"eco_mode", 3, kNoWellKnown},
    {"emergency_power_off", 2, kUpsOutputOff},
    {"maintenance_bypass", 4, kOnBypass},
    {"fault", 2, kUpsOutputOff},
};
static_assert(sizeof kRunStates / sizeof kRunStates[0] == monitor::kRunStateCount,
              "one row per run state");

enum BatteryStatus : int { kUnknown = 1, kNormal = 2, kLow = 3, kDepleted = 4 };

Oid ParseOid(const std::string& text, const Oid& base) {
    Oid out = base;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('.', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(static_cast<uint32_t>(std::stoul(text.substr(start, end - start))));
        start = end + 1;
    }
    return out;
}

// The present unit figures of a snapshot by measure name, and its run state.
struct Figures {
    std::map<std::string, double> values;
    std::string run_state;

    explicit Figures(const monitor::DeviceSnapshot& s) {
        const std::vector<monitor::Measure>& measures = monitor::Measures();
        for (size_t i = 0; i < s.measures.size() && i < measures.size(); ++i) {
            const monitor::Measure& m = measures[i];
            if (!s.measures[i].present || m.scope != monitor::Scope::kUnit) continue;
            if (m.unit == monitor::Unit::kState)
                run_state = monitor::FormatValue(m, s.measures[i]);
            else
                values[m.name] = s.measures[i].value;
        }
    }

    // The figures an inputs column names; absent ones are left out.
    std::vector<double> Inputs(const std::string& inputs) const {
        std::vector<double> found;
        for (size_t start = 0; start < inputs.size();) {
            size_t end = inputs.find(' ', start);
            if (end == std::string::npos) end = inputs.size();
            const std::string name = inputs.substr(start, end - start);
            start = end + 1;
            if (name.back() == '{') {
                for (auto it = values.lower_bound(name);
                     it != values.end() && it->first.compare(0, name.size(), name) == 0; ++it)
                    found.push_back(it->second);
                continue;
            }
            const auto it = values.find(name);
            if (it != values.end()) found.push_back(it->second);
        }
        return found;
    }

    bool Has(const char* name, double& value) const {
        const auto it = values.find(name);
        if (it == values.end()) return false;
        value = it->second;
        return true;
    }

    double Mean(const char* inputs) const {
        const std::vector<double> v = Inputs(inputs);
        double sum = 0;
        for (double x : v) sum += x;
        return v.empty() ? 0.0 : sum / static_cast<double>(v.size());
    }
};

const RunStateRow* RunStateOf(const std::string& run_state) {
    for (const RunStateRow& row : kRunStates)
        if (run_state == row.run_state) return &row;
    return nullptr;
}

bool OnBattery(const Figures& f) {
    const RunStateRow* row = RunStateOf(f.run_state);
    return row != nullptr && row->source == 5;
}

int BatteryStatusOf(const monitor::DeviceSnapshot& s, const Figures& f, const UpsIdentity& identity) {
    double charge = 0, runtime = 0;
    if (!Fresh(s) || !f.Has("battery_charge", charge)) return kUnknown;
    if (charge <= 0 || (OnBattery(f) && f.Has("battery_runtime", runtime) && runtime <= 0))
        return kDepleted;
    const size_t low_alarm = monitor::FindAlarm("battery_voltage_low");
    const bool has_runtime = f.Has("battery_runtime", runtime);
    if (monitor::BatteryLow(true, charge, has_runtime, runtime,
                            {identity.battery_charge_low, identity.battery_runtime_low}) ||
        (low_alarm < monitor::kAlarmCount &&
         monitor::IsActive(s, static_cast<monitor::AlarmIndex>(low_alarm))))
        return kLow;
    return kNormal;
}

// The well-known alarms a fresh round shows, sorted.
std::vector<int> WellKnownNow(const monitor::DeviceSnapshot& s, const Figures& f,
                              const UpsIdentity& identity) {
    std::set<int> now;
    for (monitor::AlarmIndex a : s.active_alarms)
        if (WellKnownOf(a) != kNoWellKnown) now.insert(WellKnownOf(a));
    const RunStateRow* row = RunStateOf(f.run_state);
    if (row != nullptr && row->well_known != kNoWellKnown) now.insert(row->well_known);
    if (f.run_state == "battery_test") now.insert(kTestInProgress);
    const int battery = BatteryStatusOf(s, f, identity);
    if (battery == kLow) now.insert(kLowBattery);
    if (battery == kDepleted) now.insert(kDepletedBattery);
    return {now.begin(), now.end()};
}

// `value` times `scale`, rounded, within the row's range; false for no number at all.
bool Scaled(const ObjectRow& row, double value, int64_t& out) {
    const double scaled = std::round(value * row.scale);
    if (!std::isfinite(scaled)) return false;
    out = static_cast<int64_t>(std::clamp(scaled, static_cast<double>(row.min),
                                          static_cast<double>(row.max)));
    return true;
}

std::string Clipped(const std::string& text, int64_t max) {
    return text.size() > static_cast<size_t>(max) ? text.substr(0, static_cast<size_t>(max)) : text;
}

}  // namespace

const char* WellKnownName(int well_known) {
    for (const WellKnownRow& row : kWellKnown)
        if (row.number == well_known) return row.name;
    return "";
}

int WellKnownOf(monitor::AlarmIndex alarm) {
    // Built once: the alarm list never changes.
    static const std::vector<int> kMapped = [] {
        std::vector<int> out;
        for (const monitor::Alarm& a : monitor::Alarms()) {
            const std::string base = a.module > 0 ? a.id.substr(a.id.find('.') + 1) : a.id;
            int mapped = a.severity == monitor::Severity::kCritical ? kGeneralFault : kNoWellKnown;
            for (const AlarmMapRow& row : kAlarmMap)
                if (base == row.alarm) mapped = row.well_known;
            out.push_back(mapped);
        }
        return out;
    }();
    return alarm < kMapped.size() ? kMapped[alarm] : kNoWellKnown;
}

bool Fresh(const monitor::DeviceSnapshot& s) {
    return !s.stale && s.rounds_completed > 0 && !s.measures.empty() &&
           s.communication == monitor::Communication::kOk;
}

RoundNews TakeRound(DeviceTrack& track, const monitor::DeviceSnapshot& s,
                    const UpsIdentity& identity, double now_seconds, uint32_t uptime) {
    RoundNews news;
    std::vector<int> now;
    if (Fresh(s)) {
        const Figures f(s);
        const bool on_battery = OnBattery(f);
        if (on_battery && !track.on_battery) {
            news.went_on_battery = true;
            track.on_battery_since = now_seconds;
            if (f.run_state == "on_battery") ++track.line_bads;  // a test is no line bad
        }
        track.on_battery = on_battery;
        now = track.last_known = WellKnownNow(s, f, identity);
    } else {
        now = track.last_known;
    }
    const bool lost = s.communication == monitor::Communication::kLost ||
                      monitor::IsActive(s, monitor::kCommunicationLost);
    if (lost && std::find(now.begin(), now.end(), kCommunicationsLost) == now.end())
        now.push_back(kCommunicationsLost);

    std::vector<AlarmRow> kept;
    for (const AlarmRow& row : track.alarms) {
        if (std::find(now.begin(), now.end(), row.well_known) != now.end())
            kept.push_back(row);
        else
            news.removed.push_back(row);
    }
    for (int well_known : now) {
        const bool present = std::any_of(kept.begin(), kept.end(), [&](const AlarmRow& r) {
            return r.well_known == well_known;
        });
        if (present) continue;
        const AlarmRow row{track.next_alarm_id, well_known, uptime};
        // upsAlarmId is a PositiveInteger: after 2^31 - 1 raises it starts again at 1.
        track.next_alarm_id = track.next_alarm_id >= kIntMax ? 1 : track.next_alarm_id + 1;
        kept.push_back(row);
        news.added.push_back(row);
    }
    track.alarms = kept;
    return news;
}

View MapUpsMib(const monitor::DeviceSnapshot& s, const UpsIdentity& identity,
               const DeviceTrack& track, double now_seconds) {
    View view;
    const Figures f(s);
    const bool fresh = Fresh(s);
    for (const ObjectRow& row : kObjects) {
        if (row.measured && !fresh) continue;
        Value v;
        v.type = row.type;
        const std::vector<double> inputs =
            row.make == Make::kRating ? std::vector<double>() : f.Inputs(row.inputs);
        int64_t n = 0;
        bool have = true;
        switch (row.make) {
            case Make::kManufacturer: v.text = identity.manufacturer; break;
            case Make::kModel: v.text = identity.model; break;
            case Make::kUpsSoftware: break;
            case Make::kAgentSoftware: v.text = identity.agent_version; break;
            case Make::kName: v.text = identity.name; break;
            case Make::kAttached: v.text = identity.attached_devices; break;
            case Make::kConstant: have = Scaled(row, std::stod(row.inputs), n); break;
            case Make::kCopy:
                have = inputs.size() == 1 && Scaled(row, inputs[0], n);
                break;
            case Make::kMean: have = !inputs.empty() && Scaled(row, f.Mean(row.inputs), n); break;
            case Make::kProduct: {
                double product = 1;
                for (double x : inputs) product *= x;
                have = inputs.size() == 3 && Scaled(row, product, n);
                break;
            }
            // Whole minutes, and at least 1 (the MIB's PositiveInteger) while any
            // runtime is left; none left shows as a depleted battery.
            case Make::kMinutes: have = inputs.size() == 1 && Scaled(row, std::floor(inputs[0] / 60), n); break;
            case Make::kBatteryCurrent: {
                const bool any = !f.Inputs("battery_charge_current{").empty() ||
                                 !f.Inputs("battery_discharge_current{").empty();
                have = any && Scaled(row, f.Mean("battery_charge_current{") -
                                              f.Mean("battery_discharge_current{"), n);
                break;
            }
            case Make::kBatteryStatus: n = BatteryStatusOf(s, f, identity); break;
            case Make::kSecondsOnBattery:
                have = Scaled(row, track.on_battery ? now_seconds - track.on_battery_since : 0, n);
                break;
            case Make::kLineBads: n = track.line_bads; break;
            case Make::kOutputSource: {
                const RunStateRow* state = RunStateOf(f.run_state);
                n = state != nullptr ? state->source : 1;
                break;
            }
            case Make::kAlarmsPresent: n = static_cast<int64_t>(track.alarms.size()); break;
            case Make::kLowBattTime: n = identity.battery_runtime_low / 60; break;
            case Make::kRating: {
                const auto it = identity.ratings.find(row.inputs);
                have = it != identity.ratings.end() && Scaled(row, it->second, n);
                break;
            }
        }
        if (!have) continue;
        if (row.type == Type::kText) v.text = Clipped(v.text, row.max);
        v.number = n;
        view[ParseOid(row.oid, kUpsObjects)] = v;
    }
    for (const AlarmRow& row : track.alarms) {
        const uint32_t id = row.id;
        Oid oid = ParseOid("6.2.1.1", kUpsObjects);
        oid.push_back(id);
        view[oid] = {Type::kInteger, id, "", {}};
        oid[oid.size() - 2] = 2;
        Oid descr = kWellKnownAlarms;
        descr.push_back(static_cast<uint32_t>(row.well_known));
        view[oid] = {Type::kOid, 0, "", descr};
        oid[oid.size() - 2] = 3;
        view[oid] = {Type::kTimeTicks, row.raised_at, "", {}};
    }
    return view;
}

std::string OidText(const Oid& oid) {
    std::string out;
    for (uint32_t part : oid) out += (out.empty() ? "" : ".") + std::to_string(part);
    return out;
}

std::vector<RunStateDoc> DocumentedRunStates() {
    std::vector<RunStateDoc> out;
    for (const RunStateRow& row : kRunStates) out.push_back({row.run_state, row.source, row.well_known});
    return out;
}

std::vector<ObjectDoc> DocumentedObjects() {
    std::vector<ObjectDoc> out;
    static const char* const kMakes[] = {
        "\"manufacturer\" of the device",  "\"model\" of the device", "empty: the UPS reports none",
        "vimohost's version",              "the device's name",       "\"attached_devices\" of the device",
        "",                                "",                        "mean of ",
        "product of ",                     "whole minutes of ",
        "mean charge current less mean discharge current of the strings",
        ("unknown while the figures are not fresh, depleted at no charge (or no runtime on "
         "battery), low at or below \"battery_charge_low\" or \"battery_runtime_low\" or on "
         "battery_voltage_low, else normal"),
        "counted by vimohost from the run state",
        ("transfers to battery (run state on_battery) since vimohost started"),
        "from the run state (the run state table)", "rows of the alarm table",
        "\"ratings\" of the device: ",
        "\"battery_runtime_low\" of the device in whole minutes (0: not set)",
    };
    static_assert(sizeof kMakes / sizeof kMakes[0] == static_cast<size_t>(Make::kLowBattTime) + 1,
                  "one text per way of making");
    for (const ObjectRow& row : kObjects) {
        std::string source = kMakes[static_cast<size_t>(row.make)];
        if (row.make == Make::kConstant)
            source = std::string("always ") + row.inputs;
        else
            source += row.inputs;
        if (!source.empty() && source.back() == '{') source += "...} (both strings)";
        if (row.scale != 1) source += " × " + std::to_string(static_cast<int>(row.scale));
        out.push_back({row.oid, row.name, source, row.min, row.max, row.type, row.measured});
    }
    return out;
}

}  // namespace snmp
}  // namespace vimo
