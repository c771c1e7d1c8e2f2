// The measure table and its expansion over modules and cells.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "render/document_rules.h"
#include "monitor/measures.h"
#include "device/novexups_data.h"
#include "registers/ups_registers.h"

namespace novex {
namespace monitor {

namespace {

namespace off = novex::record_offset;
namespace regs = registers;

// Record offsets of the first instance of a register.
constexpr unsigned short UnitReg(unsigned r) {  // an input register of the unit
    return static_cast<unsigned short>(regs::RecordOffset(regs::kInputs, r));
}
constexpr unsigned short ModuleReg(unsigned i) {  // index 0..20 in module 1's block
    return UnitReg(regs::kModuleFirstAddress + i);
}
constexpr unsigned short CellReg(unsigned i) {  // register 0..3 of cell 1
    return UnitReg(regs::kCellFirstAddress + i);
}

constexpr Scope kU = Scope::kUnit;
constexpr Scope kM = Scope::kModule;
constexpr Scope kC = Scope::kCell;
constexpr Read kUn = Read::kUnsigned;
constexpr Scale kSame{1, 1};
constexpr Scale kKilo{1000, 1};     // kW, kVA as the registers give them -> W, VA
constexpr Scale kMinutes{60, 1};    // minutes -> seconds
constexpr Scale kMilli{1, 1000};    // milliohms -> ohms

// How each scope repeats and tells whether an instance is present. Columns: label
// name, instances, record bytes between instances, record offset and mask of the
// presence register (mask 0: always present; registers/ups_registers.h says which).
struct ScopeRow {
    const char* label;
    int count;
    unsigned short stride;
    unsigned short presence_offset;
    uint16_t presence_mask;
};
const ScopeRow kScopes[] = {
    {nullptr, 1, 0, 0, 0},
    {"module", kModuleCount, off::kModuleBlockBytes, ModuleReg(regs::kModulePresenceIndex),
     regs::kModulePresenceMask},
    {"cell", kCellCount, 2 * regs::kCellRegisterCount, CellReg(regs::kCellData[0].address), 0xFFFF},
};
static_assert(sizeof kScopes / sizeof kScopes[0] == 3, "one row per Scope");

int Decimals(const MeasureRow& row) {
    // The smallest number of decimals at which a step of the register is exact.
    const long long step_numerator = row.scale.multiply;
    const long long step_denominator = static_cast<long long>(row.divisor) * row.scale.divide;
    long long power = 1;
    int decimals = 0;
    while (decimals < 9 && (step_numerator * power) % step_denominator != 0) {
        power *= 10;
        ++decimals;
    }
    return decimals;
}

std::vector<Measure> Expand() {
    std::vector<Measure> out;
    char number[16];
    char key[128];
    for (const Scope scope : {kU, kM, kC}) {
        const ScopeRow& s = kScopes[static_cast<size_t>(scope)];
        for (int instance = 1; instance <= s.count; ++instance) {
            std::snprintf(number, sizeof number, "%d", instance);
            for (size_t r = 0; r < kMeasureRowCount; ++r) {
                const MeasureRow& row = kMeasureRows[r];
                if (row.scope != scope) continue;
                Measure m;
                m.id = row.id;
                if (s.label) m.labels.push_back({s.label, number});
                if (row.label_name) m.labels.push_back({row.label_name, row.label_value});
                m.name = m.id;
                for (const Label& label : m.labels)
                    m.name += (&label == &m.labels[0] ? "{" : ",") + label.name + "=\"" +
                              label.value + "\"";
                if (!m.labels.empty()) m.name += "}";
                m.unit = row.unit;
                m.scope = scope;
                m.instance = s.label ? instance : 0;
                m.document_section = row.section ? row.section : "";
                std::snprintf(key, sizeof key, row.key, number);
                m.document_key = key;
                m.decimals = Decimals(row);
                m.row = r;
                out.push_back(std::move(m));
            }
        }
    }
    return out;
}

uint16_t Register(const unsigned char* record, size_t offset) {
    uint16_t value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

// How a register's unit reads in base units. Columns: the register's unit, base unit,
// scale. Backup time (register 38) is kept in seconds, converted from minutes: seconds
// follow the habit of metrics and UPS protocols (battery runtime in seconds).
struct UnitRow {
    regs::Unit from;
    Unit to;
    Scale scale;
};
constexpr UnitRow kUnits[] = {
    {regs::Unit::kVolts, Unit::kVolts, kSame},
    {regs::Unit::kAmperes, Unit::kAmperes, kSame},
    {regs::Unit::kHertz, Unit::kHertz, kSame},
    {regs::Unit::kRatio, Unit::kRatio, kSame},
    {regs::Unit::kPercent, Unit::kPercent, kSame},
    {regs::Unit::kKilowatts, Unit::kWatts, kKilo},
    {regs::Unit::kKilovoltAmperes, Unit::kVoltAmperes, kKilo},
    {regs::Unit::kMinutes, Unit::kSeconds, kMinutes},
    {regs::Unit::kCelsius, Unit::kCelsius, kSame},
    {regs::Unit::kCount, Unit::kCount, kSame},
    {regs::Unit::kMilliohms, Unit::kOhms, kMilli},
};
constexpr size_t kUnitRows = sizeof kUnits / sizeof kUnits[0];
constexpr bool UnitsInOrder() {
    for (size_t i = 0; i < kUnitRows; ++i)
        if (static_cast<size_t>(kUnits[i].from) != i) return false;
    return kUnitRows == static_cast<size_t>(regs::Unit::kMilliohms) + 1;
}
static_assert(UnitsInOrder(), "one row per unit, in the enumeration's order");

// A measure of the unit (`section` given), or of module or cell 1 (offset given).
constexpr MeasureRow FromRegister(const regs::Measurement& r, Scope scope, const char* section,
                                  unsigned short offset) {
    const UnitRow& u = kUnits[static_cast<size_t>(r.unit)];
    return {r.id, scope, r.label_name, r.label_value, u.to, r.is_signed ? Read::kSigned : kUn,
            offset, r.divisor, u.scale, section, r.key};
}

// The measures that are not plain registers. Columns: id; scope; label name and value
// (besides the module or cell label); unit; how the register is read; record offset of
// the register (module 1, cell 1); divisor as the document divides; scale from the
// document's unit to the base unit; document section and key.
constexpr MeasureRow kRunStateRow = {
    "run_state", kU, nullptr, nullptr, Unit::kState, Read::kRunState,
    UnitReg(regs::kRunStateAddress), 1, kSame, regs::kRunStateSection, regs::kRunStateKey};
constexpr MeasureRow kModulePresentRow = {
    "module_present", kM, nullptr, nullptr, Unit::kBoolean, Read::kPresence,
    ModuleReg(regs::kModulePresenceIndex), 1, kSame, nullptr, regs::kModulePresenceKey};
// Under the voltage's key: a cell is present when its voltage is not zero.
constexpr MeasureRow kCellPresentRow = {
    "cell_present", kC, nullptr, nullptr, Unit::kBoolean, Read::kPresence,
    CellReg(regs::kCellData[0].address), 1, kSame, nullptr, regs::kCellData[0].key};

// The registers of the register description and the states that go with them, in the
// order tools list them: the unit's, then a module's, then a cell's.
constexpr std::array<MeasureRow, kMeasureRowCount> AllRows() {
    std::array<MeasureRow, kMeasureRowCount> rows{};
    size_t n = 0;
    for (const regs::Measurement& r : regs::kUnitData)
        rows[n++] = FromRegister(r, kU, regs::kUnitDataSection, UnitReg(r.address));
    for (const regs::Measurement& r : regs::kParallelData)
        rows[n++] = FromRegister(r, kU, regs::kParallelDataSection, UnitReg(r.address));
    rows[n++] = kRunStateRow;
    rows[n++] = kModulePresentRow;
    for (const regs::Measurement& r : regs::kModuleData)
        rows[n++] = FromRegister(r, kM, nullptr, ModuleReg(r.address));
    rows[n++] = kCellPresentRow;
    for (const regs::Measurement& r : regs::kCellData)
        rows[n++] = FromRegister(r, kC, nullptr, CellReg(r.address));
    return rows;
}
template <typename T, size_t N>
constexpr size_t CountOf(const T (&)[N]) {
    return N;
}
static_assert(CountOf(regs::kUnitData) + CountOf(regs::kParallelData) + CountOf(regs::kModuleData) +
                      CountOf(regs::kCellData) + 3 ==
                  kMeasureRowCount,
              "every row once");

}  // namespace

const std::array<MeasureRow, kMeasureRowCount> kMeasureRows = AllRows();

const char* UnitName(Unit unit) {
    static const char* const kNames[] = {"volts",        "amperes", "hertz",   "ratio",
                                         "percent",      "watts",   "volt_amperes",
                                         "seconds",      "celsius", "ohms",    "count",
                                         "state",        "boolean"};
    static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Unit::kBoolean) + 1,
                  "one name per unit");
    return kNames[static_cast<size_t>(unit)];
}

const std::vector<Measure>& Measures() {
    static const std::vector<Measure> measures = Expand();
    return measures;
}

size_t FindMeasure(const std::string& name) {
    const std::vector<Measure>& all = Measures();
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].name == name) return i;
    return all.size();
}

