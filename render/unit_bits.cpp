// The unit's status and alarm coils, one byte per coil.
#include <cstddef>

#include "registers/ups_registers.h"
#include "render/document_rules.h"
#include "render/status_sections.h"

namespace novex {
namespace render {

namespace {

const char* const kSupplyStates[] = {"关机", "软启动", "启动完毕未供电", "正常供电中"};

const char* const kClosedOpen[] = {"闭合", "断开"};
const char* const kAbsentPresent[] = {"不在位", "在位"};
const char* const kSelfTest[] = {"未自检", "自检中"};
const char* const kCharging[] = {"未充电", "电池充电"};
const char* const kEqualising[] = {"未均充", "均充"};
const char* const kRectifier[] = {"停止", "工作"};
const char* const kCurrentLimit[] = {"不限流", "限流"};
const char* const kInputSupply[] = {"不工作", "工作"};
const char* const kSupplyMode[] = {"电池供电", "输入供电"};
const char* const kInverterSupply[] = {"无状态", "逆变供电"};
const char* const kBypassSupply[] = {"无状态", "旁路供电"};
const char* const kValid[] = {"无效", "有效"};

// Status coils in order of writing. Columns: byte index (coil - 1), key, texts
// indexed by the byte's value, number of texts. Any other value, 2 included for the
// two-state rows, is invalid. Coils 4, 5, 9 and 25 carry nothing. Most keys are
// written again from the status flag registers later in the same rebuild.
struct StatusBitRow {
    unsigned char byte_index;
    const char* key;
    const char* const* texts;
    size_t count;
};

const StatusBitRow kStatusBits[] = {
    {0, "输入空开状态", kClosedOpen, 2},
    {1, "输出空开状态", kClosedOpen, 2},
    {2, "维修旁路空开状态", kClosedOpen, 2},
    {5, "外部输出空开状态", kClosedOpen, 2},
    {6, "逆变主机", kAbsentPresent, 2},
    {7, "逆变主机(ECO状态)", kAbsentPresent, 2},
    {9, "电池自检", kSelfTest, 2},
    {10, "电池充电", kCharging, 2},
    {11, "正组电池均充", kEqualising, 2},
    {12, "负组电池均充", kEqualising, 2},
    {13, "整流器状态", kRectifier, 2},
    {14, "整流器限流", kCurrentLimit, 2},
    {15, "输入供电状态", kInputSupply, 2},
    {16, "输入供电模式", kSupplyMode, 2},
    {17, "逆变开关机状态1", kSupplyStates, 4},
    {18, "逆变开关机状态2", kSupplyStates, 4},
    {19, "UPS供电状态1", kInverterSupply, 2},
    {20, "UPS供电状态2", kBypassSupply, 2},
    {21, "间断切换提示", kValid, 2},
    {22, "关机将导致断电告警", kValid, 2},
    {23, "关机将导致过载告警", kValid, 2},
    {25, "启动容量不足", kValid, 2},
    {26, "过载延时到关机", kValid, 2},
    {27, "负载冲击切旁路", kValid, 2},
    {28, "并机系统转旁路", kValid, 2},
    {29, "电池电压低关机", kValid, 2},
    {30, "切换次数到", kValid, 2},
};

}  // namespace

void RenderUnitStatusBits(const unsigned char* bits, const unsigned char* shown,
                          Container section) {
    RowPasses rows(section);
    for (const StatusBitRow& row : kStatusBits) {
        const unsigned char value = bits[row.byte_index];
        if (rows.Write(shown != nullptr && shown[row.byte_index] == value, kValueWrites))
            state_text(section, row.key, value, row.texts, row.count);
    }
    rows.Finish();
}

// The alarm coils are the ones the threshold rules report, under the same names:
// one table serves both.
void RenderUnitAlarmBits(const unsigned char* bits, const unsigned char* shown,
                         Container section) {
    const Container alerts = Object(section, kAlertArrayKey);
    RowPasses rows(section);
    for (const registers::AlarmCoil& coil : registers::kAlarmCoils) {
        const bool flag = bits[coil.byte_index()] != 0;
        if (rows.Write(shown != nullptr && (shown[coil.byte_index()] != 0) == flag, kAlarmWrites))
            put_alarm(section, alerts, coil.text, flag);
    }
    rows.Finish();
}

}  // namespace render
}  // namespace novex
