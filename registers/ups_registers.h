// The UPS's Modbus registers, described once. Everything that knows an address reads
// it from here: the plug-in's poll round, the document's sections for the unit's
// measurements and alarm flags, vimohost's measures and alarms, the simulator's map,
// and the tests and benchmarks that make a round of their own.
//
// A round is the blocks below, read in order; each block's values land in the raw
// record (device/novexups_data.h, which checks these offsets against its fields) at
// its record offset: a coil as one byte (0 or 1), a register as two bytes in the
// host's order. So the value of address A of a block B sits at
//   B.record_offset + (A - B.first) * B.item_bytes()
// and RecordOffset() gives it for any address a round reads. Addresses are the ones a
// request PDU carries (the round asks for coil 1 as address 1; address 0 is never
// read). A server answering from a record finds a request's block with FindBlock() and
// copies bytes() bytes from record_offset, turning native words into big-endian ones.
//
// Nothing here depends on anything else in the tree: every folder may include it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace novex {
namespace registers {

// The two Modbus read functions of a round (function codes).
enum class Function : uint8_t { kReadCoils = 0x01, kReadInputRegisters = 0x04 };

// One request of the poll round.
struct Block {
    Function function;
    uint16_t first;          // first address
    uint16_t count;          // number of coils or registers
    uint16_t record_offset;  // where the first value lands in the record

