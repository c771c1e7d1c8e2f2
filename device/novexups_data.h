// The raw record of one UPS: every Modbus block of one poll round, byte for byte as
// the host delivered it, plus the device number and the time of the round. It is
// exchanged with the controller and stored as history in exactly this layout, so it
// is packed: never reorder, resize or pad a field.
#pragma once

#include <cstddef>
#include <cstdint>

#include "registers/ups_registers.h"
#include "vimo_types.h"

// How many power modules and battery cells the record has room for; every reader of
// the record (document, monitor, web) counts them from here.
constexpr int kRecordModules = 10;
constexpr int kRecordCells = 30;

#pragma pack(push, 1)
struct NovexUPS_Data_t {
    uint32_t device_id;           // the controller's data id
    uint8_t bits_1_31[31];        // coils 1..31, one byte each
    uint8_t bits_65_97[33];       // coils 65..97, one byte each
    uint16_t regs_1_40[40];       // input registers 1..40, native order
    uint16_t regs_61_68[8];       // input registers 61..68
    uint16_t reg_81;              // input register 81
    uint16_t regs_82_85[4];       // input registers 82..85
    uint16_t regs_86_89[4];       // input registers 86..89
    uint16_t reg_90;              // input register 90
    uint16_t reg_91;              // input register 91
    uint16_t module_regs[kRecordModules][21]; // module k: input registers 100+50(k-1) .. 120+50(k-1)
    uint16_t battery_regs[kRecordCells * 4];  // input registers 2000..2119, four per cell
    ttime_t update_time;          // local time of the round
};
#pragma pack(pop)

static_assert(sizeof(NovexUPS_Data_t) == 853, "stored records are 853 bytes");
static_assert(offsetof(NovexUPS_Data_t, device_id) == 0, "record layout");
static_assert(offsetof(NovexUPS_Data_t, bits_1_31) == 4, "record layout");
static_assert(offsetof(NovexUPS_Data_t, bits_65_97) == 35, "record layout");
static_assert(offsetof(NovexUPS_Data_t, regs_1_40) == 68, "record layout");
static_assert(offsetof(NovexUPS_Data_t, regs_61_68) == 148, "record layout");
static_assert(offsetof(NovexUPS_Data_t, reg_81) == 164, "record layout");
static_assert(offsetof(NovexUPS_Data_t, regs_82_85) == 166, "record layout");
static_assert(offsetof(NovexUPS_Data_t, regs_86_89) == 174, "record layout");
static_assert(offsetof(NovexUPS_Data_t, reg_90) == 182, "record layout");
static_assert(offsetof(NovexUPS_Data_t, reg_91) == 184, "record layout");
static_assert(offsetof(NovexUPS_Data_t, module_regs) == 186, "record layout");
static_assert(offsetof(NovexUPS_Data_t, battery_regs) == 606, "record layout");
static_assert(offsetof(NovexUPS_Data_t, update_time) == 846, "record layout");

// Each block of the poll round (registers/ups_registers.h) fills exactly one field:
// the unit's nine, one per power module, the battery cells'.
namespace novex {
namespace record_layout {
namespace regs = novex::registers;
struct Field {
    size_t offset;
    size_t bytes;
};
using Record = NovexUPS_Data_t;
constexpr Field kUnitFields[] = {
    {offsetof(Record, bits_1_31), sizeof Record::bits_1_31},
    {offsetof(Record, bits_65_97), sizeof Record::bits_65_97},
    {offsetof(Record, regs_1_40), sizeof Record::regs_1_40},
    {offsetof(Record, regs_61_68), sizeof Record::regs_61_68},
    {offsetof(Record, reg_81), sizeof Record::reg_81},
    {offsetof(Record, regs_82_85), sizeof Record::regs_82_85},
    {offsetof(Record, regs_86_89), sizeof Record::regs_86_89},
    {offsetof(Record, reg_90), sizeof Record::reg_90},
    {offsetof(Record, reg_91), sizeof Record::reg_91},
};
constexpr size_t kUnitFieldCount = sizeof kUnitFields / sizeof kUnitFields[0];
constexpr bool Fills(const regs::Block& block, size_t offset, size_t bytes) {
    return block.record_offset == offset && block.bytes() == bytes;
}
constexpr bool BlocksMatchFields() {
    for (size_t i = 0; i < kUnitFieldCount; ++i)
        if (!Fills(regs::kBlocks[i], kUnitFields[i].offset, kUnitFields[i].bytes)) return false;
    constexpr size_t kModuleBytes = sizeof Record::module_regs[0];
    for (size_t k = 0; k < kRecordModules; ++k)
        if (!Fills(regs::kBlocks[kUnitFieldCount + k],
                   offsetof(Record, module_regs) + k * kModuleBytes, kModuleBytes))
            return false;
    return Fills(regs::kBlocks[regs::kBlockCount - 1], offsetof(Record, battery_regs),
                 sizeof Record::battery_regs) &&
           regs::kBlocksBegin == offsetof(Record, bits_1_31) &&
           regs::kBlocksEnd == offsetof(Record, update_time);
}
static_assert(kRecordModules == regs::kModuleCount && kRecordCells == regs::kCellCount,
              "room for every module and cell");
static_assert(kUnitFieldCount + kRecordModules + 1 == regs::kBlockCount, "one block per field");
static_assert(BlocksMatchFields(), "every block fills its own field of the record");
}  // namespace record_layout
}  // namespace novex

// Byte offsets of the record's parts, for code that works on the bytes (the poll
// table, the renderers). Register fields are unaligned: read them with memcpy.
namespace novex {
namespace record_offset {
constexpr size_t kBits1To31 = offsetof(NovexUPS_Data_t, bits_1_31);
constexpr size_t kBits65To97 = offsetof(NovexUPS_Data_t, bits_65_97);
constexpr size_t kRegs1To40 = offsetof(NovexUPS_Data_t, regs_1_40);
constexpr size_t kRegs61To68 = offsetof(NovexUPS_Data_t, regs_61_68);
constexpr size_t kReg81 = offsetof(NovexUPS_Data_t, reg_81);
constexpr size_t kRegs82To85 = offsetof(NovexUPS_Data_t, regs_82_85);
constexpr size_t kRegs86To89 = offsetof(NovexUPS_Data_t, regs_86_89);
constexpr size_t kReg90 = offsetof(NovexUPS_Data_t, reg_90);
constexpr size_t kReg91 = offsetof(NovexUPS_Data_t, reg_91);
constexpr size_t kModuleRegs = offsetof(NovexUPS_Data_t, module_regs);
constexpr size_t kModuleBlockBytes = 42;
constexpr size_t kBatteryRegs = offsetof(NovexUPS_Data_t, battery_regs);
constexpr size_t kUpdateTime = offsetof(NovexUPS_Data_t, update_time);
}  // namespace record_offset
}  // namespace novex
