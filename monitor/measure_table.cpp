// The measure table and its expansion over modules and cells.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "render/document_rules.h"
#include "monitor/measures.h"
#include "device/novexups_data.h"

namespace novex {
namespace monitor {

namespace {

namespace off = record_offset;

// Record offsets of the first instance of a register.
constexpr unsigned short UnitReg(int r) {  // input registers 1..40, 61..68, 81
    return static_cast<unsigned short>(r <= 40   ? off::kRegs1To40 + 2 * (r - 1)
                                       : r <= 68 ? off::kRegs61To68 + 2 * (r - 61)
                                                 : off::kReg81 + 2 * (r - 81));
}
constexpr unsigned short ModuleReg(int i) {  // index 0..20 in module 1's block
    return static_cast<unsigned short>(off::kModuleRegs + 2 * i);
}
constexpr unsigned short CellReg(int i) {  // register 0..3 of cell 1
    return static_cast<unsigned short>(off::kBatteryRegs + 2 * i);
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
// presence register (mask 0: always present). A module is present while its
// rectifier reports communication online (index 12, bit 15: "通讯联机"); a cell is
// present when its voltage register is not zero (the UPS reports nothing else).
struct ScopeRow {
    const char* label;
    int count;
    unsigned short stride;
    unsigned short presence_offset;
    uint16_t presence_mask;
};
const ScopeRow kScopes[] = {
    {nullptr, 1, 0, 0, 0},
    {"module", kModuleCount, off::kModuleBlockBytes, ModuleReg(12), 0x8000},
    {"cell", kCellCount, 8, CellReg(0), 0xFFFF},
};
static_assert(sizeof kScopes / sizeof kScopes[0] == 3, "one row per Scope");

// Register 81. Columns: id, the text the document writes for the code (the index).
struct RunStateRow {
    const char* id;
    const char* text;
};
const RunStateRow kRunStates[] = {
    {"initializing", "初始化"},       {"standby", "待机状态"},
    {"no_output", "无输出状态"},      {"on_bypass", "旁路状态"},
    {"on_mains", "市电状态"},         {"on_battery", "电池状态"},
    {"battery_test", "电池自检状态"}, {"inverter_starting", "逆变启动中"},
    {"eco_mode", "经济模式"},         {"emergency_power_off", "EPO状态"},
    {"maintenance_bypass", "维护旁路模式"}, {"fault", "故障模式"},
};
static_assert(sizeof kRunStates / sizeof kRunStates[0] == kRunStateCount, "codes 0..11");

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

}  // namespace

// Columns: id; scope; label name and value (besides the module or cell label);
// unit; how the register is read; record offset of the register (module 1, cell 1);
// divisor as the document divides; scale from the document's unit to the base unit;
// document section and key.
//
// Backup time (register 38, "电池后备时间") is kept in seconds, converted from
// minutes. The register is an undivided 16-bit count beside the capacity percentage,
// and nothing in the register map names its unit, so the unit follows from the
// magnitudes a UPS reports: a full battery at a third of the load reads 45, a battery
// at 24 % on battery reads 12 and falls by one per round. Seconds would mean under a
// minute of backup from a full battery, hours would mean days; minutes is the only
// reading that fits, and it is the unit such panels show. Seconds then follow the
// habit of metrics and UPS protocols (battery runtime in seconds).
const MeasureRow kMeasureRows[kMeasureRowCount] = {
    {"input_voltage", kU, "phase", "a", Unit::kVolts, kUn, UnitReg(1), 10, kSame, "整机数据", "输入A相电压"},
    {"input_voltage", kU, "phase", "b", Unit::kVolts, kUn, UnitReg(2), 10, kSame, "整机数据", "输入B相电压"},
    {"input_voltage", kU, "phase", "c", Unit::kVolts, kUn, UnitReg(3), 10, kSame, "整机数据", "输入C相电压"},
    {"input_frequency", kU, nullptr, nullptr, Unit::kHertz, kUn, UnitReg(4), 10, kSame, "整机数据", "输入频率"},
    {"input_current", kU, "phase", "a", Unit::kAmperes, kUn, UnitReg(5), 10, kSame, "整机数据", "输入A相电流"},
    {"input_current", kU, "phase", "b", Unit::kAmperes, kUn, UnitReg(6), 10, kSame, "整机数据", "输入B相电流"},
    {"input_current", kU, "phase", "c", Unit::kAmperes, kUn, UnitReg(7), 10, kSame, "整机数据", "输入C相电流"},
    {"input_power_factor", kU, "phase", "a", Unit::kRatio, kUn, UnitReg(8), 100, kSame, "整机数据", "输入A相功率因数"},
    {"input_power_factor", kU, "phase", "b", Unit::kRatio, kUn, UnitReg(9), 100, kSame, "整机数据", "输入B相功率因数"},
    {"input_power_factor", kU, "phase", "c", Unit::kRatio, kUn, UnitReg(10), 100, kSame, "整机数据", "输入C相功率因数"},
    {"output_voltage", kU, "phase", "a", Unit::kVolts, kUn, UnitReg(11), 10, kSame, "整机数据", "输出A相电压"},
    {"output_voltage", kU, "phase", "b", Unit::kVolts, kUn, UnitReg(12), 10, kSame, "整机数据", "输出B相电压"},
    {"output_voltage", kU, "phase", "c", Unit::kVolts, kUn, UnitReg(13), 10, kSame, "整机数据", "输出C相电压"},
    {"output_frequency", kU, nullptr, nullptr, Unit::kHertz, kUn, UnitReg(14), 10, kSame, "整机数据", "输出频率"},
    {"output_current", kU, "phase", "a", Unit::kAmperes, kUn, UnitReg(15), 10, kSame, "整机数据", "输出A相电流"},
    {"output_current", kU, "phase", "b", Unit::kAmperes, kUn, UnitReg(16), 10, kSame, "整机数据", "输出B相电流"},
    {"output_current", kU, "phase", "c", Unit::kAmperes, kUn, UnitReg(17), 10, kSame, "整机数据", "输出C相电流"},
    {"output_active_power", kU, "phase", "a", Unit::kWatts, kUn, UnitReg(18), 100, kKilo, "整机数据", "输出A相有功功率"},
    {"output_active_power", kU, "phase", "b", Unit::kWatts, kUn, UnitReg(19), 100, kKilo, "整机数据", "输出B相有功功率"},
    {"output_active_power", kU, "phase", "c", Unit::kWatts, kUn, UnitReg(20), 100, kKilo, "整机数据", "输出C相有功功率"},
    {"output_load", kU, "phase", "a", Unit::kPercent, kUn, UnitReg(21), 1, kSame, "整机数据", "输出A相负载率"},
    {"output_load", kU, "phase", "b", Unit::kPercent, kUn, UnitReg(22), 1, kSame, "整机数据", "输出B相负载率"},
    {"output_load", kU, "phase", "c", Unit::kPercent, kUn, UnitReg(23), 1, kSame, "整机数据", "输出C相负载率"},
    {"load_crest_factor", kU, "phase", "a", Unit::kRatio, kUn, UnitReg(24), 100, kSame, "整机数据", "输入A相负载峰值比"},
    {"load_crest_factor", kU, "phase", "b", Unit::kRatio, kUn, UnitReg(25), 100, kSame, "整机数据", "输入B相负载峰值比"},
    {"load_crest_factor", kU, "phase", "c", Unit::kRatio, kUn, UnitReg(26), 100, kSame, "整机数据", "输入C相负载峰值比"},
    {"bypass_voltage", kU, "phase", "a", Unit::kVolts, kUn, UnitReg(27), 10, kSame, "整机数据", "旁路A相电压"},
    {"bypass_voltage", kU, "phase", "b", Unit::kVolts, kUn, UnitReg(28), 10, kSame, "整机数据", "旁路B相电压"},
    {"bypass_voltage", kU, "phase", "c", Unit::kVolts, kUn, UnitReg(29), 10, kSame, "整机数据", "旁路C相电压"},
    {"bypass_frequency", kU, nullptr, nullptr, Unit::kHertz, kUn, UnitReg(30), 10, kSame, "整机数据", "旁路频率"},
    {"battery_voltage", kU, "string", "positive", Unit::kVolts, kUn, UnitReg(31), 10, kSame, "整机数据", "正组电池电压"},
    {"battery_voltage", kU, "string", "negative", Unit::kVolts, kUn, UnitReg(32), 10, kSame, "整机数据", "负组电池电压"},
    {"battery_discharge_current", kU, "string", "positive", Unit::kAmperes, kUn, UnitReg(33), 10, kSame, "整机数据", "正组电池放电电流"},
    {"battery_discharge_current", kU, "string", "negative", Unit::kAmperes, kUn, UnitReg(34), 10, kSame, "整机数据", "负组电池放电电流"},
    {"battery_charge_current", kU, "string", "positive", Unit::kAmperes, kUn, UnitReg(35), 10, kSame, "整机数据", "正组电池充电电流"},
    {"battery_charge_current", kU, "string", "negative", Unit::kAmperes, kUn, UnitReg(36), 10, kSame, "整机数据", "负组电池充电电流"},
    {"battery_charge", kU, nullptr, nullptr, Unit::kPercent, kUn, UnitReg(37), 1, kSame, "整机数据", "电池容量率"},
    {"battery_runtime", kU, nullptr, nullptr, Unit::kSeconds, kUn, UnitReg(38), 1, kMinutes, "整机数据", "电池后备时间"},
    {"battery_temperature", kU, nullptr, nullptr, Unit::kCelsius, kUn, UnitReg(39), 10, kSame, "整机数据", "电池温度"},
    {"ambient_temperature", kU, nullptr, nullptr, Unit::kCelsius, kUn, UnitReg(40), 10, kSame, "整机数据", "环境温度"},
    {"parallel_units_powered", kU, nullptr, nullptr, Unit::kCount, kUn, UnitReg(61), 1, kSame, "并机数据", "并机上电总台数"},
    {"parallel_units_on_inverter", kU, nullptr, nullptr, Unit::kCount, kUn, UnitReg(62), 1, kSame, "并机数据", "并机逆变供电台数"},
    {"parallel_output_apparent_power", kU, "phase", "a", Unit::kVoltAmperes, kUn, UnitReg(63), 1000, kKilo, "并机数据", "并机输出A相总视在功率"},
    {"parallel_output_apparent_power", kU, "phase", "b", Unit::kVoltAmperes, kUn, UnitReg(64), 1000, kKilo, "并机数据", "并机输出B相总视在功率"},
    {"parallel_output_apparent_power", kU, "phase", "c", Unit::kVoltAmperes, kUn, UnitReg(65), 1000, kKilo, "并机数据", "并机输出C相总视在功率"},
    {"parallel_output_active_power", kU, "phase", "a", Unit::kWatts, kUn, UnitReg(66), 1000, kKilo, "并机数据", "并机输出A相有功功率"},
    {"parallel_output_active_power", kU, "phase", "b", Unit::kWatts, kUn, UnitReg(67), 1000, kKilo, "并机数据", "并机输出B相有功功率"},
    {"parallel_output_active_power", kU, "phase", "c", Unit::kWatts, kUn, UnitReg(68), 1000, kKilo, "并机数据", "并机输出C相有功功率"},
    {"run_state", kU, nullptr, nullptr, Unit::kState, Read::kRunState, UnitReg(81), 1, kSame, "整机状态数据", "运行状态"},
    {"module_present", kM, nullptr, nullptr, Unit::kBoolean, Read::kPresence, ModuleReg(12), 1, kSame, nullptr, "模块%s-整流模块通讯联机"},
    {"module_inverter_bus_voltage", kM, "bus", "positive", Unit::kVolts, kUn, ModuleReg(0), 10, kSame, nullptr, "模块%s-（逆变）正母线电压"},
    {"module_inverter_bus_voltage", kM, "bus", "negative", Unit::kVolts, kUn, ModuleReg(1), 10, kSame, nullptr, "模块%s-（逆变）负母线电压"},
    {"module_inverter_voltage", kM, "phase", "a", Unit::kVolts, kUn, ModuleReg(2), 10, kSame, nullptr, "模块%s-逆变A相电压"},
    {"module_inverter_voltage", kM, "phase", "b", Unit::kVolts, kUn, ModuleReg(3), 10, kSame, nullptr, "模块%s-逆变B相电压"},
    {"module_inverter_voltage", kM, "phase", "c", Unit::kVolts, kUn, ModuleReg(4), 10, kSame, nullptr, "模块%s-逆变C相电压"},
    {"module_inverter_current", kM, "phase", "a", Unit::kAmperes, kUn, ModuleReg(5), 10, kSame, nullptr, "模块%s-逆变A相电流"},
    {"module_inverter_current", kM, "phase", "b", Unit::kAmperes, kUn, ModuleReg(6), 10, kSame, nullptr, "模块%s-逆变B相电流"},
    {"module_inverter_current", kM, "phase", "c", Unit::kAmperes, kUn, ModuleReg(7), 10, kSame, nullptr, "模块%s-逆变C相电流"},
    {"module_inverter_frequency", kM, nullptr, nullptr, Unit::kHertz, kUn, ModuleReg(8), 10, kSame, nullptr, "模块%s-逆变频率"},
    {"module_rectifier_temperature", kM, nullptr, nullptr, Unit::kCelsius, kUn, ModuleReg(9), 10, kSame, nullptr, "模块%s-整流温度"},
    {"module_inverter_temperature", kM, nullptr, nullptr, Unit::kCelsius, kUn, ModuleReg(10), 10, kSame, nullptr, "模块%s-逆变温度"},
    {"module_rectifier_bus_voltage", kM, "bus", "positive", Unit::kVolts, kUn, ModuleReg(19), 10, kSame, nullptr, "模块%s-（整流）正母线电压"},
    {"module_rectifier_bus_voltage", kM, "bus", "negative", Unit::kVolts, kUn, ModuleReg(20), 10, kSame, nullptr, "模块%s-（整流）负母线电压"},
    {"cell_present", kC, nullptr, nullptr, Unit::kBoolean, Read::kPresence, CellReg(0), 1, kSame, nullptr, "#%s电池电压"},
    {"cell_voltage", kC, nullptr, nullptr, Unit::kVolts, kUn, CellReg(0), 100, kSame, nullptr, "#%s电池电压"},
    {"cell_temperature", kC, nullptr, nullptr, Unit::kCelsius, Read::kSigned, CellReg(1), 1, kSame, nullptr, "#%s电池温度"},
    {"cell_resistance", kC, nullptr, nullptr, Unit::kOhms, kUn, CellReg(2), 100, kMilli, nullptr, "#%s电池内阻"},
};

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
    return code < kRunStateCount ? kRunStates[code].id : "invalid";
}

const char* RunStateText(unsigned code) {
    return code < kRunStateCount ? kRunStates[code].text : render::kInvalidText;
}

}  // namespace monitor
}  // namespace novex