    constexpr unsigned last() const { return first + count - 1u; }
    constexpr size_t item_bytes() const { return function == Function::kReadCoils ? 1 : 2; }
    constexpr size_t bytes() const { return item_bytes() * count; }
    constexpr size_t record_end() const { return record_offset + bytes(); }
    constexpr bool Holds(Function f, unsigned address) const {
        return f == function && address >= first && address <= last();
    }
};

constexpr Function kCoils = Function::kReadCoils;
constexpr Function kInputs = Function::kReadInputRegisters;

// The poll round in order of reading. Columns: function, first address, count,
// record offset. Power module k (1..10) answers registers 100 + 50 (k - 1), 21 of
// them; battery cell n registers 2000 + 4 (n - 1), four of them.
constexpr size_t kBlockCount = 20;
inline constexpr Block kBlocks[kBlockCount] = {
    {kCoils, 1, 31, 4},        // status bits
    {kCoils, 65, 33, 35},      // alarm bits
    {kInputs, 1, 40, 68},      // unit measurements
    {kInputs, 61, 8, 148},     // parallel system measurements
    {kInputs, 81, 1, 164},     // run state
    {kInputs, 82, 4, 166},     // status flags
    {kInputs, 86, 4, 174},     // alarm flags
    {kInputs, 90, 1, 182},     // system status
    {kInputs, 91, 1, 184},     // system status
    {kInputs, 100, 21, 186},   // power module 1
    {kInputs, 150, 21, 228},   // power module 2
    {kInputs, 200, 21, 270},   // power module 3
    {kInputs, 250, 21, 312},   // power module 4
    {kInputs, 300, 21, 354},   // power module 5
    {kInputs, 350, 21, 396},   // power module 6
    {kInputs, 400, 21, 438},   // power module 7
    {kInputs, 450, 21, 480},   // power module 8
    {kInputs, 500, 21, 522},   // power module 9
    {kInputs, 550, 21, 564},   // power module 10
    {kInputs, 2000, 120, 606}, // battery cells 1..30
};

// The record's first byte after the device id, and the first after the last block.
constexpr size_t kBlocksBegin = 4;
constexpr size_t kBlocksEnd = 846;

// The index in kBlocks of the block of `function` that holds every address
// first..first+count-1, or -1 (count 0, or a range that runs past one block even into
// the next). The compile-time checks use indexes: GCC's undefined-behaviour sanitizer
// turns a pointer's comparison with null into something no constant expression allows.
constexpr int FindBlockIndex(Function function, unsigned first, unsigned count) {
    for (size_t i = 0; i < kBlockCount; ++i) {
        const Block& b = kBlocks[i];
        if (b.Holds(function, first) && count >= 1 && count <= b.last() - first + 1)
            return static_cast<int>(i);
    }
    return -1;
}

// The same block, or nullptr.
inline const Block* FindBlock(Function function, unsigned first, unsigned count) {
    const int i = FindBlockIndex(function, first, count);
    return i < 0 ? nullptr : &kBlocks[i];
}

// True when one block of the round reads every address first..first+count-1.
constexpr bool RoundReads(Function function, unsigned first, unsigned count) {
    return FindBlockIndex(function, first, count) >= 0;
}

// Record offset of the value of `address`, or -1 when no block of `function` reads it.
constexpr long RecordOffset(Function function, unsigned address) {
    const int i = FindBlockIndex(function, address, 1);
    if (i < 0) return -1;
    const Block& b = kBlocks[i];
    return static_cast<long>(b.record_offset + (address - b.first) * b.item_bytes());
}

// One past the highest address a round reads with `function`.
constexpr unsigned AddressLimit(Function function) {
    unsigned limit = 0;
    for (const Block& b : kBlocks)
        if (b.function == function && b.last() + 1 > limit) limit = b.last() + 1;
    return limit;
}

// ---- Measurements ---------------------------------------------------------------

// The unit a register's value is in once divided by its divisor.
enum class Unit : uint8_t {
    kVolts,
    kAmperes,
    kHertz,
    kRatio,  // power factor, crest factor
    kPercent,
    kKilowatts,
    kKilovoltAmperes,
    kMinutes,
    kCelsius,
    kCount,  // a number of units
    kMilliohms,
};

// One input register that is a plain figure. Columns: address (of a power module or
// battery cell: the index in its block); key of the document member ("%s": the module
// or cell number); divisor (1: the register as it is); unit; measure id and its label
// (name and value, nullptr: none) for tools; English name; read as two's complement.
struct Measurement {
    uint16_t address;
    const char* key;
    uint16_t divisor;
    Unit unit;
    const char* id;
    const char* label_name;
    const char* label_value;
    const char* name;
    bool is_signed = false;
};

constexpr Unit kV = Unit::kVolts;
constexpr Unit kA = Unit::kAmperes;
constexpr Unit kHz = Unit::kHertz;

// Document section of input registers 1..40, in address order.
inline constexpr char kUnitDataSection[] = "整机数据";
inline constexpr Measurement kUnitData[] = {
    {1, "输入A相电压", 10, kV, "input_voltage", "phase", "a", "Input voltage, phase A"},
    {2, "输入B相电压", 10, kV, "input_voltage", "phase", "b", "Input voltage, phase B"},
    {3, "输入C相电压", 10, kV, "input_voltage", "phase", "c", "Input voltage, phase C"},
    {4, "输入频率", 10, kHz, "input_frequency", nullptr, nullptr, "Input frequency"},
    {5, "输入A相电流", 10, kA, "input_current", "phase", "a", "Input current, phase A"},
    {6, "输入B相电流", 10, kA, "input_current", "phase", "b", "Input current, phase B"},
    {7, "输入C相电流", 10, kA, "input_current", "phase", "c", "Input current, phase C"},
    {8, "输入A相功率因数", 100, Unit::kRatio, "input_power_factor", "phase", "a", "Input power factor, phase A"},
    {9, "输入B相功率因数", 100, Unit::kRatio, "input_power_factor", "phase", "b", "Input power factor, phase B"},
    {10, "输入C相功率因数", 100, Unit::kRatio, "input_power_factor", "phase", "c", "Input power factor, phase C"},
    {11, "输出A相电压", 10, kV, "output_voltage", "phase", "a", "Output voltage, phase A"},
    {12, "输出B相电压", 10, kV, "output_voltage", "phase", "b", "Output voltage, phase B"},
    {13, "输出C相电压", 10, kV, "output_voltage", "phase", "c", "Output voltage, phase C"},
    {14, "输出频率", 10, kHz, "output_frequency", nullptr, nullptr, "Output frequency"},
    {15, "输出A相电流", 10, kA, "output_current", "phase", "a", "Output current, phase A"},
    {16, "输出B相电流", 10, kA, "output_current", "phase", "b", "Output current, phase B"},
    {17, "输出C相电流", 10, kA, "output_current", "phase", "c", "Output current, phase C"},
    {18, "输出A相有功功率", 100, Unit::kKilowatts, "output_active_power", "phase", "a", "Output active power, phase A"},
    {19, "输出B相有功功率", 100, Unit::kKilowatts, "output_active_power", "phase", "b", "Output active power, phase B"},
    {20, "输出C相有功功率", 100, Unit::kKilowatts, "output_active_power", "phase", "c", "Output active power, phase C"},
    {21, "输出A相负载率", 1, Unit::kPercent, "output_load", "phase", "a", "Output load, phase A"},
    {22, "输出B相负载率", 1, Unit::kPercent, "output_load", "phase", "b", "Output load, phase B"},
    {23, "输出C相负载率", 1, Unit::kPercent, "output_load", "phase", "c", "Output load, phase C"},
    {24, "输入A相负载峰值比", 100, Unit::kRatio, "load_crest_factor", "phase", "a", "Load crest factor, phase A"},
    {25, "输入B相负载峰值比", 100, Unit::kRatio, "load_crest_factor", "phase", "b", "Load crest factor, phase B"},
    {26, "输入C相负载峰值比", 100, Unit::kRatio, "load_crest_factor", "phase", "c", "Load crest factor, phase C"},
    {27, "旁路A相电压", 10, kV, "bypass_voltage", "phase", "a", "Bypass voltage, phase A"},
    {28, "旁路B相电压", 10, kV, "bypass_voltage", "phase", "b", "Bypass voltage, phase B"},
    {29, "旁路C相电压", 10, kV, "bypass_voltage", "phase", "c", "Bypass voltage, phase C"},
    {30, "旁路频率", 10, kHz, "bypass_frequency", nullptr, nullptr, "Bypass frequency"},
    {31, "正组电池电压", 10, kV, "battery_voltage", "string", "positive", "Battery voltage, positive string"},
    {32, "负组电池电压", 10, kV, "battery_voltage", "string", "negative", "Battery voltage, negative string"},
    {33, "正组电池放电电流", 10, kA, "battery_discharge_current", "string", "positive", "Battery discharge current, positive string"},
    {34, "负组电池放电电流", 10, kA, "battery_discharge_current", "string", "negative", "Battery discharge current, negative string"},
    {35, "正组电池充电电流", 10, kA, "battery_charge_current", "string", "positive", "Battery charge current, positive string"},
    {36, "负组电池充电电流", 10, kA, "battery_charge_current", "string", "negative", "Battery charge current, negative string"},
    {37, "电池容量率", 1, Unit::kPercent, "battery_charge", nullptr, nullptr, "Battery charge"},
    // An undivided count; minutes is the only reading that fits the magnitudes a UPS
    // reports (a full battery at a third of the load reads 45).
    {38, "电池后备时间", 1, Unit::kMinutes, "battery_runtime", nullptr, nullptr, "Battery runtime"},
    {39, "电池温度", 10, Unit::kCelsius, "battery_temperature", nullptr, nullptr, "Battery temperature"},
    {40, "环境温度", 10, Unit::kCelsius, "ambient_temperature", nullptr, nullptr, "Ambient temperature"},
};

// Document section of input registers 61..68, in address order.
inline constexpr char kParallelDataSection[] = "并机数据";
inline constexpr Measurement kParallelData[] = {
    {61, "并机上电总台数", 1, Unit::kCount, "parallel_units_powered", nullptr, nullptr, "Parallel units powered"},
    {62, "并机逆变供电台数", 1, Unit::kCount, "parallel_units_on_inverter", nullptr, nullptr, "Parallel units on inverter"},
    {63, "并机输出A相总视在功率", 1000, Unit::kKilovoltAmperes, "parallel_output_apparent_power", "phase", "a", "Parallel output apparent power, phase A"},
    {64, "并机输出B相总视在功率", 1000, Unit::kKilovoltAmperes, "parallel_output_apparent_power", "phase", "b", "Parallel output apparent power, phase B"},
    {65, "并机输出C相总视在功率", 1000, Unit::kKilovoltAmperes, "parallel_output_apparent_power", "phase", "c", "Parallel output apparent power, phase C"},
    {66, "并机输出A相有功功率", 1000, Unit::kKilowatts, "parallel_output_active_power", "phase", "a", "Parallel output active power, phase A"},
    {67, "并机输出B相有功功率", 1000, Unit::kKilowatts, "parallel_output_active_power", "phase", "b", "Parallel output active power, phase B"},
    {68, "并机输出C相有功功率", 1000, Unit::kKilowatts, "parallel_output_active_power", "phase", "c", "Parallel output active power, phase C"},
};

// ---- Power modules and battery cells ------------------------------------------------

// Power module k (1..10) is registers 100 + 50 (k - 1), 21 of them, a block of its own.
constexpr size_t kModuleCount = 10;
constexpr unsigned kModuleFirstAddress = 100;
constexpr unsigned kModuleAddressStride = 50;
constexpr unsigned kModuleRegisterCount = 21;

// A module's measurements by index in its block, in the order tools list them.
inline constexpr Measurement kModuleData[] = {
    {0, "模块%s-（逆变）正母线电压", 10, kV, "module_inverter_bus_voltage", "bus", "positive", "Inverter positive bus voltage"},
    {1, "模块%s-（逆变）负母线电压", 10, kV, "module_inverter_bus_voltage", "bus", "negative", "Inverter negative bus voltage"},
    {2, "模块%s-逆变A相电压", 10, kV, "module_inverter_voltage", "phase", "a", "Inverter voltage, phase A"},
    {3, "模块%s-逆变B相电压", 10, kV, "module_inverter_voltage", "phase", "b", "Inverter voltage, phase B"},
    {4, "模块%s-逆变C相电压", 10, kV, "module_inverter_voltage", "phase", "c", "Inverter voltage, phase C"},
    {5, "模块%s-逆变A相电流", 10, kA, "module_inverter_current", "phase", "a", "Inverter current, phase A"},
    {6, "模块%s-逆变B相电流", 10, kA, "module_inverter_current", "phase", "b", "Inverter current, phase B"},
    {7, "模块%s-逆变C相电流", 10, kA, "module_inverter_current", "phase", "c", "Inverter current, phase C"},
    {8, "模块%s-逆变频率", 10, kHz, "module_inverter_frequency", nullptr, nullptr, "Inverter frequency"},
    {9, "模块%s-整流温度", 10, Unit::kCelsius, "module_rectifier_temperature", nullptr, nullptr, "Rectifier temperature"},
    {10, "模块%s-逆变温度", 10, Unit::kCelsius, "module_inverter_temperature", nullptr, nullptr, "Inverter temperature"},
    {19, "模块%s-（整流）正母线电压", 10, kV, "module_rectifier_bus_voltage", "bus", "positive", "Rectifier positive bus voltage"},
    {20, "模块%s-（整流）负母线电压", 10, kV, "module_rectifier_bus_voltage", "bus", "negative", "Rectifier negative bus voltage"},
};

// A module is present while its rectifier reports communication online: index 12,
// bit 15 ("通讯联机").
constexpr unsigned kModulePresenceIndex = 12;
constexpr uint16_t kModulePresenceMask = 0x8000;
inline constexpr char kModulePresenceKey[] = "模块%s-整流模块通讯联机";

// Battery cell n (1..30) is registers 2000 + 4 (n - 1), four of them, of which the
// fourth is shown nowhere; all cells are one block.
constexpr size_t kCellCount = 30;
constexpr unsigned kCellFirstAddress = 2000;
constexpr unsigned kCellRegisterCount = 4;

// A cell's registers by index; a cell whose voltage reads zero is not present.
inline constexpr Measurement kCellData[] = {
    {0, "#%s电池电压", 100, kV, "cell_voltage", nullptr, nullptr, "Cell voltage"},
    {1, "#%s电池温度", 1, Unit::kCelsius, "cell_temperature", nullptr, nullptr, "Cell temperature", true},
    {2, "#%s电池内阻", 100, Unit::kMilliohms, "cell_resistance", nullptr, nullptr, "Cell internal resistance"},
};

// ---- Run state (input register 81) ------------------------------------------------

inline constexpr char kRunStateSection[] = "整机状态数据";
inline constexpr char kRunStateKey[] = "运行状态";
constexpr uint16_t kRunStateAddress = 81;

// Indexed by the register's value. Columns: id, text the document writes, English name.
struct RunState {
    const char* id;
    const char* text;
    const char* name;
};
constexpr size_t kRunStateCount = 12;
inline constexpr RunState kRunStates[kRunStateCount] = {
    {"initializing", "初始化", "Initialising"},
    {"standby", "待机状态", "Standby"},
    {"no_output", "无输出状态", "No output"},
    {"on_bypass", "旁路状态", "On bypass"},
    {"on_mains", "市电状态", "On mains"},
    {"on_battery", "电池状态", "On battery"},
    {"battery_test", "电池自检状态", "Battery self-test"},
    {"inverter_starting", "逆变启动中", "Inverter starting"},
    {"eco_mode", "经济模式", "Economy mode"},
    {"emergency_power_off", "EPO状态", "Emergency power off"},
    {"maintenance_bypass", "维护旁路模式", "Maintenance bypass"},
    {"fault", "故障模式", "Fault mode"},
};

// ---- Alarm flags and alarm coils ----------------------------------------------------

enum class Severity : unsigned char { kCritical, kWarning, kInfo };

// The unit's alarm flags, input registers 86..89: one 64-bit field whose first
// register is the most significant, so group bit k is bit k % 16 of register
// 89 - k / 16. A power module's registers 15..18 carry the same flags at the same
// bits. Columns: group bit, id, severity, text the document writes, English name.
struct AlarmFlag {
    unsigned char group_bit;
    const char* id;
    Severity severity;
    const char* text;
    const char* name;

