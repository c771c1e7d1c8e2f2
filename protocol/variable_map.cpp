// The variable table and ups.status.
#include "protocol/variable_map.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "monitor/battery_low.h"

namespace novex {
namespace protocol {

namespace {

// How a variable is made.
enum class Make : unsigned char {
    kCopy,          // the one input as it is
    kMean,          // mean of the present inputs
    kSum,           // sum of the present inputs
    kMax,           // largest of the present inputs
    kProduct,       // product of the two inputs
    kConstant,      // the inputs column is the value
    kStatus,        // ups.status from run state, alarms, battery, forced shutdown
    kAlarms,        // ups.alarm: the active alarm ids
    kChargeLow,     // the configured low-battery charge
    kRuntimeLow,    // the configured low-battery runtime
    kManufacturer,  // from the configuration
    kModel,         // from the configuration
};

// Columns: variable; how it is made; inputs, separated by spaces: a measure's name,
// a name ending in '{' for every labelled instance of that measure (every phase,
// every module), or a variable of an earlier row; digits after the point (-1: those
// of the first input); description.
//
// Per-phase apparent power is voltage times current of the phase, which is what
// apparent power is; the UPS reports no unit apparent power of its own (only a
// parallel system's totals). ups.temperature is the hottest power module stage, the
// unit's own temperature as far as the UPS measures it. battery.voltage is the mean of
// the positive and negative strings, as the UPS's panel shows a string's voltage.
struct VariableRow {
    const char* name;
    Make make;
    const char* inputs;
    int decimals;
    const char* description;
};
// One row per phase of a three-phase measure: DOMAIN.L1QUANTITY ... from phases a, b, c.
#define PHASES(domain, quantity, make, measure, desc)                                       \
    {domain ".L1" quantity, make, measure "{phase=\"a\"}", -1, desc " (phase 1)"},          \
    {domain ".L2" quantity, make, measure "{phase=\"b\"}", -1, desc " (phase 2)"},          \
    {domain ".L3" quantity, make, measure "{phase=\"c\"}", -1, desc " (phase 3)"}
const VariableRow kVariables[] = {
    {"device.type", Make::kConstant, "ups", 0, "Kind of device"},
    {"device.mfr", Make::kManufacturer, "", 0, "Manufacturer"},
    {"device.model", Make::kModel, "", 0, "Model"},
    {"ups.status", Make::kStatus, "", 0, "UPS status words"},
    {"ups.alarm", Make::kAlarms, "", 0, "Active alarms"},
    {"battery.charge", Make::kCopy, "battery_charge", -1, "Battery charge (percent)"},
    {"battery.charge.low", Make::kChargeLow, "", 0, "Charge at or below which the battery is low (percent)"},
    {"battery.runtime", Make::kCopy, "battery_runtime", -1, "Remaining battery runtime (seconds)"},
    {"battery.runtime.low", Make::kRuntimeLow, "", 0, "Runtime at or below which the battery is low (seconds), when set"},
    {"battery.voltage", Make::kMean, "battery_voltage{", 1, "Battery string voltage (V)"},
    {"battery.temperature", Make::kCopy, "battery_temperature", -1, "Battery temperature (degrees C)"},
    {"ambient.temperature", Make::kCopy, "ambient_temperature", -1, "Ambient temperature (degrees C)"},
    {"input.phases", Make::kConstant, "3", 0, "Input phases"},
    {"input.voltage", Make::kMean, "input_voltage{", 1, "Input voltage, mean of the phases (V)"},
    PHASES("input", "-N.voltage", Make::kCopy, "input_voltage", "Input voltage (V)"),
    PHASES("input", ".current", Make::kCopy, "input_current", "Input current (A)"),
    PHASES("input", ".powerfactor", Make::kCopy, "input_power_factor", "Input power factor"),
    {"input.frequency", Make::kCopy, "input_frequency", -1, "Input frequency (Hz)"},
    {"input.bypass.voltage", Make::kMean, "bypass_voltage{", 1, "Bypass voltage, mean of the phases (V)"},
    PHASES("input.bypass", "-N.voltage", Make::kCopy, "bypass_voltage", "Bypass voltage (V)"),
    {"input.bypass.frequency", Make::kCopy, "bypass_frequency", -1, "Bypass frequency (Hz)"},
    {"output.phases", Make::kConstant, "3", 0, "Output phases"},
    {"output.voltage", Make::kMean, "output_voltage{", 1, "Output voltage, mean of the phases (V)"},
    PHASES("output", "-N.voltage", Make::kCopy, "output_voltage", "Output voltage (V)"),
    PHASES("output", ".current", Make::kCopy, "output_current", "Output current (A)"),
    PHASES("output", ".realpower", Make::kCopy, "output_active_power", "Output real power (W)"),
    PHASES("output", ".power.percent", Make::kCopy, "output_load", "Output load (percent)"),
    PHASES("output", ".crestfactor", Make::kCopy, "load_crest_factor", "Load crest factor"),
    {"output.L1.power", Make::kProduct, "output_voltage{phase=\"a\"} output_current{phase=\"a\"}", 0, "Output apparent power (VA) (phase 1)"},
    {"output.L2.power", Make::kProduct, "output_voltage{phase=\"b\"} output_current{phase=\"b\"}", 0, "Output apparent power (VA) (phase 2)"},
    {"output.L3.power", Make::kProduct, "output_voltage{phase=\"c\"} output_current{phase=\"c\"}", 0, "Output apparent power (VA) (phase 3)"},
    {"output.frequency", Make::kCopy, "output_frequency", -1, "Output frequency (Hz)"},
    {"ups.load", Make::kMax, "output_load{", 0, "Load of the most loaded phase (percent)"},
    {"ups.realpower", Make::kSum, "output_active_power{", 0, "Output real power (W)"},
    {"ups.power", Make::kSum, "output.L1.power output.L2.power output.L3.power", 0, "Output apparent power (VA)"},
    {"ups.temperature", Make::kMax, "module_rectifier_temperature{ module_inverter_temperature{", -1, "Hottest power module stage (degrees C)"},
};
#undef PHASES
constexpr size_t kVariableCount = sizeof kVariables / sizeof kVariables[0];
static_assert(kVariableCount == 54, "rows of the variable table");

// The status words of each run state, the power path the load is on. Columns: run
// state id, words. A battery test runs the load from the battery, so it shows as OB:
// a clean shutdown if the battery runs low during a test is the safe side. Standby,
// no output, EPO and fault leave the load unsupplied (OFF); an unknown state claims
// nothing.
struct RunStateRow {
    const char* run_state;
    const char* words;
};
const RunStateRow kRunStates[] = {
    {"initializing", "OFF"},     {"standby", "OFF"},
    {"no_output", "OFF"},        {"on_bypass", "OL BYPASS"},
    {"on_mains", "OL"},          {"on_battery", "OB"},
    {"battery_test", "OB"},      {"inverter_starting", "OL"},
    {"eco_mode", "OL"},          {"emergency_power_off", "OFF"},
    {"maintenance_bypass", "OL BYPASS"}, {"fault", "OFF"},
};
static_assert(sizeof kRunStates / sizeof kRunStates[0] == 12, "one row per run state");

// Alarms that add a status word. Columns: word, alarm id.
struct AlarmWordRow {
    const char* word;
    const char* alarm;
};
const AlarmWordRow kAlarmWords[] = {
    {"OVER", "overload"},
    {"OVER", "parallel_overload"},
    {"OVER", "bypass_overcurrent"},
    {"LB", "battery_voltage_low"},
};
static_assert(sizeof kAlarmWords / sizeof kAlarmWords[0] == 4, "rows of the alarm word table");

std::string FormatNumber(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    const bool negative_zero = text[0] == '-' && std::strspn(text + 1, "0.") == std::strlen(text + 1);
    return negative_zero ? text + 1 : text;
}

bool HasWord(const std::string& words, const char* word) {
    const std::string padded = " " + words + " ";
    return padded.find(std::string(" ") + word + " ") != std::string::npos;
}

void AddWord(std::string& words, const char* word) {
    if (HasWord(words, word)) return;
    if (!words.empty()) words += ' ';
    words += word;
}

class Builder {
public:
    Builder(const UpsFigures& figures, const UpsIdentity& identity, bool forced_shutdown)
        : figures_(figures), identity_(identity), forced_shutdown_(forced_shutdown) {}

