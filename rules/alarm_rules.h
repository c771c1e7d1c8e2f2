// The 30 unit alarm bits that are reported to the controller as boolean threshold
// checks after every round. The status document shows the same bits under the same
// names (section "整机告警位"), so both read this one table.
#pragma once

#include <cstddef>
#include <cstdint>

class VimoVDevice;

namespace novex {

// The rules are the alarm coils of the register description (registers/
// ups_registers.h, kAlarmCoils): coil 65 + i is byte i of the record's alarm bits,
// and the coil's text is the rule name, which is also the document key.
constexpr size_t kAlarmBitCount = 33;
constexpr size_t kAlarmRuleCount = 30;

// Reports every rule once, in table order, as CheckThresholdBool(2, "12017", "12017",
// name, name, state, seq) on `device`, numbering the checks from device.check_seq
// (which wraps from 65535 to 0). `alarm_bits` is read once, into a snapshot, before
// the first check. An exception from the host leaves the remaining rules unreported.
void ReportAlarmRules(VimoVDevice& device, const uint8_t* alarm_bits);

}  // namespace novex
