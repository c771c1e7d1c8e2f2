// The whole document for chosen records: against the expected documents under
// tests/golden/ (by value, by type and by the order of keys in the text), against the
// plain reference rendering for many random records, and its shape.
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/writer.h>

#include "tests/render_reference.h"
#include "tests/render_support.h"

namespace {

using namespace render_test;
namespace off = novex::record_offset;
using boost::posix_time::seconds;

NovexUPS_Data_t Filled(unsigned char byte) {
    NovexUPS_Data_t data;
    std::memset(&data, byte, sizeof data);
    return data;
}

size_t Reg(int r) {  // offset of unit input register r (1..91)
    if (r <= 40) return off::kRegs1To40 + 2 * (r - 1);
    if (r <= 68) return off::kRegs61To68 + 2 * (r - 61);
    return off::kReg81 + 2 * (r - 81);
}
size_t ModuleReg(int k, int i) { return off::kModuleRegs + 42 * (k - 1) + 2 * i; }
size_t CellReg(int n, int i) { return off::kBatteryRegs + 8 * (n - 1) + 2 * i; }

// The examples worked through for every section, in one record.
NovexUPS_Data_t Worked() {
    NovexUPS_Data_t d = Filled(0);
    d.bits_1_31[0] = 2;     // invalid, and replaced by register 82 anyway
    d.bits_1_31[3] = 1;     // not shown
    d.bits_1_31[7] = 1;     // "逆变主机(ECO状态)"
    d.bits_1_31[17] = 3;    // four-state
    d.bits_1_31[18] = 4;    // four-state, invalid
    d.bits_1_31[19] = 1;
    d.bits_1_31[29] = 255;  // invalid
    d.bits_65_97[0] = 1;
    d.bits_65_97[1] = 255;
    d.bits_65_97[10] = 1;  // not shown
    const struct {
        int reg;
        uint16_t value;
    } unit[] = {{1, 2203},    {2, 2305},    {8, 98},      {21, 37},     {39, 234},
                {40, 65535},  {61, 3},      {63, 12345},  {81, 11},     {82, 0x8000},
                {83, 0xFFFF}, {84, 0x0680}, {85, 0x0800}, {88, 0x0800}, {89, 0x007F},
                {90, 0x0400}, {91, 0x00FF}};
    for (const auto& u : unit) SetRegister(d, Reg(u.reg), u.value);
    SetRegister(d, ModuleReg(1, 2), 2301);
    SetRegister(d, ModuleReg(1, 12), 0x8000);
    SetRegister(d, ModuleReg(1, 13), 0x0E00);
    SetRegister(d, ModuleReg(2, 12), 0x7FFF);
    SetRegister(d, ModuleReg(2, 13), 0x0200);
    SetRegister(d, ModuleReg(3, 17), 0x0800);
    SetRegister(d, ModuleReg(4, 0), 65535);
    SetRegister(d, ModuleReg(5, 11), 0x8000);
    SetRegister(d, ModuleReg(6, 14), 0x0800);
    SetRegister(d, ModuleReg(10, 13), 0x0010);
    SetRegister(d, ModuleReg(10, 20), 1);
    SetRegister(d, CellReg(1, 0), 1234);
    SetRegister(d, CellReg(1, 1), 0xFFEC);
    SetRegister(d, CellReg(1, 2), 65535);
    SetRegister(d, CellReg(1, 3), 777);  // not shown
    SetRegister(d, CellReg(2, 1), 0x8000);
    SetRegister(d, CellReg(30, 0), 65535);
    SetRegister(d, CellReg(30, 3), 0xFFFF);  // not shown
    d.update_time = ttime_t{2024, 3, 5, 7, 4, 9};
    return d;
}

const struct GoldenCase {
    const char* name;
    NovexUPS_Data_t (*record)();
} kGoldenCases[] = {
    {"zeros", [] { return Filled(0x00); }},
    {"ones", [] { return Filled(0xFF); }},
    {"worked", Worked},
    {"random", [] { return RandomRecord(20240305); }},
};

std::string GoldenPath(const std::string& name) {
    const char* source = std::getenv("NOVEX_SOURCE_DIR");
    return std::string(source ? source : ".") + "/tests/golden/" + name + ".json";
}

std::string DeviceText(const NovexUPS_Data_t& data) {
    DocumentUPS ups;
    ups.Complete(data, BaseTime());
    return ups.Text();
}

// Every key of the text in the order the text lists them, with its depth.
std::vector<std::string> KeysInTextOrder(const std::string& text) {
    std::vector<std::string> keys;
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '{' || c == '[') ++depth;
        if (c == '}' || c == ']') --depth;
        if (c != '"') continue;
        size_t j = i + 1;
        while (j < text.size() && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
        size_t k = j + 1;
        while (k < text.size() && std::isspace(static_cast<unsigned char>(text[k]))) ++k;
        if (k < text.size() && text[k] == ':') {
            Json::Value decoded;
            Json::Reader().parse("[" + text.substr(i, j - i + 1) + "]", decoded);
            keys.push_back(std::to_string(depth) + " " + decoded[0].asString());
        }
        i = j;
    }
    return keys;
}