    std::vector<Variable> Build() {
        for (const VariableRow& row : kVariables) {
            std::string value;
            if (MakeValue(row, value)) out_.push_back({row.name, value});
        }
        std::sort(out_.begin(), out_.end(),
                  [](const Variable& a, const Variable& b) { return a.name < b.name; });
        return out_;
    }

private:
    // The figures an inputs column names, in order; absent ones are left out.
    std::vector<Figure> Inputs(const char* inputs) const {
        std::vector<Figure> found;
        const std::string text = inputs;
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find(' ', start);
            if (end == std::string::npos) end = text.size();
            const std::string name = text.substr(start, end - start);
            start = end + 1;
            if (name.back() == '{') {
                for (auto it = figures_.measures.lower_bound(name);
                     it != figures_.measures.end() && it->first.compare(0, name.size(), name) == 0; ++it)
                    found.push_back(it->second);
                continue;
            }
            const auto measure = figures_.measures.find(name);
            if (measure != figures_.measures.end()) {
                found.push_back(measure->second);
                continue;
            }
            for (const auto& [variable, figure] : made_)
                if (variable == name) found.push_back(figure);
        }
        return found;
    }

    bool MakeValue(const VariableRow& row, std::string& value) {
        switch (row.make) {
            case Make::kConstant: value = row.inputs; return true;
            case Make::kManufacturer: value = identity_.manufacturer; return !value.empty();
            case Make::kModel: value = identity_.model; return !value.empty();
            case Make::kChargeLow: value = std::to_string(identity_.battery_charge_low); return true;
            case Make::kRuntimeLow:  // only when set: 0 would read as a limit of no time
                value = std::to_string(identity_.battery_runtime_low);
                return identity_.battery_runtime_low > 0;
            case Make::kStatus: value = Status(); return true;
            case Make::kAlarms: value = Alarms(); return !value.empty();
            default: break;
        }
        const std::vector<Figure> inputs = Inputs(row.inputs);
        if (inputs.empty() || (row.make == Make::kProduct && inputs.size() != 2)) return false;
        Figure result{inputs[0].value, row.decimals < 0 ? inputs[0].decimals : row.decimals};
        for (size_t i = 1; i < inputs.size(); ++i) {
            const double v = inputs[i].value;
            if (row.make == Make::kSum || row.make == Make::kMean) result.value += v;
            if (row.make == Make::kMax) result.value = std::max(result.value, v);
            if (row.make == Make::kProduct) result.value *= v;
        }
        if (row.make == Make::kMean) result.value /= static_cast<double>(inputs.size());
        made_.push_back({row.name, result});
        value = FormatNumber(result.value, result.decimals);
        return true;
    }

