// The alarm tables and their expansion. The unit's alarm bits and flags, their ids,
// texts and severities are the register description's (registers/ups_registers.h);
// a test checks every text against the document.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "monitor/alarms.h"
#include "device/novexups_data.h"
#include "monitor/measures.h"
#include "registers/ups_registers.h"

namespace novex {
namespace monitor {

namespace {

namespace off = novex::record_offset;

constexpr Severity kCrit = Severity::kCritical;
constexpr Severity kWarn = Severity::kWarning;
constexpr Severity kInfo = Severity::kInfo;

namespace regs = registers;

// The unit's alarm flags and coils are the register description's. A power module's
// alarm registers 15..18 carry the unit's flags at the same bits (register
// 15 + 3 - k / 16), and the document names them after the unit's flag with the module
// and the stage before it ("模块3-整流模块风扇故障"), so one flag row serves the unit
// and all ten modules. A coil and a flag of the same text are one alarm.
static_assert(regs::kAlarmFlagCount == kModuleAlarmCount, "every flag in every module");
constexpr size_t CoilOnlyCount() {
    size_t n = 0;
    for (const regs::AlarmCoil& coil : regs::kAlarmCoils) n += coil.id != nullptr;
    return n;
}
static_assert(kUnitAlarmCount == kModuleAlarmCount + CoilOnlyCount(), "22 bits share a flag");

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

int FlagRegisterIndex(const regs::AlarmFlag& flag) {
    return static_cast<int>(flag.register_index());
}

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
    for (const regs::AlarmCoil& coil : regs::kAlarmCoils) {
        Alarm a{coil.id ? coil.id : "", coil.text, coil.severity,
                0, static_cast<int>(coil.byte_index()), -1, 0, coil.name ? coil.name : ""};
        if (const regs::AlarmFlag* flag = regs::FlagNamedAlike(coil)) {
            shared[flag - regs::kAlarmFlags] = true;
            a.id = flag->id;
            a.severity = flag->severity;
            a.register_offset = static_cast<int>(off::kRegs86To89) + 2 * FlagRegisterIndex(*flag);
            a.register_mask = flag->mask();
            a.description = flag->name;
        }
        out.push_back(a);
    }
    for (size_t f = 0; f < kModuleAlarmCount; ++f) {
        if (shared[f]) continue;
        const regs::AlarmFlag& row = regs::kAlarmFlags[f];
        out.push_back({row.id, row.text, row.severity, 0, -1,
                       static_cast<int>(off::kRegs86To89) + 2 * FlagRegisterIndex(row),
                       row.mask(), row.name});
    }
    char prefix[32];
    for (int k = 1; k <= static_cast<int>(kAlarmModuleCount); ++k) {
        const int block = static_cast<int>(off::kModuleRegs + off::kModuleBlockBytes * (k - 1));
        for (const regs::AlarmFlag& row : regs::kAlarmFlags) {
            // Registers 86 and 87 are the rectifier's, 88 and 89 the inverter's.
            const char* stage = row.group_bit >= 32 ? "整流模块" : "逆变模块";
            std::snprintf(prefix, sizeof prefix, "模块%d-", k);
            const char* stage_english = row.group_bit >= 32 ? "rectifier" : "inverter";
            out.push_back({"module" + std::to_string(k) + "." + row.id,
                           prefix + std::string(stage) + row.text, row.severity, k, -1,
                           block + 2 * (15 + FlagRegisterIndex(row)), row.mask(),
                           "Module " + std::to_string(k) + " " + stage_english + ": " +
                               MidSentence(row.name)});
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