std::string Show(const Json::Value& v) {
    return v.isString() ? "\"" + v.asString() + "\"" : Json::FastWriter().write(v);
}

// Same members, same types (a real is not a string is not a bool), same values.
void ExpectSame(const Json::Value& expected, const Json::Value& actual, const std::string& path,
                int& reported) {
    if (reported > 10) return;
    if (expected.type() != actual.type() ||
        (!expected.isObject() && expected != actual)) {
        ADD_FAILURE() << path << ": expected " << Show(expected) << " got " << Show(actual);
        ++reported;
        return;
    }
    if (!expected.isObject()) return;
    if (expected.getMemberNames() != actual.getMemberNames()) {
        ADD_FAILURE() << path << ": members differ (" << expected.size() << " expected, "
                      << actual.size() << " present)";
        ++reported;
    }
    for (const std::string& name : expected.getMemberNames())
        if (actual.isMember(name)) ExpectSame(expected[name], actual[name], path + "/" + name, reported);
}

void ExpectSameDocument(const std::string& expected, const std::string& actual) {
    int reported = 0;
    ExpectSame(Parse(expected), Parse(actual), "", reported);
    EXPECT_EQ(KeysInTextOrder(expected), KeysInTextOrder(actual));
}

TEST(GoldenDocument, MatchesTheCheckedInDocuments) {
    const bool write = std::getenv("NOVEX_WRITE_GOLDEN") != nullptr;
    for (const GoldenCase& c : kGoldenCases) {
        SCOPED_TRACE(c.name);
        const NovexUPS_Data_t data = c.record();
        if (write) std::ofstream(GoldenPath(c.name)) << reference::Document(
                       reinterpret_cast<const unsigned char*>(&data));
        std::ifstream file(GoldenPath(c.name));
        ASSERT_TRUE(file) << GoldenPath(c.name);
        std::stringstream golden;
        golden << file.rdbuf();
        const std::string text = DeviceText(data);
        ExpectSameDocument(golden.str(), text);
        // Byte for byte what the compact writer makes of the tree behind 803.
        DocumentUPS tree;
        tree.Complete(data, BaseTime());
        EXPECT_EQ(Json::FastWriter().write(*tree.Pointer()), text);
    }
}

// Values a reader can check by hand, in the worked record's document.
TEST(GoldenDocument, WorkedValues) {
    const Json::Value doc = Parse(DeviceText(Worked()));
    const struct {
        const char* section;  // nullptr: the document itself
        const char* key;
        Json::Value value;
    } cases[] = {
        {"整机数据", "输入A相电压", 220.3000030517578},
        {"整机数据", "输入B相电压", 230.5},
        {"整机数据", "输入A相功率因数", 0.9800000190734863},
        {"整机数据", "输出A相负载率", 37.0},
        {"整机数据", "电池温度", 23.399999618530273},
        {"整机数据", "环境温度", 6553.5},
        {"整机数据", "输入C相电压", 0.0},
        {"并机数据", "并机上电总台数", 3.0},
        {"并机数据", "并机输出A相总视在功率", 12.345000267028809},
        {"整机状态数据", "运行状态", "故障模式"},
        {"整机状态位", "输入空开状态", "断开"},  // register 82 over the invalid coil
        {"整机状态位", "逆变主机(ECO状态)", "在位"},
        {"整机状态位", "逆变开关机状态1", "正常供电中"},
        {"整机状态位", "逆变开关机状态2", "无效值"},
        {"整机状态位", "UPS供电状态1", "逆变供电"},
        {"整机状态位", "电池电压低关机", "无效值"},
        {"整机状态位", "UPS供电状态", "旁路供电"},
        {"整机状态位", "逆变开关机状态", "正常供电中"},
        {"整机状态位", "逆变待机(ECO 状态位)", 1.0},
        {"整机状态位", "LBS系统激活", 0.0},
        {"整机状态位", "逆变主机", 0.0},  // a number now, not the coil's text
        {"整机告警位", "整流器故障", "告警"},
        {"整机告警位", "逆变器故障", "告警"},
        {"整机告警位", "辅助电源故障", "正常"},
        {"整机告警位位", "旁路晶闸管短路故障", "告警"},
        {"整机告警位位", "逆变晶闸管断路故障", "正常"},
        {"整机告警位位", "BUS电压异常", "正常"},
        {"整机系统状态", "避雷动作信号", "状态有效"},
        {"整机系统状态", "后备时间计算位", "未计算"},
        {"整机系统状态", "电池损坏", "状态无效"},
        {nullptr, "模块1-逆变A相电压", 230.100006103515625},
        {nullptr, "模块1-整流模块通讯联机", "通讯联机"},
        {nullptr, "模块2-整流模块通讯联机", "通讯无"},
        {nullptr, "模块1-逆变模块开关机状态", "正常供电中"},
        {nullptr, "模块2-逆变模块开关机状态", "软启动"},
        {nullptr, "模块1-逆变模块外部输出空开状态", "闭合"},
        {nullptr, "模块3-逆变模块旁路晶闸管短路故障", "告警"},
        {nullptr, "模块4-（逆变）正母线电压", 6553.5},
        {nullptr, "模块5-整流模块输入空开状态", "闭合"},
        {nullptr, "模块6-整流模块输入空开状态", "断开"},
        {nullptr, "模块6-逆变模块逆变待机(ECO状态位)", "有效"},
        {nullptr, "模块6-逆变模块外部输出空开状态", "断开"},
        {nullptr, "模块10-逆变模块关机将导致过载告警", "有效"},
        {nullptr, "模块10-（整流）负母线电压", 0.10000000149011612},
        {nullptr, "#1电池电压", 12.340000152587890625},
        {nullptr, "#1电池温度", -20.0},
        {nullptr, "#1电池内阻", 655.3499755859375},
        {nullptr, "#2电池温度", -32768.0},
        {nullptr, "#30电池电压", 655.3499755859375},
        {nullptr, "更新时间", "2024-3-5 7:4:9"},
    };
    for (const auto& c : cases) {
        const Json::Value& container = c.section ? doc[c.section] : doc;
        const Json::Value& actual = container[c.key];
        EXPECT_EQ(c.value.type(), actual.type()) << c.key;
        EXPECT_EQ(c.value, actual) << c.key << " = " << Show(actual);
    }
    EXPECT_TRUE(doc["AlertArray"]["模块3-逆变模块旁路晶闸管短路故障"].asBool());
    EXPECT_FALSE(doc["AlertArray"]["模块3-逆变模块旁路晶闸管断路故障"].asBool());
    EXPECT_FALSE(doc["整机告警位"]["AlertArray"].isMember("模块3-逆变模块旁路晶闸管短路故障"));
    EXPECT_TRUE(doc["整机告警位"]["AlertArray"]["逆变器故障"].asBool());
    EXPECT_TRUE(doc["整机告警位位"]["AlertArray"]["旁路晶闸管短路故障"].asBool());
    EXPECT_FALSE(doc["整机告警位位"]["AlertArray"]["过载"].asBool());
    // The two alarm sections share names, never their booleans.
    EXPECT_FALSE(doc["整机告警位位"]["AlertArray"]["逆变器故障"].asBool());
}