    bool Active(const char* alarm) const {
        return std::find(figures_.alarms.begin(), figures_.alarms.end(), alarm) !=
               figures_.alarms.end();
    }

    double Sum(const char* inputs) const {
        double sum = 0;
        for (const Figure& f : Inputs(inputs)) sum += f.value;
        return sum;
    }

    // Forced shutdown first, then the power path, alarm words, low battery, the
    // battery's direction and ALARM.
    std::string Status() const {
        std::string words;
        if (forced_shutdown_) AddWord(words, "FSD");
        for (const RunStateRow& row : kRunStates)
            if (figures_.run_state == row.run_state) AddWord(words, row.words);
        for (const AlarmWordRow& row : kAlarmWords)
            if (Active(row.alarm)) AddWord(words, row.word);
        if (LowBattery(figures_, identity_)) AddWord(words, "LB");
        if (HasWord(words, "OB") || Sum("battery_discharge_current{") > 0)
            AddWord(words, "DISCHRG");
        else if (Sum("battery_charge_current{") > 0)
            AddWord(words, "CHRG");
        if (!Alarms().empty()) AddWord(words, "ALARM");
        return words;
    }

    std::string Alarms() const {
        std::string text;
        for (const std::string& id : figures_.alarms) {
            if (id == "communication_lost") continue;  // shown as stale data instead
            if (!text.empty()) text += ' ';
            text += id;
        }
        return text;
    }

    const UpsFigures& figures_;
    const UpsIdentity& identity_;
    const bool forced_shutdown_;
    std::vector<std::pair<std::string, Figure>> made_;
    std::vector<Variable> out_;
};

}  // namespace

bool LowBattery(const UpsFigures& figures, const UpsIdentity& identity) {
    const auto charge = figures.measures.find("battery_charge");
    const auto runtime = figures.measures.find("battery_runtime");
    return monitor::BatteryLow(charge != figures.measures.end(),
                               charge != figures.measures.end() ? charge->second.value : 0.0,
                               runtime != figures.measures.end(),
                               runtime != figures.measures.end() ? runtime->second.value : 0.0,
                               {identity.battery_charge_low, identity.battery_runtime_low});
}

bool OnBattery(const UpsFigures& figures) {
    for (const RunStateRow& row : kRunStates)
        if (figures.run_state == row.run_state) return std::strstr(row.words, "OB") != nullptr;
    return false;
}

std::vector<Variable> MapVariables(const UpsFigures& figures, const UpsIdentity& identity,
                                   bool forced_shutdown) {
    return Builder(figures, identity, forced_shutdown).Build();
}

const char* VariableDescription(const std::string& variable) {
    for (const VariableRow& row : kVariables)
        if (variable == row.name) return row.description;
    return nullptr;
}

}  // namespace protocol
}  // namespace novex