std::vector<MeasureValue> DecodeMeasures(const unsigned char* record) {
    const std::vector<Measure>& all = Measures();
    std::vector<MeasureValue> out(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        const Measure& m = all[i];
        const MeasureRow& row = kMeasureRows[m.row];
        const ScopeRow& s = kScopes[static_cast<size_t>(m.scope)];
        const size_t base = m.instance > 0 ? s.stride * static_cast<size_t>(m.instance - 1) : 0;
        const bool present =
            s.presence_mask == 0 || (Register(record, base + s.presence_offset) & s.presence_mask);
        const uint16_t raw = Register(record, base + row.offset);
        MeasureValue& v = out[i];
        switch (row.read) {
            case Read::kPresence:
                v = {present ? 1.0 : 0.0, true};
                continue;
            case Read::kRunState:
                v = {static_cast<double>(raw), true};
                continue;
            case Read::kSigned:
            case Read::kUnsigned: {
                const long long number =
                    row.read == Read::kSigned ? static_cast<int16_t>(raw) : raw;
                // One division of exact integers: the nearest double to the decimal.
                v.value = static_cast<double>(number * row.scale.multiply) /
                          static_cast<double>(static_cast<long long>(row.divisor) * row.scale.divide);
                v.present = present;
                continue;
            }
        }
    }
    return out;
}

std::string FormatNumber(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    if (text[0] == '-' && std::strspn(text + 1, "0.") == std::strlen(text + 1))
        return text + 1;
    return text;
}

std::string FormatValue(const Measure& measure, const MeasureValue& value) {
    if (!value.present) return "";
    if (measure.unit == Unit::kState) {
        // A state is a register's whole number; anything else (a snapshot not made from
        // a record) is no state.
        const bool whole = value.value >= 0 && value.value < kRunStateCount &&
                           value.value == static_cast<double>(static_cast<unsigned>(value.value));
        return whole ? RunStateId(static_cast<unsigned>(value.value)) : "invalid";
    }
    return FormatNumber(value.value, measure.decimals);
}

const char* RunStateId(unsigned code) {
    return code < kRunStateCount ? regs::kRunStates[code].id : "invalid";
}

const char* RunStateText(unsigned code) {
    return code < kRunStateCount ? regs::kRunStates[code].text : render::kInvalidText;
}

}  // namespace monitor
}  // namespace novex
