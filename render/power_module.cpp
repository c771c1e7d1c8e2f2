// One power module: 94 members of the document itself, named after the module.
#include <algorithm>
#include <cstddef>
#include <iterator>
#include <cstdint>

#include "registers/ups_registers.h"
#include "render/document_rules.h"
#include "render/status_sections.h"

namespace novex {
namespace render {

namespace {

enum class Rule : unsigned char {
    kMeasurement,  // register / 10, unsigned: a measurement of the register description
    kText,         // texts[value of the bits]
    kAlarm,        // "告警" / "正常" and a boolean in the document's "AlertArray"
};

const char* const kFloatEqualise[] = {"浮充", "均充"};
const char* const kCommunication[] = {"通讯无", "通讯联机"};
const char* const kCharging[] = {"未充电", "电池充电"};
const char* const kSelfTest[] = {"未自检", "电池自检中"};
const char* const kSupplyMode[] = {"电池供电", "输入供电"};
const char* const kWorking[] = {"不工作", "工作"};
const char* const kCurrentLimit[] = {"不限流", "限流状态"};
const char* const kEmergencyStop[] = {"正常", "紧急关机"};
const char* const kRectifier[] = {"停止", "工作"};
const char* const kBreaker[] = {"断开", "闭合"};
const char* const kValid[] = {"无效", "有效"};
const char* const kInvalidClosed[] = {"无效", "闭合"};
const char* const kBypassSupply[] = {"均不供电", "旁路供电"};
const char* const kSwitching[] = {"关机", "软启动", "启动完毕未供电", "正常供电中"};

// The key pattern of the module measurement at `index` in the register description,
// or nullptr.
constexpr const char* ModuleKey(unsigned index) {
    for (const registers::Measurement& m : registers::kModuleData)
        if (m.address == index) return m.key;
    return nullptr;
}

// The module's entries in order of writing (entries 1 to 94, 93 and 94 last).
// Columns: register index in the block, lowest bit read, number of bits, rule, key
// pattern ("%s": module number), texts indexed by the value of the bits (first the
// clear bit, then the set bit).
struct ModuleRow {
    unsigned char reg;
    unsigned char bit;
    unsigned char width;
    Rule rule;
    const char* pattern;
    const char* const* texts;
};

constexpr Rule kM = Rule::kMeasurement;
constexpr Rule kT = Rule::kText;
constexpr Rule kA = Rule::kAlarm;

constexpr ModuleRow kModuleRows[] = {
    {0, 0, 16, kM, ModuleKey(0), nullptr},
    {1, 0, 16, kM, ModuleKey(1), nullptr},
    {2, 0, 16, kM, ModuleKey(2), nullptr},
    {3, 0, 16, kM, ModuleKey(3), nullptr},
    {4, 0, 16, kM, ModuleKey(4), nullptr},
    {5, 0, 16, kM, ModuleKey(5), nullptr},
    {6, 0, 16, kM, ModuleKey(6), nullptr},
    {7, 0, 16, kM, ModuleKey(7), nullptr},
    {8, 0, 16, kM, ModuleKey(8), nullptr},
    {9, 0, 16, kM, ModuleKey(9), nullptr},
    {10, 0, 16, kM, ModuleKey(10), nullptr},
    {12, 15, 1, kT, registers::kModulePresenceKey, kCommunication},
    {11, 6, 1, kT, "模块%s-整流模块负组电池均浮充", kFloatEqualise},
    {11, 7, 1, kT, "模块%s-整流模块正组电池均浮充", kFloatEqualise},
    {11, 8, 1, kT, "模块%s-整流模块电池充电", kCharging},
    {11, 9, 1, kT, "模块%s-整流模块电池自检", kSelfTest},
    {11, 10, 1, kT, "模块%s-整流模块输入供电模式", kSupplyMode},
    {11, 11, 1, kT, "模块%s-整流模块输入供电状态", kWorking},
    {11, 12, 1, kT, "模块%s-整流模块整流器限流", kCurrentLimit},
    {11, 13, 1, kT, "模块%s-整流模块紧急关机", kEmergencyStop},
    {11, 14, 1, kT, "模块%s-整流模块整流器状态", kRectifier},
    // The rectifier's input breaker has no documented bit. Bit 15 of register 11 is
    // the one rectifier flag no other entry reads, and it follows the rectifier
    // state just as the unit's input breaker follows the unit's rectifier state in
    // its flag registers; rendered like the inverter's breakers (set: closed).
    {11, 15, 1, kT, "模块%s-整流模块输入空开状态", kBreaker},
    {14, 11, 1, kT, "模块%s-逆变模块逆变待机(ECO状态位)", kValid},
    {14, 12, 1, kT, "模块%s-逆变模块LBS系统激活", kValid},
    {14, 13, 1, kT, "模块%s-并机系统转旁路", kValid},
    {14, 14, 1, kT, "模块%s-逆变模块负载冲击切旁路", kValid},
    {14, 15, 1, kT, "模块%s-逆变模块过载延时到关机", kValid},
    {13, 0, 1, kT, "模块%s-逆变模块切换次数到", kValid},
    {13, 1, 1, kT, "模块%s-逆变模块逆变主机", kValid},
    {13, 2, 1, kT, "模块%s-逆变模块启动容量不足", kValid},
    {13, 3, 1, kT, "模块%s-逆变模块紧急关机提示", kValid},
    {13, 4, 1, kT, "模块%s-逆变模块关机将导致过载告警", kValid},
    {13, 5, 1, kT, "模块%s-逆变模块关机将导致断电告警", kInvalidClosed},
    {13, 6, 1, kT, "模块%s-逆变模块间断切换提示", kInvalidClosed},
    {13, 8, 1, kT, "模块%s-逆变模块UPS供电状态", kBypassSupply},
    {13, 9, 2, kT, "模块%s-逆变模块开关机状态", kSwitching},
    {13, 11, 1, kT, "模块%s-逆变模块外部输出空开状态", kBreaker},
    {13, 12, 1, kT, "模块%s-逆变模块旁路柜旁路空开状态", kBreaker},
    {13, 13, 1, kT, "模块%s-逆变模块维修旁路空开状态", kBreaker},
    {13, 14, 1, kT, "模块%s-逆变模块输出空开状态", kBreaker},
    {13, 15, 1, kT, "模块%s-逆变模块旁路空开状态", kBreaker},
    {16, 6, 1, kA, "模块%s-整流模块市电电压异常", nullptr},
    {16, 7, 1, kA, "模块%s-整流模块市电频率异常", nullptr},
    {16, 8, 1, kA, "模块%s-整流模块电池电压预告警", nullptr},
    {16, 9, 1, kA, "模块%s-整流模块电池电压高", nullptr},
    {16, 10, 1, kA, "模块%s-整流模块电池电压低", nullptr},
    {16, 11, 1, kA, "模块%s-整流模块负组电池充电器故障", nullptr},
    {16, 12, 1, kA, "模块%s-整流模块正组电池充电器故障", nullptr},
    {16, 13, 1, kA, "模块%s-整流模块电池无", nullptr},
    {16, 14, 1, kA, "模块%s-整流模块电池反", nullptr},
    {16, 15, 1, kA, "模块%s-整流模块输入缺零", nullptr},
    {15, 0, 1, kA, "模块%s-整流模块软启动失败", nullptr},
    {15, 1, 1, kA, "模块%s-整流模块输入电压相序反", nullptr},
    {15, 2, 1, kA, "模块%s-整流模块正负母线压差大", nullptr},
    {15, 3, 1, kA, "模块%s-整流模块母线电压欠压", nullptr},
    {15, 4, 1, kA, "模块%s-整流模块母线电压过压", nullptr},
    {15, 5, 1, kA, "模块%s-整流模块风扇电源故障", nullptr},
    {15, 6, 1, kA, "模块%s-整流模块风扇故障", nullptr},
    {15, 7, 1, kA, "模块%s-整流模块电池充电晶闸管故障", nullptr},
    {15, 8, 1, kA, "模块%s-整流模块电池放电晶闸管故障", nullptr},
    {15, 9, 1, kA, "模块%s-整流模块输入晶闸管故障", nullptr},
    {15, 10, 1, kA, "模块%s-整流模块辅助电源2故障", nullptr},
    {15, 11, 1, kA, "模块%s-整流模块辅助电源1故障", nullptr},
    {15, 12, 1, kA, "模块%s-整流模块整流过流故障", nullptr},
    {15, 13, 1, kA, "模块%s-整流模块逆变模块过温", nullptr},
    {15, 14, 1, kA, "模块%s-整流模块整流模块过温", nullptr},
    {15, 15, 1, kA, "模块%s-整流模块整流器故障", nullptr},
    {18, 7, 1, kA, "模块%s-逆变模块BUS电压异常", nullptr},
    {18, 8, 1, kA, "模块%s-逆变模块回馈保护", nullptr},
    {18, 9, 1, kA, "模块%s-逆变模块旁路过流", nullptr},
    {18, 10, 1, kA, "模块%s-逆变模块逆变直流分量过大", nullptr},
    {18, 11, 1, kA, "模块%s-逆变模块并机过载", nullptr},
    {18, 12, 1, kA, "模块%s-逆变模块过载", nullptr},
    {18, 13, 1, kA, "模块%s-逆变模块开机无效", nullptr},
    {18, 14, 1, kA, "模块%s-逆变模块上电初始化故障", nullptr},
    {18, 15, 1, kA, "模块%s-逆变模块LBS超跟踪", nullptr},
    {17, 0, 1, kA, "模块%s-逆变模块并机继电器故障", nullptr},
    {17, 1, 1, kA, "模块%s-逆变模块并机连线故障", nullptr},
    {17, 2, 1, kA, "模块%s-逆变模块熔丝断", nullptr},
    {17, 3, 1, kA, "模块%s-逆变模块IGBT过流", nullptr},
    {17, 4, 1, kA, "模块%s-逆变模块旁路超保护", nullptr},
    {17, 5, 1, kA, "模块%s-逆变模块旁路超跟踪", nullptr},
    {17, 6, 1, kA, "模块%s-逆变模块不同步", nullptr},
    {17, 7, 1, kA, "模块%s-逆变模块旁路反序", nullptr},
    {17, 8, 1, kA, "模块%s-逆变模块并机均流故障", nullptr},
    {17, 9, 1, kA, "模块%s-逆变模块CAN通信故障", nullptr},
    {17, 10, 1, kA, "模块%s-逆变模块旁路晶闸管断路故障", nullptr},
    {17, 11, 1, kA, "模块%s-逆变模块旁路晶闸管短路故障", nullptr},
    {17, 12, 1, kA, "模块%s-逆变模块逆变晶闸管断路故障", nullptr},
    {17, 13, 1, kA, "模块%s-逆变模块逆变晶闸管短路故障", nullptr},
    {17, 14, 1, kA, "模块%s-逆变模块逆变桥臂直通", nullptr},
    {17, 15, 1, kA, "模块%s-逆变模块逆变器故障", nullptr},
    {19, 0, 16, kM, ModuleKey(19), nullptr},
    {20, 0, 16, kM, ModuleKey(20), nullptr},
};
static_assert(sizeof kModuleRows / sizeof kModuleRows[0] == 94, "94 entries per module");

constexpr uint16_t kMeasurementDivisor = 10;

// Every measurement of the register description is written once, divided by ten.
constexpr bool MeasurementsOnce() {
    for (const ModuleRow& row : kModuleRows)
        if (row.rule == Rule::kMeasurement && row.pattern == nullptr) return false;
    for (const registers::Measurement& m : registers::kModuleData) {
        size_t written = 0;
        for (const ModuleRow& row : kModuleRows)
            written += row.rule == Rule::kMeasurement && row.reg == m.address;
        if (written != 1 || m.divisor != kMeasurementDivisor || m.is_signed) return false;
    }
    return true;
}
static_assert(MeasurementsOnce(), "the register description's module measurements");
static_assert(registers::kModulePresenceIndex == 12 && registers::kModulePresenceMask == 1u << 15,
              "presence is the communication bit written above");

constexpr size_t kRegisterCount = registers::kModuleRegisterCount;

constexpr bool RowsReadTheBlock() {
    for (const ModuleRow& row : kModuleRows)
        if (row.reg >= kRegisterCount || row.bit + row.width > 16) return false;
    return true;
}
static_assert(RowsReadTheBlock(), "every row reads a register of the module's block");

constexpr size_t RowWrites(const ModuleRow& row) {
    return row.rule == Rule::kAlarm ? kAlarmWrites : kValueWrites;
}

// A module's writes: its "AlertArray", then its rows.
constexpr size_t ModuleWrites() {
    size_t writes = kValueWrites;
    for (const ModuleRow& row : kModuleRows) writes += RowWrites(row);
    return writes;
}

// Runs of rows that read the same register, in order of writing: a register that
// did not change is passed over a run at a time.
struct RowRun {
    unsigned char reg;
    unsigned char first;  // index in kModuleRows
    unsigned char rows;
    unsigned char writes;
};

constexpr size_t RunCount() {
    size_t runs = 0;
    for (size_t i = 0; i < std::size(kModuleRows); ++i)
        runs += i == 0 || kModuleRows[i].reg != kModuleRows[i - 1].reg;
    return runs;
}

struct RowRuns {
    RowRun run[RunCount()];
};

constexpr RowRuns MakeRuns() {
    RowRuns runs{};
    size_t n = 0;
    for (size_t i = 0; i < std::size(kModuleRows); ++i) {
        if (i == 0 || kModuleRows[i].reg != kModuleRows[i - 1].reg)
            runs.run[n++] = RowRun{kModuleRows[i].reg, static_cast<unsigned char>(i), 0, 0};
        RowRun& run = runs.run[n - 1];
        ++run.rows;
        run.writes = static_cast<unsigned char>(run.writes + RowWrites(kModuleRows[i]));
    }
    return runs;
}

constexpr RowRuns kRuns = MakeRuns();

struct RunRows {
    const ModuleRow* first;
    const ModuleRow* last;
    const ModuleRow* begin() const { return first; }
    const ModuleRow* end() const { return last; }
};
RunRows Rows(const RowRun& run) {
    return RunRows{kModuleRows + run.first, kModuleRows + run.first + run.rows};
}

}  // namespace

void RenderPowerModule(const uint16_t* regs, const uint16_t* shown, const char* number,
                       Container document) {
    if (shown != nullptr && std::equal(regs, regs + kRegisterCount, shown))
        return pass(document, ModuleWrites());
    const Container alerts = Object(document, kAlertArrayKey);
    RowPasses passes(document);
    for (const RowRun& run : kRuns.run) {
        const uint16_t reg = regs[run.reg];
        if (!passes.Write(shown != nullptr && shown[run.reg] == reg, run.writes)) continue;
        for (const ModuleRow& row : Rows(run)) {
            const unsigned mask = (1u << row.width) - 1;
            const unsigned value = (reg >> row.bit) & mask;
            // A flag or state whose own bits kept their value is passed over too.
            if (!passes.Write(shown != nullptr && ((shown[run.reg] >> row.bit) & mask) == value,
                              RowWrites(row)))
                continue;
            const Key key(row.pattern, number);
            switch (row.rule) {
                case Rule::kMeasurement:
                    put_number(document, key, reg, kMeasurementDivisor);
                    break;
                case Rule::kText:
                    put_text(document, key, row.texts[value]);
                    break;
                case Rule::kAlarm:
                    put_alarm(document, alerts, key, value != 0);
                    break;
            }
        }
    }
    passes.Finish();
}

}  // namespace render
}  // namespace novex
