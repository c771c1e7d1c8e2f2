#include "web/alarm_actions.h"

namespace novex {
namespace web {

namespace {

// Columns: alarm id (a module's alarm by the part after "moduleN."), what to do.
struct ActionRow {
    const char* alarm;
    const char* action;
};
const ActionRow kActions[] = {
    {"run_state.on_battery",
     "Mains has failed: check the supply and its breakers; shut down what can wait before the "
     "battery runs low."},
    {"run_state.on_bypass",
     "The load is unprotected on bypass: find why the inverter stopped (overload, fault) and "
     "transfer back to inverter."},
    {"run_state.maintenance_bypass",
     "The load is on maintenance bypass, unprotected: end the maintenance and return to inverter."},
    {"run_state.no_output", "The load is not supplied: check the output breaker and the UPS's display."},
    {"run_state.emergency_power_off",
     "Emergency power off was triggered: find out why before resetting it and restarting."},
    {"run_state.fault", "The UPS reports a fault: read its display and call service."},
    {"run_state.standby", "The inverter is off: start the UPS if the load should be supplied."},
    {"communication_lost",
     "vimohost does not hear the UPS: check the cable or gateway, the UPS's power, and the last "
     "error below."},
    {"battery_voltage_low",
     "The battery is nearly empty: shut down the protected machines now, or restore mains."},
    {"battery_undervoltage_prealarm", "The battery is running low: prepare to shut down."},
    {"battery_voltage_prealarm", "The battery is running low: prepare to shut down."},
    {"battery_missing", "No battery is connected: check the battery breaker and cabling."},
    {"battery_reversed", "The battery is connected in reverse: disconnect it and call service."},
    {"overload", "Reduce the load on the UPS's output (move or switch off equipment)."},
    {"parallel_overload", "Reduce the load on the parallel system's output."},
    {"mains_voltage_abnormal", "Check the mains supply feeding the UPS; the battery carries the load."},
    {"mains_frequency_abnormal", "Check the mains supply or the generator feeding the UPS."},
    {"input_neutral_missing", "Check the input neutral wiring."},
    {"input_phase_sequence_reversed", "Have the input phases rewired in the right order."},
    {"fan_fault", "A fan has failed: check for blocked air flow and call service."},
    {"inverter_overtemperature", "Check the room's cooling and the UPS's air flow."},
    {"charger_fault", "The battery is not being charged: call service."},
};
static_assert(sizeof kActions / sizeof kActions[0] == 22, "rows of the action table");

}  // namespace

std::string ActionFor(const std::string& alarm_id, const std::string& severity) {
    std::string kind = alarm_id;
    if (kind.rfind("module", 0) == 0 && kind.find('.') != std::string::npos &&
        kind.compare(0, 10, "run_state.") != 0)
        kind = kind.substr(kind.find('.') + 1);
    for (const ActionRow& row : kActions)
        if (kind == row.alarm) return row.action;
    if (severity == "critical") return "Read the UPS's display and call service.";
    if (severity == "warning") return "Watch it; if it persists, read the UPS's display and call service.";
    return "No action needed.";
}

}  // namespace web
}  // namespace novex