TEST(GoldenDocument, HasEveryMemberAndNoOther) {
    const Json::Value doc = Parse(DeviceText(RandomRecord(7)));
    EXPECT_EQ(1039u, doc.size());
    const struct {
        const char* section;
        unsigned members;
        unsigned alerts;
    } sections[] = {
        {"整机状态位", 37, 0},   {"整机告警位", 31, 30},   {"整机数据", 40, 0},
        {"并机数据", 8, 0},      {"整机状态数据", 1, 0},   {"整机告警位位", 52, 51},
        {"整机系统状态", 17, 0},
    };
    for (const auto& s : sections) {
        EXPECT_EQ(s.members, doc[s.section].size()) << s.section;
        if (s.alerts) {
            EXPECT_EQ(s.alerts, doc[s.section]["AlertArray"].size()) << s.section;
        }
    }
    EXPECT_EQ(510u, doc["AlertArray"].size());
    unsigned modules = 0, cells = 0;
    size_t longest = 0;
    for (const std::string& name : doc.getMemberNames()) {
        if (name.compare(0, 6, "模块") == 0) {
            ++modules;
            longest = std::max(longest, name.size());
        }
        if (name[0] == '#') ++cells;
    }
    EXPECT_EQ(940u, modules);
    EXPECT_EQ(90u, cells);
    EXPECT_EQ(48u, longest);  // written whole
    EXPECT_TRUE(doc.isMember("模块10-逆变模块旁路柜旁路空开状态"));
}

// The device and the plain rendering agree on many records, on a device that
// rebuilds in place round after round (members remembered, and after 803 found by
// key) as on a fresh one.
TEST(GoldenDocument, AgreesWithTheReferenceOnRandomRecords) {
    DocumentUPS kept, shared;
    for (uint32_t seed = 1; seed <= 10; ++seed) {
        SCOPED_TRACE(seed);
        NovexUPS_Data_t data = RandomRecord(seed);
        // Narrow the coil bytes now and then, so that the valid states show too.
        if (seed % 2)
            for (auto& b : data.bits_1_31) b &= 3;
        if (seed % 3 == 0)
            for (auto& b : data.bits_65_97) b &= 1;
        const std::string expected = reference::Document(reinterpret_cast<unsigned char*>(&data));
        kept.Complete(data, BaseTime() + seconds(seed));
        shared.Complete(data, BaseTime() + seconds(seed));
        shared.Pointer();
        ExpectSameDocument(expected, kept.Text());
        ExpectSameDocument(expected, shared.Text());
        ExpectSameDocument(expected, DeviceText(data));
    }
}

}  // namespace
