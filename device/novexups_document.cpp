// The status document: which section is rendered from which part of the record, in
// which order. The sections themselves are table-driven renderers under render/.
#include <cstdint>
#include <cstring>

#include "registers/ups_registers.h"
#include "render/document_rules.h"
#include "device/novexups.h"
#include "render/status_sections.h"

namespace {

namespace off = novex::record_offset;

// The unit's sections in order of writing. Columns: section key, renderer, offset and
// length of the record slice it reads. "整机状态位" is written twice: the flag registers
// override most of what the status coils wrote.
struct SectionStep {
    const char* key;
    void (*render)(const unsigned char* slice, const unsigned char* shown,
                   novex::render::Container section);
    size_t offset;
    size_t bytes;
};

using Record = NovexUPS_Data_t;
const SectionStep kUnitSections[] = {
    {"整机状态位", novex::render::RenderUnitStatusBits, off::kBits1To31, sizeof Record::bits_1_31},
    {"整机告警位", novex::render::RenderUnitAlarmBits, off::kBits65To97, sizeof Record::bits_65_97},
    {novex::registers::kUnitDataSection, novex::render::RenderUnitData, off::kRegs1To40,
     sizeof Record::regs_1_40},
    {novex::registers::kParallelDataSection, novex::render::RenderParallelData, off::kRegs61To68,
     sizeof Record::regs_61_68},
    {novex::registers::kRunStateSection, novex::render::RenderRunState, off::kReg81,
     sizeof Record::reg_81},
    {"整机状态位", novex::render::RenderStatusFlags, off::kRegs82To85, sizeof Record::regs_82_85},
    {"整机告警位位", novex::render::RenderAlarmFlags, off::kRegs86To89, sizeof Record::regs_86_89},
    {"整机系统状态", novex::render::RenderSystemStatus, off::kReg90,
     sizeof Record::reg_90 + sizeof Record::reg_91},
};

constexpr int kModuleCount = kRecordModules;
constexpr int kCellCount = kRecordCells;
constexpr size_t kCellStride = 8;  // four registers, of which three are shown
constexpr size_t kCellShownBytes = 6;
constexpr size_t kCellWrites = 3 * novex::render::kValueWrites;
const char* const kNumberTexts[] = {"1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",
                                    "9",  "10", "11", "12", "13", "14", "15", "16",
                                    "17", "18", "19", "20", "21", "22", "23", "24",
                                    "25", "26", "27", "28", "29", "30"};
static_assert(sizeof kNumberTexts / sizeof kNumberTexts[0] == kCellCount, "one per cell");

}  // namespace

// A text rebuild that may pass over unchanged values gets in `shown` the record its
// text shows: a section or register equal there is passed over. Each section's writes
// are counted whenever it is written, so the first rebuild (which passes over none)
// counts them all.
void NovexUPS::RenderDocument(const NovexUPS_Data_t& data, novex::render::Container document,
                              const NovexUPS_Data_t* shown) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&data);
    const unsigned char* before = reinterpret_cast<const unsigned char*>(shown);
    const auto unchanged = [&](size_t offset, size_t length) {
        return before != nullptr && std::memcmp(bytes + offset, before + offset, length) == 0;
    };
    static_assert(sizeof kUnitSections / sizeof kUnitSections[0] == kUnitSectionCount,
                  "a count of writes per section");
    rendering_into_ = &document;
    for (size_t i = 0; i < kUnitSectionCount; ++i) {
        const SectionStep& step = kUnitSections[i];
        if (unchanged(step.offset, step.bytes)) {
            novex::render::pass(document, section_writes_[i]);
            continue;
        }
        const size_t writes = document.text ? document.text->writes() : 0;
        step.render(bytes + step.offset, before != nullptr ? before + step.offset : nullptr,
                    novex::render::Object(document, step.key));
        if (document.text) section_writes_[i] = document.text->writes() - writes;
    }

    char block[off::kModuleBlockBytes];
    for (int k = 0; k < kModuleCount; ++k) {
        const size_t offset = off::kModuleRegs + off::kModuleBlockBytes * k;
        std::memcpy(block, bytes + offset, sizeof block);
        shown_block_ = before != nullptr ? before + offset : nullptr;
        _novexups_ModuleData1(block, "", 0, kNumberTexts[k]);
    }

    char cells[sizeof data.battery_regs];
    std::memcpy(cells, bytes + off::kBatteryRegs, sizeof cells);
    size_t unchanged_cells = 0;  // not yet passed over
    for (int n = 1; n <= kCellCount; ++n) {
        const size_t offset = off::kBatteryRegs + kCellStride * (n - 1);
        if (unchanged(offset, kCellShownBytes)) {
            ++unchanged_cells;
            continue;
        }
        if (unchanged_cells != 0)
            novex::render::pass(document, unchanged_cells * kCellWrites);
        unchanged_cells = 0;
        shown_block_ = before != nullptr ? before + offset : nullptr;
        _novexups_BatteryInfo(cells + kCellStride * (n - 1), "", n, kNumberTexts[n - 1]);
    }
    if (unchanged_cells != 0) novex::render::pass(document, unchanged_cells * kCellWrites);
    shown_block_ = nullptr;

    novex::render::RenderUpdateTime(bytes + off::kUpdateTime, document);
    rendering_into_ = nullptr;
}

