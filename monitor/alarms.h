// Every alarm vimohost knows: each flag the status document carries (the unit alarm
// bits, the unit alarm flag registers, the alarm flags of each power module) and
// vimohost's own communication_lost, and the run states that are conditions (on
// battery, on bypass, fault, ...). Each has a stable ASCII id, the Chinese text
// exactly as the document writes it, an English description and a severity.
//
// Severity, decided per alarm by one rule:
//   critical: a part of the UPS has failed (every text naming a 故障, a blown fuse, a
//             bridge shoot-through, an IGBT overcurrent, a failed soft start), the load
//             is more than the UPS carries (overload, bypass overcurrent), the battery
//             can no longer back the load (voltage low, missing, reversed), or vimohost
//             no longer hears the UPS;
//   warning:  a condition out of its range that the UPS rides through (mains, bypass,
//             synchronisation, phase order, neutral, bus voltages, temperatures, DC
//             offset, battery voltage high or pre-alarm, back-feed protection);
//   info:     a notice that needs no action (a start command refused).
//
// The unit shows most of its alarms twice, as an alarm bit ("整机告警位") and as a flag
// of registers 86..89 ("整机告警位位"). Where both name the alarm alike they are one
// alarm, raised while either shows it: the UPS reports one condition twice, and one
// condition must make one event. Flags named differently (母线电压异常 and BUS电压异常,
// 电池欠压预告警 and 电池电压预告警) stay apart: the device names them as different
// flags and nothing says they always agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "registers/ups_registers.h"

namespace novex {
namespace monitor {

using Severity = registers::Severity;  // kCritical, kWarning, kInfo
const char* SeverityName(Severity severity);  // "critical", "warning", "info"

struct Alarm {
    std::string id;    // "battery_voltage_low", "module3.fan_fault", "communication_lost"
    std::string text;  // "电池电压低", "模块3-整流模块风扇故障", "通讯中断"
    Severity severity;
    int module;  // 1..10 for a power module's alarm, 0 otherwise
    // Where a record shows it; either one raises it.
    int coil_byte;        // index in the unit alarm bits (coil 65 + index), -1: none
    int register_offset;  // record offset of the flag's register, -1: none
    uint16_t register_mask;
    // In English, for people who do not read the text: "Fan fault",
    // "Module 3 rectifier: fan fault", "On battery: mains failed".
    std::string description;
    int run_state = -1;  // the register 81 code that raises it, -1: none
};

using AlarmIndex = uint16_t;

constexpr size_t kUnitAlarmCount = 59;        // 30 alarm bits and 51 flags, 22 shared
constexpr size_t kModuleAlarmCount = 51;      // per power module
constexpr size_t kAlarmModuleCount = 10;
constexpr size_t kRunStateAlarmCount = 10;  // every run state but initializing and on_mains
constexpr size_t kAlarmCount =
    kUnitAlarmCount + kAlarmModuleCount * kModuleAlarmCount + kRunStateAlarmCount + 1;
constexpr AlarmIndex kCommunicationLost = kAlarmCount - 1;

// The expanded list: unit alarms (the alarm bits in coil order, then the flags that
// only the registers carry), each module's 51 in module order, the run states that
// are conditions ("run_state.on_battery"), communication_lost last. Built once; safe to share.
const std::vector<Alarm>& Alarms();
// Index of the alarm with id `id`, or Alarms().size().
size_t FindAlarm(const std::string& id);

// The alarms a whole record (853 bytes, not checked here) shows, in list order.
std::vector<AlarmIndex> ActiveAlarms(const unsigned char* record);

}  // namespace monitor
}  // namespace novex
