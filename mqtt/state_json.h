// What is published of a device: its state document (retained, on <prefix>/<device>/state)
// and its events (on <prefix>/<device>/event). docs/mqtt.md shows both.
//
//   {"device":"ups1","run_state":"on_battery","communication":"ok","stale":false,
//    "on_battery":true,"battery_low":false,"problem":false,
//    "measures":{"input_voltage_a":{"value":0,"unit":"V"},"battery_charge":{...},...,
//                "output_energy":{"value":1234.567,"unit":"kWh"}},
//    "alarms":[{"id":"mains_voltage_abnormal","severity":"warning","description":"..."}],
//    "time":"2026-12-09T11:02:03+01:00"}
//
// A measure's key is its id and its label values joined by '_' ("input_voltage_a",
// "module_inverter_current_3_a", "cell_voltage_12"); absent figures (a module not fitted)
// are left out; the run state is its own member.
#pragma once

#include <cstdint>
#include <string>

#include "board/alarm_event.h"
#include "monitor/battery_low.h"
#include "monitor/measures.h"
#include "monitor/snapshot.h"

namespace vimo {
namespace mqtt {

// "input_voltage_a": the measure's key in the state document.
std::string MeasureKey(const novex::monitor::Measure& measure);
// The output energy counted (monitor/energy.h) as members of "measures", in kWh at
// watt-hour resolution, once the device has counted any. Columns: key; phase (0..2 a..c,
// -1 the total); English name.
struct EnergyMember {
    const char* key;
    int phase;
    const char* name;
};
extern const EnergyMember kEnergyMembers[4];

// "V", "A", "Hz", "%", "W", "VA", "s", "°C", "Ω"; "" for ratios, counts, states and booleans.
const char* UnitSymbol(novex::monitor::Unit unit);

// The conditions the binary sensors show, read as every face reads them.
struct Conditions {
    bool on_battery = false;   // run state on_battery
    bool battery_low = false;  // monitor/battery_low.h with the device's limits
    bool problem = false;      // an active critical alarm, communication_lost aside
};
Conditions ConditionsOf(const novex::monitor::DeviceSnapshot& snapshot,
                        const novex::monitor::LowBatteryLimits& limits);

// The state document without its "time" (to tell a change), and the whole of it.
std::string StateBody(const novex::monitor::DeviceSnapshot& snapshot,
                      const novex::monitor::LowBatteryLimits& limits);
std::string WithTime(const std::string& body, int64_t utc);

// The run state's id, "" before any round.
std::string RunStateOf(const novex::monitor::DeviceSnapshot& snapshot);

// An alarm event as the round hooks read it (hooks/event_hooks.h RoundLine).
std::string EventJson(const AlarmEvent& event);
// {"device":..,"data_id":..,"event":"run_state","from":"on_mains","to":"on_battery","time":..}
std::string RunStateEventJson(const std::string& device, uint32_t data_id, const std::string& from,
                              const std::string& to, int64_t utc);

}  // namespace mqtt
}  // namespace vimo
