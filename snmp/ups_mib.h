// The standard UPS MIB (1.3.6.1.2.1.33) made from a device's published snapshot: one
// table (ups_mib.cpp) names each object, how it is made from the measures, its scale
// and its range; the agent, the docs and the tests read that table. Nothing here knows
// SNMP's wire or the agent library: a view is a sorted map from OID to value, which the
// agent answers GET and GETNEXT from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "monitor/snapshot.h"

namespace vimo {
namespace snmp {

using Oid = std::vector<uint32_t>;

// upsMIB and the prefixes under it.
extern const Oid kUpsMib;            // 1.3.6.1.2.1.33
extern const Oid kUpsObjects;        // upsMIB.1
extern const Oid kWellKnownAlarms;   // upsMIB.1.6.3: upsAlarmBatteryBad is .1
extern const Oid kTrapOnBattery;     // upsMIB.2.1
extern const Oid kTrapAlarmAdded;    // upsMIB.2.3
extern const Oid kTrapAlarmRemoved;  // upsMIB.2.4
extern const Oid kAlarmIdColumn;     // upsAlarmEntry.1
extern const Oid kAlarmDescrColumn;  // upsAlarmEntry.2

enum class Type : unsigned char { kInteger, kGauge, kCounter, kTimeTicks, kText, kOid };

struct Value {
    Type type = Type::kInteger;
    int64_t number = 0;
    std::string text;
    Oid oid;
};
using View = std::map<Oid, Value>;

// What the configuration and the program say of a UPS.
struct UpsIdentity {
    std::string name;              // upsIdentName: the device's name
    std::string manufacturer;      // "manufacturer" of the device; "" when not given
    std::string model;             // "model"
    std::string attached_devices;  // "attached_devices"
    std::string agent_version;     // vimohost's version
    int battery_charge_low = novex::monitor::kDefaultChargeLow;  // percent: low at or below
    int battery_runtime_low = 0;   // seconds: low at or below too; 0: not used
    std::map<std::string, double> ratings;  // "ratings" of the device, by key
};

// The upsWellKnownAlarms this agent raises, by their number under upsWellKnownAlarms.
enum WellKnown : int {
    kNoWellKnown = 0,
    kBatteryBad = 1,
    kOnBattery = 2,
    kLowBattery = 3,
    kDepletedBattery = 4,
    kTempBad = 5,
    kInputBad = 6,
    kOutputBad = 7,
    kOutputOverload = 8,
    kOnBypass = 9,
    kBypassBad = 10,
    kChargerFailed = 13,
    kUpsOutputOff = 14,
    kFanFailure = 16,
    kFuseFailure = 17,
    kGeneralFault = 18,
    kCommunicationsLost = 20,
    kTestInProgress = 24,
};
const char* WellKnownName(int well_known);  // "upsAlarmOnBattery"; "" for none
// The well-known alarm an alarm of Alarms() is served as; kNoWellKnown: not served.
int WellKnownOf(novex::monitor::AlarmIndex alarm);

// One row of the alarm table.
struct AlarmRow {
    uint32_t id;         // upsAlarmId, never reused while the agent runs
    int well_known;      // upsAlarmDescr: kWellKnownAlarms + this
    uint32_t raised_at;  // upsAlarmTime: the agent's uptime at raise, centiseconds
};

// What the agent remembers of a device from round to round.
struct DeviceTrack {
    bool on_battery = false;
    double on_battery_since = 0.0;  // seconds of the caller's clock
    uint32_t line_bads = 0;         // transfers to battery since the agent started
    std::vector<AlarmRow> alarms;   // in id order
    std::vector<int> last_known;    // well-known alarms of the last fresh round
    uint32_t next_alarm_id = 1;
};

// What a round changed, for the traps.
struct RoundNews {
    bool went_on_battery = false;
    std::vector<AlarmRow> added;
    std::vector<AlarmRow> removed;
};

// Whether the snapshot holds figures of a round polled now: not before the first round,
// not a round loaded from the history, not while communication is lost.
bool Fresh(const novex::monitor::DeviceSnapshot& snapshot);

// Takes a newly published snapshot into `track`: the battery's time, the line bads and
// the alarm table. While the figures are not fresh, the alarms of the last fresh round
// stay (nobody knows they cleared) and upsAlarmCommunicationsLost joins them when
// communication is lost.
RoundNews TakeRound(DeviceTrack& track, const novex::monitor::DeviceSnapshot& snapshot,
                    const UpsIdentity& identity, double now_seconds, uint32_t uptime);

// The objects of the UPS MIB for the device. Measured objects are left out (GET answers
// noSuchInstance) while the figures are not fresh; upsBatteryStatus then reads unknown.
// Every value lies within its object's range.
View MapUpsMib(const novex::monitor::DeviceSnapshot& snapshot, const UpsIdentity& identity,
               const DeviceTrack& track, double now_seconds);

// "1.3.6.1.2.1.33.1.2.4.0"
std::string OidText(const Oid& oid);

// The objects as the docs list them. Columns: OID under upsMIB ("1.2.4.0"), name,
// source, range, whether it is left out while the figures are not fresh.
struct ObjectDoc {
    std::string oid;
    std::string name;
    std::string source;
    int64_t min;
    int64_t max;  // for a text: its longest length
    Type type;
    bool measured;
};
std::vector<ObjectDoc> DocumentedObjects();

// The power path of each run state as the docs list it. Columns: run state id,
// upsOutputSource value, the well-known alarm it raises (kNoWellKnown: none).
struct RunStateDoc {
    std::string run_state;
    int source;
    int well_known;
};
std::vector<RunStateDoc> DocumentedRunStates();

}  // namespace snmp
}  // namespace vimo
