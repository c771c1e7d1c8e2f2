#include "rules/alarm_rules.h"

#include <cstring>
#include <string>

#include "vimo_device.h"

namespace novex {

const AlarmRule kAlarmRules[kAlarmRuleCount] = {
    {0, 65, "整流器故障"},         {1, 66, "逆变器故障"},     {2, 67, "辅助电源故障"},
    {3, 68, "风扇故障"},           {4, 69, "输入晶闸管故障"}, {5, 70, "逆变晶闸管故障"},
    {6, 71, "旁路晶闸管故障"},     {7, 72, "熔丝断"},         {8, 73, "母线电压异常"},
    {9, 74, "初始化故障"},         {11, 76, "充电器故障"},    {12, 77, "并机故障"},
    {13, 78, "开机无效"},          {14, 79, "逆变直流分量过大"}, {15, 80, "输入电压相序反"},
    {16, 81, "输入缺零"},          {17, 82, "旁路反序"},      {18, 83, "电池反"},
    {19, 84, "电池无"},            {20, 85, "回馈保护"},      {23, 88, "过载"},
    {24, 89, "并机过载"},          {25, 90, "电池电压低"},    {26, 91, "电池电压高"},
    {27, 92, "电池欠压预告警"},    {28, 93, "市电频率异常"},  {29, 94, "市电电压异常"},
    {30, 95, "旁路超跟踪"},        {31, 96, "旁路超保护"},    {32, 97, "旁路过流"},
};

void ReportAlarmRules(VimoVDevice& device, const uint8_t* alarm_bits) {
    uint8_t snapshot[kAlarmBitCount];
    std::memcpy(snapshot, alarm_bits, sizeof snapshot);
    for (const AlarmRule& rule : kAlarmRules) {
        const bool state = snapshot[rule.byte_index] != 0;
        const uint16_t seq = device.check_seq;
        device.check_seq = static_cast<uint16_t>(seq + 1);
        device.CheckThresholdBool(2, std::string("12017"), std::string("12017"),
                                  std::string(rule.name), std::string(rule.name), state, seq);
    }
}

}  // namespace novex
