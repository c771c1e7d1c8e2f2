#include "mbserver/register_map.h"

#include "registers/ups_registers.h"

namespace novex {
namespace mbserver {

namespace reg = novex::registers;

const std::vector<ServedBlock>& ServedBlocks() {
    static const std::vector<ServedBlock> blocks = [] {
        std::vector<ServedBlock> out;
        for (const reg::Block& b : reg::kBlocks)
            out.push_back({b.function == reg::kCoils, b.first, b.count, b.record_offset});
        return out;
    }();
    return blocks;
}

bool ReadsBits(uint8_t function) {
    return function == kReadCoils || function == kReadDiscreteInputs;
}

bool ReadsRegisters(uint8_t function) { return function == kReadInputRegisters; }

long RecordOffset(bool bits, uint32_t address) {
    return reg::RecordOffset(bits ? reg::kCoils : reg::kInputs, address);
}

// Columns: offset, name, meaning.
const StatusRegister kStatusRegisters[kStatusCount] = {
    {0, "data_age_s", "seconds since the last completed round (65535: none yet, or longer)"},
    {1, "communication", "0: no round yet, 1: ok, 2: communication with the UPS lost"},
    {2, "rounds_high", "completed rounds, high word"},
    {3, "rounds_low", "completed rounds, low word"},
    {4, "on_battery", "1 while the UPS runs on battery"},
    {5, "low_battery", "1 while the battery voltage is low"},
    {6, "worst_severity", "the worst active alarm: 0 none, 1 info, 2 warning, 3 critical"},
    {7, "active_alarms", "how many alarms are active"},
};

}  // namespace mbserver
}  // namespace novex