    // Index of the flag's register in its four, and its bit there.
    constexpr unsigned register_index() const { return 3u - group_bit / 16u; }
    constexpr uint16_t mask() const { return static_cast<uint16_t>(1u << (group_bit % 16u)); }
};

constexpr Severity kCrit = Severity::kCritical;
constexpr Severity kWarn = Severity::kWarning;
constexpr Severity kInfo = Severity::kInfo;

constexpr uint16_t kAlarmFlagsAddress = 86;
constexpr size_t kAlarmFlagCount = 51;
// In the document's order of writing.
inline constexpr AlarmFlag kAlarmFlags[kAlarmFlagCount] = {
    {7, "dc_bus_voltage_abnormal", kWarn, "BUS电压异常", "DC bus voltage abnormal"},
    {8, "backfeed_protection", kWarn, "回馈保护", "Back-feed protection active"},
    {9, "bypass_overcurrent", kCrit, "旁路过流", "Bypass overcurrent"},
    {10, "inverter_dc_offset_high", kWarn, "逆变直流分量过大", "Inverter DC offset too high"},
    {11, "parallel_overload", kCrit, "并机过载", "Parallel system overloaded"},
    {12, "overload", kCrit, "过载", "Output overloaded"},
    {13, "start_refused", kInfo, "开机无效", "Start command refused"},
    {14, "power_on_initialization_fault", kCrit, "上电初始化故障", "Power-on initialisation fault"},
    {15, "lbs_out_of_tracking_range", kWarn, "LBS超跟踪", "Load bus sync out of tracking range"},
    {16, "parallel_relay_fault", kCrit, "并机继电器故障", "Parallel relay fault"},
    {17, "parallel_cable_fault", kCrit, "并机连线故障", "Parallel cable fault"},
    {18, "fuse_blown", kCrit, "熔丝断", "Fuse blown"},
    {19, "igbt_overcurrent", kCrit, "IGBT过流", "IGBT overcurrent"},
    {20, "bypass_out_of_protection_range", kWarn, "旁路超保护", "Bypass out of protection range"},
    {21, "bypass_out_of_tracking_range", kWarn, "旁路超跟踪", "Bypass out of tracking range"},
    {22, "not_synchronized", kWarn, "不同步", "Inverter not synchronised with bypass"},
    {23, "bypass_phase_sequence_reversed", kWarn, "旁路反序", "Bypass phase sequence reversed"},
    {24, "parallel_current_sharing_fault", kCrit, "并机均流故障", "Parallel current sharing fault"},
    {25, "can_communication_fault", kCrit, "CAN通信故障", "CAN communication fault"},
    {26, "bypass_thyristor_open_fault", kCrit, "旁路晶闸管断路故障", "Bypass thyristor open circuit"},
    {27, "bypass_thyristor_short_fault", kCrit, "旁路晶闸管短路故障", "Bypass thyristor short circuit"},
    {28, "inverter_thyristor_open_fault", kCrit, "逆变晶闸管断路故障", "Inverter thyristor open circuit"},
    {29, "inverter_thyristor_short_fault", kCrit, "逆变晶闸管短路故障", "Inverter thyristor short circuit"},
    {30, "inverter_bridge_shoot_through", kCrit, "逆变桥臂直通", "Inverter bridge shoot-through"},
    {31, "inverter_fault", kCrit, "逆变器故障", "Inverter fault"},
    {38, "mains_voltage_abnormal", kWarn, "市电电压异常", "Mains voltage abnormal"},
    {39, "mains_frequency_abnormal", kWarn, "市电频率异常", "Mains frequency abnormal"},
    {40, "battery_voltage_prealarm", kWarn, "电池电压预告警", "Battery voltage pre-alarm"},
    {41, "battery_voltage_high", kWarn, "电池电压高", "Battery voltage high"},
    {42, "battery_voltage_low", kCrit, "电池电压低", "Battery voltage low"},
    {43, "negative_charger_fault", kCrit, "负组电池充电器故障", "Negative battery string charger fault"},
    {44, "positive_charger_fault", kCrit, "正组电池充电器故障", "Positive battery string charger fault"},
    {45, "battery_missing", kCrit, "电池无", "Battery missing"},
    {46, "battery_reversed", kCrit, "电池反", "Battery connected in reverse"},
    {47, "input_neutral_missing", kWarn, "输入缺零", "Input neutral missing"},
    {48, "soft_start_failed", kCrit, "软启动失败", "Soft start failed"},
    {49, "input_phase_sequence_reversed", kWarn, "输入电压相序反", "Input phase sequence reversed"},
    {50, "bus_voltage_imbalance", kWarn, "正负母线压差大", "Positive and negative bus voltages unbalanced"},
    {51, "bus_undervoltage", kWarn, "母线电压欠压", "Bus undervoltage"},
    {52, "bus_overvoltage", kWarn, "母线电压过压", "Bus overvoltage"},
    {53, "fan_supply_fault", kCrit, "风扇电源故障", "Fan power supply fault"},
    {54, "fan_fault", kCrit, "风扇故障", "Fan fault"},
    {55, "battery_charge_thyristor_fault", kCrit, "电池充电晶闸管故障", "Battery charge thyristor fault"},
    {56, "battery_discharge_thyristor_fault", kCrit, "电池放电晶闸管故障", "Battery discharge thyristor fault"},
    {57, "input_thyristor_fault", kCrit, "输入晶闸管故障", "Input thyristor fault"},
    {58, "auxiliary_supply2_fault", kCrit, "辅助电源2故障", "Auxiliary power supply 2 fault"},
    {59, "auxiliary_supply1_fault", kCrit, "辅助电源1故障", "Auxiliary power supply 1 fault"},
    {60, "rectifier_overcurrent_fault", kCrit, "整流过流故障", "Rectifier overcurrent fault"},
    {61, "inverter_overtemperature", kWarn, "逆变模块过温", "Inverter over temperature"},
    {62, "rectifier_overtemperature", kWarn, "整流模块过温", "Rectifier over temperature"},
    {63, "rectifier_fault", kCrit, "整流器故障", "Rectifier fault"},
};

// The unit's alarm coils 65..97 that carry an alarm (75, 86 and 87 carry none), in
// coil order; the text is also the name of the threshold rule the plug-in reports.
// Where an alarm flag has the same text, the coil and the flag are one alarm: its id,
// severity and name are the flag's, and the row's are nullptr. Columns: coil, text,
// id, severity, English name.
struct AlarmCoil {
    uint8_t coil;
    const char* text;
    const char* id;
    Severity severity;
    const char* name;

