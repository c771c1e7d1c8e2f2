#include "rules/alarm_rules.h"

#include <cstring>
#include <string>

#include "registers/ups_registers.h"
#include "vimo_device.h"

namespace novex {

namespace regs = registers;
static_assert(regs::kAlarmCoilCount == kAlarmRuleCount, "one rule per alarm coil");
static_assert(regs::RoundReads(regs::kCoils, 65, kAlarmBitCount),
              "the alarm bits are one block");

void ReportAlarmRules(VimoVDevice& device, const uint8_t* alarm_bits) {
    uint8_t snapshot[kAlarmBitCount];
    std::memcpy(snapshot, alarm_bits, sizeof snapshot);
    for (const regs::AlarmCoil& rule : regs::kAlarmCoils) {
        const bool state = snapshot[rule.byte_index()] != 0;
        const uint16_t seq = device.check_seq;
        device.check_seq = static_cast<uint16_t>(seq + 1);
        device.CheckThresholdBool(2, std::string("12017"), std::string("12017"),
                                  std::string(rule.text), std::string(rule.text), state, seq);
    }
}

}  // namespace novex
