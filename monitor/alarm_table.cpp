// The alarm tables and their expansion. The texts of the unit alarm bits are the
// threshold rules' names (rules/alarm_rules.h); the flag texts are written here, and
// a test checks every text against the document.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "rules/alarm_rules.h"
#include "monitor/alarms.h"
#include "device/novexups_data.h"
#include "monitor/measures.h"

namespace novex {
namespace monitor {

namespace {

namespace off = record_offset;

constexpr Severity kCrit = Severity::kCritical;
constexpr Severity kWarn = Severity::kWarning;
constexpr Severity kInfo = Severity::kInfo;

// The unit's alarm flags of registers 86..89 (group bit k is bit k % 16 of register
// 89 - k / 16). A power module's alarm registers 15..18 carry the same flags at the
// same bits (register 15 + 3 - k / 16), and the document names them after the unit's
// flag with the module and the stage before it ("模块3-整流模块风扇故障"), so one row
// serves the unit and all ten modules. Columns: group bit, id, severity, text, English
// description.
struct FlagRow {
    unsigned char group_bit;
    const char* id;
    Severity severity;
    const char* text;
    const char* description;
};
const FlagRow kFlags[kModuleAlarmCount] = {
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

// The unit alarm bits that no flag names alike; their texts are the rules' names.
// Columns: coil, id, severity, English description.
struct CoilRow {
    unsigned char coil;
    const char* id;
    Severity severity;
    const char* description;
};
const CoilRow kCoilOnly[] = {
    {67, "auxiliary_supply_fault", kCrit, "Auxiliary power supply fault"},
    {70, "inverter_thyristor_fault", kCrit, "Inverter thyristor fault"},
    {71, "bypass_thyristor_fault", kCrit, "Bypass thyristor fault"},
    {73, "bus_voltage_abnormal", kWarn, "Bus voltage abnormal"},
    {74, "initialization_fault", kCrit, "Initialisation fault"},
    {76, "charger_fault", kCrit, "Charger fault"},
    {77, "parallel_fault", kCrit, "Parallel system fault"},
    {92, "battery_undervoltage_prealarm", kWarn, "Battery undervoltage pre-alarm"},
};
constexpr size_t kCoilOnlyCount = sizeof kCoilOnly / sizeof kCoilOnly[0];
static_assert(kUnitAlarmCount == kModuleAlarmCount + kCoilOnlyCount, "22 bits share a flag");

// The run states of register 81 that are conditions of their own: raised while the UPS
// is in that state, cleared when it leaves it, so that going on battery and coming back
// on mains are a raise and a clear. On mains is the normal state and no condition; nor
// is initialising, which a record not yet filled (all zero) also reads as. The
// id is "run_state." and the state's id, the text the document's (measures.h).
// Severity by the rule above: the load without protected power is critical, riding
// through on battery or bypass a warning, a passing or chosen mode a notice.
// Columns: run state code, severity, English description.
struct RunStateAlarmRow {
    unsigned char code;
    Severity severity;
    const char* description;
};
const RunStateAlarmRow kRunStateAlarms[kRunStateAlarmCount] = {
    {1, kWarn, "UPS in standby, inverter off"},
    {2, kCrit, "No output: the load is not supplied"},
    {3, kWarn, "Load on bypass"},
    {5, kWarn, "On battery: mains failed"},
    {6, kInfo, "Battery self-test running"},
    {7, kInfo, "Inverter starting"},
    {8, kInfo, "Economy mode: load on bypass"},
    {9, kCrit, "Emergency power off"},
    {10, kWarn, "Maintenance bypass"},
    {11, kCrit, "UPS in fault mode"},
};

constexpr int kFirstCoil = 65;  // the alarm bits are coils 65..97, one byte each

int FlagRegisterIndex(const FlagRow& row) { return 3 - row.group_bit / 16; }
uint16_t FlagMask(const FlagRow& row) { return static_cast<uint16_t>(1u << (row.group_bit % 16)); }

// "Fan fault" as it reads after a colon, "fan fault"; "CAN communication fault" keeps
// its capitals.
std::string MidSentence(const char* description) {
    std::string text = description;
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
        std::islower(static_cast<unsigned char>(text[1])))
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

std::vector<Alarm> Expand() {
    std::vector<Alarm> out;
    bool shared[kModuleAlarmCount] = {};
    for (const AlarmRule& rule : kAlarmRules) {
        Alarm a{"", rule.name, kCrit, 0, rule.coil - kFirstCoil, -1, 0, ""};
        for (size_t f = 0; f < kModuleAlarmCount; ++f) {
            if (std::strcmp(kFlags[f].text, rule.name) != 0) continue;
            shared[f] = true;
            a.id = kFlags[f].id;
            a.severity = kFlags[f].severity;
            a.register_offset = static_cast<int>(off::kRegs86To89) + 2 * FlagRegisterIndex(kFlags[f]);
            a.register_mask = FlagMask(kFlags[f]);
            a.description = kFlags[f].description;
        }
        for (const CoilRow& row : kCoilOnly) {
            if (row.coil != rule.coil) continue;
            a.id = row.id;
            a.severity = row.severity;
            a.description = row.description;
        }
        out.push_back(a);
    }
    for (size_t f = 0; f < kModuleAlarmCount; ++f) {
        if (shared[f]) continue;
        const FlagRow& row = kFlags[f];
        out.push_back({row.id, row.text, row.severity, 0, -1,
                       static_cast<int>(off::kRegs86To89) + 2 * FlagRegisterIndex(row),
                       FlagMask(row), row.description});
    }
    char prefix[32];
    for (int k = 1; k <= static_cast<int>(kAlarmModuleCount); ++k) {
        const int block = static_cast<int>(off::kModuleRegs + off::kModuleBlockBytes * (k - 1));
        for (const FlagRow& row : kFlags) {
            // Registers 86 and 87 are the rectifier's, 88 and 89 the inverter's.
            const char* stage = row.group_bit >= 32 ? "整流模块" : "逆变模块";
            std::snprintf(prefix, sizeof prefix, "模块%d-", k);
            const char* stage_english = row.group_bit >= 32 ? "rectifier" : "inverter";
            out.push_back({"module" + std::to_string(k) + "." + row.id,
                           prefix + std::string(stage) + row.text, row.severity, k, -1,
                           block + 2 * (15 + FlagRegisterIndex(row)), FlagMask(row),
                           "Module " + std::to_string(k) + " " + stage_english + ": " +
                               MidSentence(row.description)});
        }
    }
    for (const RunStateAlarmRow& row : kRunStateAlarms) {
        Alarm a{std::string("run_state.") + RunStateId(row.code), RunStateText(row.code),
                row.severity, 0, -1, -1, 0, row.description};
        a.run_state = row.code;
        out.push_back(a);
    }
    // Raised by vimohost itself when the UPS stops answering; never from a record.
    out.push_back({"communication_lost", "通讯中断", kCrit, 0, -1, -1, 0,
                   "Communication with the UPS lost"});
    return out;
}

}  // namespace

const char* SeverityName(Severity severity) {
    static const char* const kNames[] = {"critical", "warning", "info"};
    return kNames[static_cast<size_t>(severity)];
}

const std::vector<Alarm>& Alarms() {
    static const std::vector<Alarm> alarms = Expand();
    return alarms;
}

size_t FindAlarm(const std::string& id) {
    const std::vector<Alarm>& all = Alarms();
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i].id == id) return i;
    return all.size();
}

std::vector<AlarmIndex> ActiveAlarms(const unsigned char* record) {
    std::vector<AlarmIndex> out;
    const std::vector<Alarm>& all = Alarms();
    for (size_t i = 0; i < all.size(); ++i) {
        const Alarm& a = all[i];
        bool active = a.coil_byte >= 0 && record[off::kBits65To97 + a.coil_byte] != 0;
        if (a.register_offset >= 0) {
            uint16_t reg;
            std::memcpy(&reg, record + a.register_offset, sizeof reg);
            active = active || (reg & a.register_mask) != 0;
        }
        if (a.run_state >= 0) {
            uint16_t code;
            std::memcpy(&code, record + off::kReg81, sizeof code);
            active = code == a.run_state;
        }
        if (active) out.push_back(static_cast<AlarmIndex>(i));
    }
    return out;
}

}  // namespace monitor
}  // namespace novex