    constexpr size_t byte_index() const { return coil - 65u; }  // in the coils 65..97
};

// A coil that is one alarm with the flag of the same text.
constexpr AlarmCoil Alike(uint8_t coil, const char* text) {
    return {coil, text, nullptr, Severity::kCritical, nullptr};
}

constexpr size_t kAlarmCoilCount = 30;
inline constexpr AlarmCoil kAlarmCoils[kAlarmCoilCount] = {
    Alike(65, "整流器故障"),
    Alike(66, "逆变器故障"),
    {67, "辅助电源故障", "auxiliary_supply_fault", kCrit, "Auxiliary power supply fault"},
    Alike(68, "风扇故障"),
    Alike(69, "输入晶闸管故障"),
    {70, "逆变晶闸管故障", "inverter_thyristor_fault", kCrit, "Inverter thyristor fault"},
    {71, "旁路晶闸管故障", "bypass_thyristor_fault", kCrit, "Bypass thyristor fault"},
    Alike(72, "熔丝断"),
    {73, "母线电压异常", "bus_voltage_abnormal", kWarn, "Bus voltage abnormal"},
    {74, "初始化故障", "initialization_fault", kCrit, "Initialisation fault"},
    {76, "充电器故障", "charger_fault", kCrit, "Charger fault"},
    {77, "并机故障", "parallel_fault", kCrit, "Parallel system fault"},
    Alike(78, "开机无效"),
    Alike(79, "逆变直流分量过大"),
    Alike(80, "输入电压相序反"),
    Alike(81, "输入缺零"),
    Alike(82, "旁路反序"),
    Alike(83, "电池反"),
    Alike(84, "电池无"),
    Alike(85, "回馈保护"),
    Alike(88, "过载"),
    Alike(89, "并机过载"),
    Alike(90, "电池电压低"),
    Alike(91, "电池电压高"),
    {92, "电池欠压预告警", "battery_undervoltage_prealarm", kWarn, "Battery undervoltage pre-alarm"},
    Alike(93, "市电频率异常"),
    Alike(94, "市电电压异常"),
    Alike(95, "旁路超跟踪"),
    Alike(96, "旁路超保护"),
    Alike(97, "旁路过流"),
};

constexpr bool SameText(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}
// The index in kAlarmFlags of the flag with the same text as `coil`, or -1.
constexpr int FlagIndexNamedAlike(const AlarmCoil& coil) {
    for (size_t i = 0; i < kAlarmFlagCount; ++i)
        if (SameText(kAlarmFlags[i].text, coil.text)) return static_cast<int>(i);
    return -1;
}
// The flag with the same text as `coil`, or nullptr.
inline const AlarmFlag* FlagNamedAlike(const AlarmCoil& coil) {
    const int i = FlagIndexNamedAlike(coil);
    return i < 0 ? nullptr : &kAlarmFlags[i];
}

// ---- What the tables promise each other, checked by the compiler -------------------

namespace checks {

// The blocks fill the record from kBlocksBegin to kBlocksEnd in order, no two read the
// same address, and none asks for more than one response holds (2000 coils, 125
// registers).
constexpr bool BlocksFillTheRecord() {
    size_t at = kBlocksBegin;
    for (const Block& b : kBlocks) {
        if (b.record_offset != at || b.count == 0) return false;
        if (b.count > (b.function == kCoils ? 2000u : 125u)) return false;
        at = b.record_end();
    }
    return at == kBlocksEnd;
}
constexpr bool NoAddressReadTwice() {
    for (size_t i = 0; i < kBlockCount; ++i)
        for (size_t j = i + 1; j < kBlockCount; ++j)
            if (kBlocks[j].Holds(kBlocks[i].function, kBlocks[i].first) ||
                kBlocks[i].Holds(kBlocks[j].function, kBlocks[j].first))
                return false;
    return true;
}
// Rows in address order without gaps, all inside one block.
template <size_t N>
constexpr bool OneBlockInOrder(const Measurement (&rows)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (rows[i].address != rows[0].address + i || rows[i].divisor == 0) return false;
    return RoundReads(kInputs, rows[0].address, N);
}
// Module k's and the cells' blocks are where the addresses above say.
constexpr bool ModulesAndCellsAreTheirBlocks() {
    for (size_t k = 0; k < kModuleCount; ++k) {
        const int b = FindBlockIndex(kInputs, kModuleFirstAddress + kModuleAddressStride * k,
                                     kModuleRegisterCount);
        if (b < 0 || kBlocks[b].count != kModuleRegisterCount) return false;
    }
    for (const Measurement& m : kModuleData)
        if (m.address >= kModuleRegisterCount) return false;
    for (const Measurement& m : kCellData)
        if (m.address >= kCellRegisterCount) return false;
    const int cells = FindBlockIndex(kInputs, kCellFirstAddress, kCellRegisterCount * kCellCount);
    return cells >= 0 && kBlocks[cells].count == kCellRegisterCount * kCellCount;
}
constexpr bool CoilsShareFlagsByText() {
    for (const AlarmCoil& c : kAlarmCoils) {
        if (FindBlockIndex(kCoils, c.coil, 1) != 1) return false;
        if ((c.id == nullptr) != (FlagIndexNamedAlike(c) >= 0)) return false;
    }
    return true;
}
constexpr bool FlagsInOrder() {
    for (size_t i = 1; i < kAlarmFlagCount; ++i)
        if (kAlarmFlags[i].group_bit <= kAlarmFlags[i - 1].group_bit) return false;
    return kAlarmFlags[kAlarmFlagCount - 1].group_bit < 64;
}

}  // namespace checks

static_assert(checks::BlocksFillTheRecord(), "blocks fill the record in order");
static_assert(checks::NoAddressReadTwice(), "no address is read twice in a round");
static_assert(sizeof kUnitData / sizeof kUnitData[0] == 40, "input registers 1..40");
static_assert(sizeof kParallelData / sizeof kParallelData[0] == 8, "input registers 61..68");
static_assert(checks::OneBlockInOrder(kUnitData) && checks::OneBlockInOrder(kParallelData),
              "measurement rows follow their block");
static_assert(RoundReads(kInputs, kRunStateAddress, 1), "the run state is read");
static_assert(RoundReads(kInputs, kAlarmFlagsAddress, 4), "the alarm flags are read");
static_assert(checks::ModulesAndCellsAreTheirBlocks(), "module and cell blocks");
static_assert(checks::FlagsInOrder(), "alarm flags by rising group bit");
static_assert(checks::CoilsShareFlagsByText(), "a coil has its own id exactly when no flag shares its text");

}  // namespace registers
}  // namespace novex
