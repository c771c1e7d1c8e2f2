// The 30 unit alarm bits that are reported to the controller as boolean threshold
// checks after every round. The status document shows the same bits under the same
// names (section "整机告警位"), so both read this one table.
#pragma once

#include <cstddef>
#include <cstdint>

class VimoVDevice;

namespace novex {

// Columns: byte index in the record's alarm bits (coils 65..97, one byte each), the
// Modbus coil it came from, and the rule name, which is also the document key.
// Coils 75, 86 and 87 (bytes 10, 21, 22) carry no rule.
struct AlarmRule {
    uint8_t byte_index;
    uint8_t coil;
    const char* name;
};

constexpr size_t kAlarmBitCount = 33;
constexpr size_t kAlarmRuleCount = 30;
extern const AlarmRule kAlarmRules[kAlarmRuleCount];

// Reports every rule once, in table order, as CheckThresholdBool(2, "12017", "12017",
// name, name, state, seq) on `device`, numbering the checks from device.check_seq
// (which wraps from 65535 to 0). `alarm_bits` is read once, into a snapshot, before
// the first check. An exception from the host leaves the remaining rules unreported.
void ReportAlarmRules(VimoVDevice& device, const uint8_t* alarm_bits);

}  // namespace novex
