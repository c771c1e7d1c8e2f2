// The protocol's variables of a UPS, made from the figures the monitor decodes. One
// table (variable_map.cpp) names each variable, how it is made from the measures and
// its description; GET DESC and the README read the same table.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "protocol/directory.h"

namespace novex {
namespace protocol {

// A decoded figure: its value and the digits after the point it is shown with.
struct Figure {
    double value = 0.0;
    int decimals = 0;
};

// What the variables are made from: the monitor's present measures under their
// unique names ("input_voltage{phase=\"a\"}", "module_inverter_temperature{module=\"3\"}";
// absent ones are left out), the run state id ("on_mains", "on_battery", ...) and the
// ids of the active alarms ("overload", "module3.fan_fault").
struct UpsFigures {
    std::map<std::string, Figure> measures;
    std::string run_state;
    std::vector<std::string> alarms;
};

// What the configuration says about a UPS.
struct UpsIdentity {
    std::string manufacturer;  // device.mfr; "": not shown
    std::string model;         // device.model; "": not shown
    int battery_charge_low = 0;  // percent: LB at or below this charge (the feed sets it)
    int battery_runtime_low = 0;  // seconds: LB at or below this runtime too; 0: not used
};

// Whether the battery is low (LB): monitor/battery_low.h's rule with the UPS's limits.
bool LowBattery(const UpsFigures& figures, const UpsIdentity& identity);
// Whether the load runs from the battery (OB): the run state's words.
bool OnBattery(const UpsFigures& figures);

// The variables, ordered by name. `forced_shutdown` adds FSD to ups.status.
std::vector<Variable> MapVariables(const UpsFigures& figures, const UpsIdentity& identity,
                                   bool forced_shutdown);

// The description GET DESC gives for `variable`; nullptr for a name the table lacks.
const char* VariableDescription(const std::string& variable);

}  // namespace protocol
}  // namespace novex
