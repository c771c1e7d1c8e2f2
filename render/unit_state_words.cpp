// The unit's state registers 81..91: run state, status flags, alarm flags and system
// status. The run states and the alarm flags are the register description's.
#include <array>
#include <cstddef>
#include <cstdint>

#include "registers/ups_registers.h"
#include "render/document_rules.h"
#include "render/status_sections.h"

namespace novex {
namespace render {

namespace {

// Register 81, indexed by its whole value: the texts of the run states.
constexpr std::array<const char*, registers::kRunStateCount> RunStateTexts() {
    std::array<const char*, registers::kRunStateCount> texts{};
    for (size_t i = 0; i < texts.size(); ++i) texts[i] = registers::kRunStates[i].text;
    return texts;
}
constexpr std::array<const char*, registers::kRunStateCount> kRunStates = RunStateTexts();

// A flag group of four registers is one 64-bit field whose first register is the
// most significant: group bit k is bit k % 16 of register first + 3 - k / 16.
uint64_t FlagGroup(const unsigned char* regs) {
    uint64_t field = 0;
    for (size_t i = 0; i < 4; ++i) field = (field << 16) | RegisterAt(regs, i);
    return field;
}

const char* const kClosedOpen[] = {"闭合", "断开"};
const char* const kSupplying[] = {"均不供电", "旁路供电", "逆变供电"};  // 3: invalid
const char* const kSwitching[] = {"关机", "软启动", "启动完毕未供电", "正常供电中"};
const char* const kFloatEqualise[] = {"浮充", "均充"};
const char* const kCharging[] = {"未充电", "充电"};
const char* const kSelfTest[] = {"未自检", "自检"};
const char* const kSupplyMode[] = {"输入供电", "电池供电"};
const char* const kWorking[] = {"工作", "不工作"};
const char* const kCurrentLimit[] = {"未限流", "限流"};
const char* const kEmergencyStop[] = {"正常", "紧急关机状态"};
const char* const kRectifier[] = {"工作", "停止"};

// Status flags of registers 82..85 in order of writing. Columns: group bit of the
// lowest bit read, number of bits, key, texts indexed by the value read (none: the
// value itself as a number). Values without a text are invalid. Several keys replace
// what the status coils wrote earlier in the same rebuild.
struct StatusFlagRow {
    unsigned char group_bit;
    unsigned char width;
    const char* key;
    const char* const* texts;
    size_t count;
};

const StatusFlagRow kStatusFlags[] = {
    {11, 1, "逆变待机(ECO 状态位)", nullptr, 0},
    {12, 1, "LBS系统激活", nullptr, 0},
    {13, 1, "并机系统转旁路", nullptr, 0},
    {14, 1, "负载冲击切旁路", nullptr, 0},
    {15, 1, "过载延时到关机", nullptr, 0},
    {16, 1, "切换次数到", nullptr, 0},
    {17, 1, "逆变主机", nullptr, 0},
    {18, 1, "启动容量不足", nullptr, 0},
    {19, 1, "紧急关机提示", nullptr, 0},
    {20, 1, "关机将导致过载告警", nullptr, 0},
    {21, 1, "关机将导致断电告警", nullptr, 0},
    {22, 1, "间断切换提示", nullptr, 0},
    {23, 2, "UPS供电状态", kSupplying, 3},
    {25, 2, "逆变开关机状态", kSwitching, 4},
    {27, 1, "外部输出空开状态", kClosedOpen, 2},
    {28, 1, "旁路柜旁路空开状态", kClosedOpen, 2},
    {29, 1, "维修旁路空开状态", kClosedOpen, 2},
    {30, 1, "输出空开状态", kClosedOpen, 2},
    {31, 1, "旁路空开状态", kClosedOpen, 2},
    {54, 1, "负组电池均浮充", kFloatEqualise, 2},
    {55, 1, "正组电池均浮充", kFloatEqualise, 2},
    {56, 1, "电池充电", kCharging, 2},
    {57, 1, "电池自检", kSelfTest, 2},
    {58, 1, "输入供电模式", kSupplyMode, 2},
    {59, 1, "输入供电状态", kWorking, 2},
    {60, 1, "整流器限流", kCurrentLimit, 2},
    {61, 1, "紧急关机", kEmergencyStop, 2},
    {62, 1, "整流器状态", kRectifier, 2},
    {63, 1, "输入空开状态", kClosedOpen, 2},
};

const char* const kNotYetComputed[] = {"未计算", "已计算"};
const char* const kConnected[] = {"未接入", "已接入"};
const char* const kInEffect[] = {"状态无效", "状态有效"};

// System status of register 90, then 91, in order of writing. Columns: register
// index within the slice (0: register 90, 1: register 91), bit, key, texts for the
// clear and the set bit.
struct SystemStatusRow {
    unsigned char index;
    unsigned char bit;
    const char* key;
    const char* const* texts;
};

const SystemStatusRow kSystemStatus[] = {
    {0, 6, "后备时间计算位", kNotYetComputed},
    {0, 7, "充电率计算位", kNotYetComputed},
    {0, 9, "电池监控系统接入位", kConnected},
    {0, 10, "避雷动作信号", kInEffect},
    {0, 11, "定期自检开始", kInEffect},
    {0, 12, "定时关机", kInEffect},
    {0, 13, "定时开机", kInEffect},
    {0, 14, "电池电压低关机状态位", kInEffect},
    {0, 15, "发电机接入", kInEffect},
    {1, 8, "预防性维护时间到", kInEffect},
    {1, 9, "机型错误", kInEffect},
    {1, 10, "烟雾报警", kInEffect},
    {1, 11, "火灾报警", kInEffect},
    {1, 12, "电池电压低", kInEffect},
    {1, 13, "电池电压高", kInEffect},
    {1, 14, "电池过温", kInEffect},
    {1, 15, "电池损坏", kInEffect},
};

}  // namespace

// One member: the section is passed over whole when its register is unchanged.
void RenderRunState(const unsigned char* reg, const unsigned char*, Container section) {
    state_text(section, registers::kRunStateKey, RegisterAt(reg, 0), kRunStates.data(),
               kRunStates.size());
}

void RenderStatusFlags(const unsigned char* regs, const unsigned char* shown,
                       Container section) {
    const uint64_t field = FlagGroup(regs);
    const uint64_t changed = shown != nullptr ? field ^ FlagGroup(shown) : ~uint64_t{0};
    RowPasses rows(section);
    for (const StatusFlagRow& row : kStatusFlags) {
        const unsigned mask = (1u << row.width) - 1;
        const unsigned value = static_cast<unsigned>(field >> row.group_bit) & mask;
        if (!rows.Write(((changed >> row.group_bit) & mask) == 0, kValueWrites)) continue;
        if (row.texts == nullptr)
            put_number(section, row.key, static_cast<uint16_t>(value));
        else
            state_text(section, row.key, value, row.texts, row.count);
    }
    rows.Finish();
}

void RenderAlarmFlags(const unsigned char* regs, const unsigned char* shown, Container section) {
    const uint64_t field = FlagGroup(regs);
    const uint64_t changed = shown != nullptr ? field ^ FlagGroup(shown) : ~uint64_t{0};
    const Container alerts = Object(section, kAlertArrayKey);
    RowPasses rows(section);
    for (const registers::AlarmFlag& flag : registers::kAlarmFlags) {
        if (rows.Write(((changed >> flag.group_bit) & 1) == 0, kAlarmWrites))
            put_alarm(section, alerts, flag.text, ((field >> flag.group_bit) & 1) != 0);
    }
    rows.Finish();
}

void RenderSystemStatus(const unsigned char* regs, const unsigned char* shown,
                        Container section) {
    RowPasses rows(section);
    for (const SystemStatusRow& row : kSystemStatus) {
        const unsigned bit = (RegisterAt(regs, row.index) >> row.bit) & 1u;
        const bool unchanged =
            shown != nullptr && ((RegisterAt(shown, row.index) >> row.bit) & 1u) == bit;
        if (rows.Write(unchanged, kValueWrites)) state_text(section, row.key, bit, row.texts, 2);
    }
    rows.Finish();
}

}  // namespace render
}  // namespace novex
