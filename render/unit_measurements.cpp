// The unit's and the parallel system's measurements: plain scaled numbers.
#include <cstdint>

#include "render/document_rules.h"
#include "render/status_sections.h"

namespace novex {
namespace render {

namespace {

// Columns: register index within the slice, key, divisor (0: stored undivided).
// Every register is unsigned.
struct MeasurementRow {
    unsigned char index;
    const char* key;
    uint16_t divisor;
};

// Input registers 1..40 (index = register - 1).
const MeasurementRow kUnitData[] = {
    {0, "输入A相电压", 10},        {1, "输入B相电压", 10},
    {2, "输入C相电压", 10},        {3, "输入频率", 10},
    {4, "输入A相电流", 10},        {5, "输入B相电流", 10},
    {6, "输入C相电流", 10},        {7, "输入A相功率因数", 100},
    {8, "输入B相功率因数", 100},   {9, "输入C相功率因数", 100},
    {10, "输出A相电压", 10},       {11, "输出B相电压", 10},
    {12, "输出C相电压", 10},       {13, "输出频率", 10},
    {14, "输出A相电流", 10},       {15, "输出B相电流", 10},
    {16, "输出C相电流", 10},       {17, "输出A相有功功率", 100},
    {18, "输出B相有功功率", 100},  {19, "输出C相有功功率", 100},
    {20, "输出A相负载率", 0},      {21, "输出B相负载率", 0},
    {22, "输出C相负载率", 0},      {23, "输入A相负载峰值比", 100},
    {24, "输入B相负载峰值比", 100}, {25, "输入C相负载峰值比", 100},
    {26, "旁路A相电压", 10},       {27, "旁路B相电压", 10},
    {28, "旁路C相电压", 10},       {29, "旁路频率", 10},
    {30, "正组电池电压", 10},      {31, "负组电池电压", 10},
    {32, "正组电池放电电流", 10},  {33, "负组电池放电电流", 10},
    {34, "正组电池充电电流", 10},  {35, "负组电池充电电流", 10},
    {36, "电池容量率", 0},         {37, "电池后备时间", 0},
    {38, "电池温度", 10},          {39, "环境温度", 10},
};

// Input registers 61..68 (index = register - 61).
const MeasurementRow kParallelData[] = {
    {0, "并机上电总台数", 0},
    {1, "并机逆变供电台数", 0},
    {2, "并机输出A相总视在功率", 1000},
    {3, "并机输出B相总视在功率", 1000},
    {4, "并机输出C相总视在功率", 1000},
    {5, "并机输出A相有功功率", 1000},
    {6, "并机输出B相有功功率", 1000},
    {7, "并机输出C相有功功率", 1000},
};

template <size_t N>
void RenderRows(const MeasurementRow (&rows)[N], const unsigned char* regs,
                Container section) {
    for (const MeasurementRow& row : rows)
        put_number(section, row.key, RegisterAt(regs, row.index), row.divisor);
}

}  // namespace

void RenderUnitData(const unsigned char* regs, Container section) {
    RenderRows(kUnitData, regs, section);
}

void RenderParallelData(const unsigned char* regs, Container section) {
    RenderRows(kParallelData, regs, section);
}

}  // namespace render
}  // namespace novex
