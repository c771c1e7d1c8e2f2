// The figures a person or a tool reads from a round: one table of measures, each with
// a stable ASCII id, a unit, its labels and the status document member it comes from.
// Every face of vimohost (summary line, HTTP API, metrics, the UPS protocol server,
// history export) reads figures through this list; nothing else reads the Chinese keys.
//
// Values are decoded from the 853-byte record by the same rules the document uses
// (register, divisor, signedness), converted to base units and kept at the register's
// resolution: register 1 = 2203 reads 220.3 V where the document writes
// 220.3000030517578. A test renders documents and checks every measure against its
// member, which keeps the decoder and the document honest with each other.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "device/novexups_data.h"
#include "registers/ups_registers.h"

namespace novex {
namespace monitor {

// Base units, as metric names and UPS protocol variables spell them.
enum class Unit : unsigned char {
    kVolts,
    kAmperes,
    kHertz,
    kRatio,    // 0..1 (power factor) or a plain quotient (crest factor)
    kPercent,  // 0..100
    kWatts,
    kVoltAmperes,
    kSeconds,
    kCelsius,
    kOhms,
    kCount,    // a number of units
    kState,    // an enumerated state: the value is the code, FormatValue gives its id
    kBoolean,  // 1 or 0
};
const char* UnitName(Unit unit);  // "volts", "amperes", ..., "state", "boolean"

// What a measure repeats over: once for the unit, per power module, per battery cell.
enum class Scope : unsigned char { kUnit, kModule, kCell };

constexpr int kModuleCount = kRecordModules;
constexpr int kCellCount = kRecordCells;

struct Label {
    std::string name;   // "module", "cell", "phase", "string", "bus"
    std::string value;  // "3", "12", "a", "positive"
};

// One measure of the expanded list: a table row for one module or cell (or the unit).
struct Measure {
    std::string id;             // "input_voltage", "module_inverter_current", ...
    std::vector<Label> labels;  // instance label first, then the row's own label
    std::string name;           // id and labels, unique: input_voltage{phase="a"}
    Unit unit;
    Scope scope;
    int instance;                  // module or cell number, 0 for the unit
    std::string document_section;  // "" for members of the document itself
    std::string document_key;      // "输入A相电压", "模块3-逆变A相电流", "#12电池温度"
    int decimals;                  // digits after the point at the register's resolution
    size_t row;                    // the table row it was expanded from
};

// A decoded value. Figures of a module or cell that is not present are absent, so
// tools do not report zeros of an empty slot; presence itself is always present.
struct MeasureValue {
    double value = 0.0;
    bool present = false;
};

// The expanded list in table order (unit rows, then each module row for modules
// 1..10, then each cell row for cells 1..30). Built once; safe to share.
const std::vector<Measure>& Measures();
// Index of the measure whose name is `name`, or Measures().size().
size_t FindMeasure(const std::string& name);

// Decodes every measure from a whole record (853 bytes, not checked here), aligned
// with Measures().
std::vector<MeasureValue> DecodeMeasures(const unsigned char* record);

// The value as text at its resolution ("220.3", "0.98", "720"), a state as its id
// ("on_battery"), "" when absent.
std::string FormatValue(const Measure& measure, const MeasureValue& value);
// A number at `decimals` digits, "-0" shown as "0".
std::string FormatNumber(double value, int decimals);

// Run state of register 81: the id ("on_mains") and the text the document writes
// ("市电状态"); codes the table does not know give "invalid" and "无效值".
const char* RunStateId(unsigned code);
const char* RunStateText(unsigned code);
constexpr unsigned kRunStateCount = registers::kRunStateCount;

// How a row's value is read from the record.
enum class Read : unsigned char {
    kUnsigned,  // the register as an unsigned number
    kSigned,    // the register as a two's complement number
    kRunState,  // the register as a run state code
    kPresence,  // 1 when the module or cell is present (see the scope table)
};

// Conversion from the unit the document shows to the base unit: multiply, divide.
struct Scale {
    unsigned short multiply;
    unsigned short divide;
};

// One row of the measure table. Columns are described above the table.
struct MeasureRow {
    const char* id;
    Scope scope;
    const char* label_name;   // nullptr: no label besides the scope's
    const char* label_value;  // nullptr: no label
    Unit unit;
    Read read;
    unsigned short offset;   // record offset of the register (module 1, cell 1)
    unsigned short divisor;  // as the document divides the register (1: not at all)
    Scale scale;             // document unit to base unit
    const char* section;     // document section; nullptr: the document itself
    const char* key;         // document key, "%s" standing for the module or cell number
};
constexpr size_t kMeasureRowCount = 67;
// The unit's plain registers come from the register description (registers/
// ups_registers.h), in its order; the rest are the monitor's own rows.
extern const std::array<MeasureRow, kMeasureRowCount> kMeasureRows;

}  // namespace monitor
}  // namespace novex