// Derived from a document of any record: the members and their order do not depend
// on the values. Static initialisation makes a second device wait for the first, and
// a derivation that throws is tried again by the next caller.
const novex::render::TextTemplate& NovexUPS::DocumentTemplate() {
    static const novex::render::TextTemplate layout([this](novex::render::Container document) {
        AssertDocumentHeld();  // derived at once, within the caller's DocumentLock
        NovexUPS_Data_t zeros;
        std::memset(&zeros, 0, sizeof zeros);
        RenderDocument(zeros, document);
    });
    return layout;
}

void NovexUPS::_novexups_ModuleData1(char* block, const char*, int, const char* module_number) {
    uint16_t regs[off::kModuleBlockBytes / 2];
    uint16_t shown[off::kModuleBlockBytes / 2];
    std::memcpy(regs, block, sizeof regs);
    if (shown_block_ != nullptr) std::memcpy(shown, shown_block_, sizeof shown);
    novex::render::RenderPowerModule(regs, shown_block_ != nullptr ? shown : nullptr,
                                     module_number, Document());
}

// A register the text shows as it is is passed over (one value each).
void NovexUPS::_novexups_BatteryInfo(char* cell, const char* unused_text, int unused_number,
                                     const char* cell_number) {
    const unsigned char* shown = shown_block_;
    const auto unchanged = [shown, cell](size_t at) {
        return shown != nullptr && std::memcmp(cell + at, shown + at, 2) == 0;
    };
    const novex::render::Container document = Document();
    if (unchanged(0))
        novex::render::pass(document, novex::render::kValueWrites);
    else
        _novexups_BatteryV(cell, unused_text, unused_number, cell_number);
    if (unchanged(2))
        novex::render::pass(document, novex::render::kValueWrites);
    else
        _novexups_BatteryT(cell + 2, unused_text, unused_number, cell_number);
    if (unchanged(4))
        novex::render::pass(document, novex::render::kValueWrites);
    else
        _novexups_BatteryR(cell + 4, unused_text, unused_number, cell_number);
}

void NovexUPS::_novexups_BatteryV(char* reg, const char*, int, const char* cell_number) {
    uint16_t value;
    std::memcpy(&value, reg, sizeof value);
    novex::render::RenderCellVoltage(value, cell_number, Document());
}

void NovexUPS::_novexups_BatteryT(char* reg, const char*, int, const char* cell_number) {
    int16_t value;
    std::memcpy(&value, reg, sizeof value);
    novex::render::RenderCellTemperature(value, cell_number, Document());
}

void NovexUPS::_novexups_BatteryR(char* reg, const char*, int, const char* cell_number) {
    uint16_t value;
    std::memcpy(&value, reg, sizeof value);
    novex::render::RenderCellResistance(value, cell_number, Document());
}
