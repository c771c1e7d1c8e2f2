#include "tests/render_reference.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>

namespace reference {

namespace {

struct Node {
    enum Kind { kObject, kText, kReal, kBool } kind = kObject;
    std::string text;
    double real = 0;
    bool flag = false;
    std::map<std::string, Node> members;  // byte order of the keys, like the device's
};

void SetText(Node& object, const std::string& key, const std::string& text) {
    Node& n = object.members[key];
    n = Node();
    n.kind = Node::kText;
    n.text = text;
}

void SetReal(Node& object, const std::string& key, double value) {
    Node& n = object.members[key];
    n = Node();
    n.kind = Node::kReal;
    n.real = value;
}

void SetBool(Node& object, const std::string& key, bool value) {
    Node& n = object.members[key];
    n = Node();
    n.kind = Node::kBool;
    n.flag = value;
}

void SetAlarm(Node& object, Node& alerts, const std::string& key, bool on) {
    SetText(object, key, on ? "告警" : "正常");
    SetBool(alerts, key, on);
}

double Scaled(unsigned raw, int divisor) {
    float v = static_cast<float>(raw);
    if (divisor > 0) v /= static_cast<float>(divisor);
    return v;
}

std::vector<std::vector<std::string>> Rows(const char* table) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        std::vector<std::string> cells;
        std::istringstream fields(line);
        std::string cell;
        while (std::getline(fields, cell, '|')) cells.push_back(cell);
        rows.push_back(cells);
    }
    return rows;
}

int Int(const std::string& s) { return std::stoi(s); }

// Record layout: byte offsets of the parts.
const size_t kStatusBits = 4, kAlarmBits = 35, kModules = 186, kCells = 606, kTime = 846;

unsigned Word(const unsigned char* record, size_t offset) {
    uint16_t w;
    std::memcpy(&w, record + offset, 2);
    return w;
}

// Input registers 1..91 as they lie in the record.
unsigned InputRegister(const unsigned char* record, int r) {
    if (r >= 1 && r <= 40) return Word(record, 68 + 2 * (r - 1));
    if (r >= 61 && r <= 68) return Word(record, 148 + 2 * (r - 61));
    if (r >= 81 && r <= 91) return Word(record, 164 + 2 * (r - 81));
    std::abort();
}

// bit address | key | text 0 | text 1 ("*": the four supply states)
const char kStatusBitTable[] =
    "1|输入空开状态|闭合|断开\n"
    "2|输出空开状态|闭合|断开\n"
    "3|维修旁路空开状态|闭合|断开\n"
    "6|外部输出空开状态|闭合|断开\n"
    "7|逆变主机|不在位|在位\n"
    "8|逆变主机(ECO状态)|不在位|在位\n"
    "10|电池自检|未自检|自检中\n"
    "11|电池充电|未充电|电池充电\n"
    "12|正组电池均充|未均充|均充\n"
    "13|负组电池均充|未均充|均充\n"
    "14|整流器状态|停止|工作\n"
    "15|整流器限流|不限流|限流\n"
    "16|输入供电状态|不工作|工作\n"
    "17|输入供电模式|电池供电|输入供电\n"
    "18|逆变开关机状态1|*|*\n"
    "19|逆变开关机状态2|*|*\n"
    "20|UPS供电状态1|无状态|逆变供电\n"
    "21|UPS供电状态2|无状态|旁路供电\n"
    "22|间断切换提示|无效|有效\n"
    "23|关机将导致断电告警|无效|有效\n"
    "24|关机将导致过载告警|无效|有效\n"
    "26|启动容量不足|无效|有效\n"
    "27|过载延时到关机|无效|有效\n"
    "28|负载冲击切旁路|无效|有效\n"
    "29|并机系统转旁路|无效|有效\n"
    "30|电池电压低关机|无效|有效\n"
    "31|切换次数到|无效|有效\n";

const char* const kSupplyStates[] = {"关机", "软启动", "启动完毕未供电", "正常供电中"};

// bit address | key
const char kAlarmBitTable[] =
    "65|整流器故障\n66|逆变器故障\n67|辅助电源故障\n68|风扇故障\n69|输入晶闸管故障\n"
    "70|逆变晶闸管故障\n71|旁路晶闸管故障\n72|熔丝断\n73|母线电压异常\n74|初始化故障\n"
    "76|充电器故障\n77|并机故障\n78|开机无效\n79|逆变直流分量过大\n80|输入电压相序反\n"
    "81|输入缺零\n82|旁路反序\n83|电池反\n84|电池无\n85|回馈保护\n88|过载\n89|并机过载\n"
    "90|电池电压低\n91|电池电压高\n92|电池欠压预告警\n93|市电频率异常\n94|市电电压异常\n"
    "95|旁路超跟踪\n96|旁路超保护\n97|旁路过流\n";

// register | key | divisor (0: none)
const char kUnitDataTable[] =
    "1|输入A相电压|10\n2|输入B相电压|10\n3|输入C相电压|10\n4|输入频率|10\n"
    "5|输入A相电流|10\n6|输入B相电流|10\n7|输入C相电流|10\n"
    "8|输入A相功率因数|100\n9|输入B相功率因数|100\n10|输入C相功率因数|100\n"
    "11|输出A相电压|10\n12|输出B相电压|10\n13|输出C相电压|10\n14|输出频率|10\n"
    "15|输出A相电流|10\n16|输出B相电流|10\n17|输出C相电流|10\n"
    "18|输出A相有功功率|100\n19|输出B相有功功率|100\n20|输出C相有功功率|100\n"
    "21|输出A相负载率|0\n22|输出B相负载率|0\n23|输出C相负载率|0\n"
    "24|输入A相负载峰值比|100\n25|输入B相负载峰值比|100\n26|输入C相负载峰值比|100\n"
    "27|旁路A相电压|10\n28|旁路B相电压|10\n29|旁路C相电压|10\n30|旁路频率|10\n"
    "31|正组电池电压|10\n32|负组电池电压|10\n33|正组电池放电电流|10\n"
    "34|负组电池放电电流|10\n35|正组电池充电电流|10\n36|负组电池充电电流|10\n"
    "37|电池容量率|0\n38|电池后备时间|0\n39|电池温度|10\n40|环境温度|10\n";

const char kParallelDataTable[] =
    "61|并机上电总台数|0\n62|并机逆变供电台数|0\n"
    "63|并机输出A相总视在功率|1000\n64|并机输出B相总视在功率|1000\n"
    "65|并机输出C相总视在功率|1000\n66|并机输出A相有功功率|1000\n"
    "67|并机输出B相有功功率|1000\n68|并机输出C相有功功率|1000\n";

const char* const kRunStates[] = {"初始化",   "待机状态", "无输出状态",   "旁路状态",
                                  "市电状态", "电池状态", "电池自检状态", "逆变启动中",
                                  "经济模式", "EPO状态",  "维护旁路模式", "故障模式"};

// register | bit | key | "N" (the bit as a number), or the texts by value
const char kStatusFlagTable[] =
    "85|11|逆变待机(ECO 状态位)|N\n"
    "85|12|LBS系统激活|N\n"
    "85|13|并机系统转旁路|N\n"
    "85|14|负载冲击切旁路|N\n"
    "85|15|过载延时到关机|N\n"
    "84|0|切换次数到|N\n"
    "84|1|逆变主机|N\n"
    "84|2|启动容量不足|N\n"
    "84|3|紧急关机提示|N\n"
    "84|4|关机将导致过载告警|N\n"
    "84|5|关机将导致断电告警|N\n"
    "84|6|间断切换提示|N\n"
    "84|7|UPS供电状态|均不供电|旁路供电|逆变供电|无效值\n"
    "84|9|逆变开关机状态|关机|软启动|启动完毕未供电|正常供电中\n"
    "84|11|外部输出空开状态|闭合|断开\n"
    "84|12|旁路柜旁路空开状态|闭合|断开\n"
    "84|13|维修旁路空开状态|闭合|断开\n"
    "84|14|输出空开状态|闭合|断开\n"
    "84|15|旁路空开状态|闭合|断开\n"
    "82|6|负组电池均浮充|浮充|均充\n"
    "82|7|正组电池均浮充|浮充|均充\n"
    "82|8|电池充电|未充电|充电\n"
    "82|9|电池自检|未自检|自检\n"
    "82|10|输入供电模式|输入供电|电池供电\n"
    "82|11|输入供电状态|工作|不工作\n"
    "82|12|整流器限流|未限流|限流\n"
    "82|13|紧急关机|正常|紧急关机状态\n"
    "82|14|整流器状态|工作|停止\n"
    "82|15|输入空开状态|闭合|断开\n";

// register | bit | key
const char kAlarmFlagTable[] =
    "89|7|BUS电压异常\n89|8|回馈保护\n89|9|旁路过流\n89|10|逆变直流分量过大\n"
    "89|11|并机过载\n89|12|过载\n89|13|开机无效\n89|14|上电初始化故障\n89|15|LBS超跟踪\n"
    "88|0|并机继电器故障\n88|1|并机连线故障\n88|2|熔丝断\n88|3|IGBT过流\n"
    "88|4|旁路超保护\n88|5|旁路超跟踪\n88|6|不同步\n88|7|旁路反序\n88|8|并机均流故障\n"
    "88|9|CAN通信故障\n88|10|旁路晶闸管断路故障\n88|11|旁路晶闸管短路故障\n"
    "88|12|逆变晶闸管断路故障\n88|13|逆变晶闸管短路故障\n88|14|逆变桥臂直通\n"
    "88|15|逆变器故障\n"
    "87|6|市电电压异常\n87|7|市电频率异常\n87|8|电池电压预告警\n87|9|电池电压高\n"
    "87|10|电池电压低\n87|11|负组电池充电器故障\n87|12|正组电池充电器故障\n"
    "87|13|电池无\n87|14|电池反\n87|15|输入缺零\n"
    "86|0|软启动失败\n86|1|输入电压相序反\n86|2|正负母线压差大\n86|3|母线电压欠压\n"
    "86|4|母线电压过压\n86|5|风扇电源故障\n86|6|风扇故障\n86|7|电池充电晶闸管故障\n"
    "86|8|电池放电晶闸管故障\n86|9|输入晶闸管故障\n86|10|辅助电源2故障\n"
    "86|11|辅助电源1故障\n86|12|整流过流故障\n86|13|逆变模块过温\n86|14|整流模块过温\n"
    "86|15|整流器故障\n";

// register | bit | key | clear | set
const char kSystemStatusTable[] =
    "90|6|后备时间计算位|未计算|已计算\n"
    "90|7|充电率计算位|未计算|已计算\n"
    "90|9|电池监控系统接入位|未接入|已接入\n"
    "90|10|避雷动作信号|状态无效|状态有效\n"
    "90|11|定期自检开始|状态无效|状态有效\n"
    "90|12|定时关机|状态无效|状态有效\n"
    "90|13|定时开机|状态无效|状态有效\n"
    "90|14|电池电压低关机状态位|状态无效|状态有效\n"
    "90|15|发电机接入|状态无效|状态有效\n"
    "91|8|预防性维护时间到|状态无效|状态有效\n"
    "91|9|机型错误|状态无效|状态有效\n"
    "91|10|烟雾报警|状态无效|状态有效\n"
    "91|11|火灾报警|状态无效|状态有效\n"
    "91|12|电池电压低|状态无效|状态有效\n"
    "91|13|电池电压高|状态无效|状态有效\n"
    "91|14|电池过温|状态无效|状态有效\n"
    "91|15|电池损坏|状态无效|状态有效\n";

// entry | register | bit | kind (M measurement, S status, 2 two-bit, A alarm) |
// pattern | text when set | text when clear. Listed by entry number, which is the
// order of writing except that 93 and 94 come last anyway.
const char kModuleTable[] =
    "1|0|0|M|模块%s-（逆变）正母线电压\n"
    "2|1|0|M|模块%s-（逆变）负母线电压\n"
    "3|2|0|M|模块%s-逆变A相电压\n"
    "4|3|0|M|模块%s-逆变B相电压\n"
    "5|4|0|M|模块%s-逆变C相电压\n"
    "6|5|0|M|模块%s-逆变A相电流\n"
    "7|6|0|M|模块%s-逆变B相电流\n"
    "8|7|0|M|模块%s-逆变C相电流\n"
    "9|8|0|M|模块%s-逆变频率\n"
    "10|9|0|M|模块%s-整流温度\n"
    "11|10|0|M|模块%s-逆变温度\n"
    "12|12|15|S|模块%s-整流模块通讯联机|通讯联机|通讯无\n"
    "13|11|6|S|模块%s-整流模块负组电池均浮充|均充|浮充\n"
    "14|11|7|S|模块%s-整流模块正组电池均浮充|均充|浮充\n"
    "15|11|8|S|模块%s-整流模块电池充电|电池充电|未充电\n"
    "16|11|9|S|模块%s-整流模块电池自检|电池自检中|未自检\n"
    "17|11|10|S|模块%s-整流模块输入供电模式|输入供电|电池供电\n"
    "18|11|11|S|模块%s-整流模块输入供电状态|工作|不工作\n"
    "19|11|12|S|模块%s-整流模块整流器限流|限流状态|不限流\n"
    "20|11|13|S|模块%s-整流模块紧急关机|紧急关机|正常\n"
    "21|11|14|S|模块%s-整流模块整流器状态|工作|停止\n"
    "22|11|15|S|模块%s-整流模块输入空开状态|闭合|断开\n"
    "23|14|11|S|模块%s-逆变模块逆变待机(ECO状态位)|有效|无效\n"
    "24|14|12|S|模块%s-逆变模块LBS系统激活|有效|无效\n"
    "25|14|13|S|模块%s-并机系统转旁路|有效|无效\n"
    "26|14|14|S|模块%s-逆变模块负载冲击切旁路|有效|无效\n"
    "27|14|15|S|模块%s-逆变模块过载延时到关机|有效|无效\n"
    "28|13|0|S|模块%s-逆变模块切换次数到|有效|无效\n"
    "29|13|1|S|模块%s-逆变模块逆变主机|有效|无效\n"
    "30|13|2|S|模块%s-逆变模块启动容量不足|有效|无效\n"
    "31|13|3|S|模块%s-逆变模块紧急关机提示|有效|无效\n"
    "32|13|4|S|模块%s-逆变模块关机将导致过载告警|有效|无效\n"
    "33|13|5|S|模块%s-逆变模块关机将导致断电告警|闭合|无效\n"
    "34|13|6|S|模块%s-逆变模块间断切换提示|闭合|无效\n"
    "35|13|8|S|模块%s-逆变模块UPS供电状态|旁路供电|均不供电\n"
    "36|13|9|2|模块%s-逆变模块开关机状态\n"
    "37|13|11|S|模块%s-逆变模块外部输出空开状态|闭合|断开\n"
    "38|13|12|S|模块%s-逆变模块旁路柜旁路空开状态|闭合|断开\n"
    "39|13|13|S|模块%s-逆变模块维修旁路空开状态|闭合|断开\n"
    "40|13|14|S|模块%s-逆变模块输出空开状态|闭合|断开\n"
    "41|13|15|S|模块%s-逆变模块旁路空开状态|闭合|断开\n"
    "42|16|6|A|模块%s-整流模块市电电压异常\n"
    "43|16|7|A|模块%s-整流模块市电频率异常\n"
    "44|16|8|A|模块%s-整流模块电池电压预告警\n"
    "45|16|9|A|模块%s-整流模块电池电压高\n"
    "46|16|10|A|模块%s-整流模块电池电压低\n"
    "47|16|11|A|模块%s-整流模块负组电池充电器故障\n"
    "48|16|12|A|模块%s-整流模块正组电池充电器故障\n"
    "49|16|13|A|模块%s-整流模块电池无\n"
    "50|16|14|A|模块%s-整流模块电池反\n"
    "51|16|15|A|模块%s-整流模块输入缺零\n"
    "52|15|0|A|模块%s-整流模块软启动失败\n"
    "53|15|1|A|模块%s-整流模块输入电压相序反\n"
    "54|15|2|A|模块%s-整流模块正负母线压差大\n"
    "55|15|3|A|模块%s-整流模块母线电压欠压\n"
    "56|15|4|A|模块%s-整流模块母线电压过压\n"
    "57|15|5|A|模块%s-整流模块风扇电源故障\n"
    "58|15|6|A|模块%s-整流模块风扇故障\n"
    "59|15|7|A|模块%s-整流模块电池充电晶闸管故障\n"
    "60|15|8|A|模块%s-整流模块电池放电晶闸管故障\n"
    "61|15|9|A|模块%s-整流模块输入晶闸管故障\n"
    "62|15|10|A|模块%s-整流模块辅助电源2故障\n"
    "63|15|11|A|模块%s-整流模块辅助电源1故障\n"
    "64|15|12|A|模块%s-整流模块整流过流故障\n"
    "65|15|13|A|模块%s-整流模块逆变模块过温\n"
    "66|15|14|A|模块%s-整流模块整流模块过温\n"
    "67|15|15|A|模块%s-整流模块整流器故障\n"
    "68|18|7|A|模块%s-逆变模块BUS电压异常\n"
    "69|18|8|A|模块%s-逆变模块回馈保护\n"
    "70|18|9|A|模块%s-逆变模块旁路过流\n"
    "71|18|10|A|模块%s-逆变模块逆变直流分量过大\n"
    "72|18|11|A|模块%s-逆变模块并机过载\n"
    "73|18|12|A|模块%s-逆变模块过载\n"
    "74|18|13|A|模块%s-逆变模块开机无效\n"
    "75|18|14|A|模块%s-逆变模块上电初始化故障\n"
    "76|18|15|A|模块%s-逆变模块LBS超跟踪\n"
    "77|17|0|A|模块%s-逆变模块并机继电器故障\n"
    "78|17|1|A|模块%s-逆变模块并机连线故障\n"
    "79|17|2|A|模块%s-逆变模块熔丝断\n"
    "80|17|3|A|模块%s-逆变模块IGBT过流\n"
    "81|17|4|A|模块%s-逆变模块旁路超保护\n"
    "82|17|5|A|模块%s-逆变模块旁路超跟踪\n"
    "83|17|6|A|模块%s-逆变模块不同步\n"
    "84|17|7|A|模块%s-逆变模块旁路反序\n"
    "85|17|8|A|模块%s-逆变模块并机均流故障\n"
    "86|17|9|A|模块%s-逆变模块CAN通信故障\n"
    "87|17|10|A|模块%s-逆变模块旁路晶闸管断路故障\n"
    "88|17|11|A|模块%s-逆变模块旁路晶闸管短路故障\n"
    "89|17|12|A|模块%s-逆变模块逆变晶闸管断路故障\n"
    "90|17|13|A|模块%s-逆变模块逆变晶闸管短路故障\n"
    "91|17|14|A|模块%s-逆变模块逆变桥臂直通\n"
    "92|17|15|A|模块%s-逆变模块逆变器故障\n"
    "93|19|0|M|模块%s-（整流）正母线电压\n"
    "94|20|0|M|模块%s-（整流）负母线电压\n";

std::string WithNumber(std::string pattern, const std::string& number) {
    return pattern.replace(pattern.find("%s"), 2, number);
}

void Build(const unsigned char* record, Node& doc) {
    Node& status = doc.members["整机状态位"];
    for (const auto& row : Rows(kStatusBitTable)) {
        const unsigned v = record[kStatusBits + Int(row[0]) - 1];
        std::string text = "无效值";
        if (row[2] == "*") {
            if (v < 4) text = kSupplyStates[v];
        } else if (v < 2) {
            text = row[2 + v];
        }
        SetText(status, row[1], text);
    }

    Node& alarms = doc.members["整机告警位"];
    for (const auto& row : Rows(kAlarmBitTable))
        SetAlarm(alarms, alarms.members["AlertArray"], row[1],
                 record[kAlarmBits + Int(row[0]) - 65] != 0);

    Node& unit = doc.members["整机数据"];
    for (const auto& row : Rows(kUnitDataTable))
        SetReal(unit, row[1], Scaled(InputRegister(record, Int(row[0])), Int(row[2])));
    Node& parallel = doc.members["并机数据"];
    for (const auto& row : Rows(kParallelDataTable))
        SetReal(parallel, row[1], Scaled(InputRegister(record, Int(row[0])), Int(row[2])));

    const unsigned run = InputRegister(record, 81);
    SetText(doc.members["整机状态数据"], "运行状态", run < 12 ? kRunStates[run] : "无效值");

    for (const auto& row : Rows(kStatusFlagTable)) {
        const unsigned word = InputRegister(record, Int(row[0]));
        const int bit = Int(row[1]);
        if (row[3] == "N") {
            SetReal(status, row[2], (word >> bit) & 1);
        } else if (row.size() == 7) {
            SetText(status, row[2], row[3 + ((word >> bit) & 3)]);
        } else {
            SetText(status, row[2], row[3 + ((word >> bit) & 1)]);
        }
    }

    Node& flags = doc.members["整机告警位位"];
    for (const auto& row : Rows(kAlarmFlagTable))
        SetAlarm(flags, flags.members["AlertArray"], row[2],
                 (InputRegister(record, Int(row[0])) >> Int(row[1])) & 1);

    Node& system = doc.members["整机系统状态"];
    for (const auto& row : Rows(kSystemStatusTable))
        SetText(system, row[2], row[3 + ((InputRegister(record, Int(row[0])) >> Int(row[1])) & 1)]);

    for (int k = 1; k <= 10; ++k) {
        const std::string number = std::to_string(k);
        for (const auto& row : Rows(kModuleTable)) {
            const unsigned word = Word(record, kModules + 42 * (k - 1) + 2 * Int(row[1]));
            const unsigned bit = (word >> Int(row[2])) & 1;
            const std::string key = WithNumber(row[4], number);
            if (row[3] == "M") SetReal(doc, key, Scaled(word, 10));
            if (row[3] == "S") SetText(doc, key, bit ? row[5] : row[6]);
            if (row[3] == "2") SetText(doc, key, kSupplyStates[(word >> 9) & 3]);
            if (row[3] == "A") SetAlarm(doc, doc.members["AlertArray"], key, bit);
        }
    }

    for (int n = 1; n <= 30; ++n) {
        const std::string number = std::to_string(n);
        const size_t at = kCells + 8 * (n - 1);
        SetReal(doc, "#" + number + "电池电压", Scaled(Word(record, at), 100));
        SetReal(doc, "#" + number + "电池温度", static_cast<int16_t>(Word(record, at + 2)));
        SetReal(doc, "#" + number + "电池内阻", Scaled(Word(record, at + 4), 100));
    }

    const unsigned char* t = record + kTime;
    SetText(doc, "更新时间",
            std::to_string(Word(record, kTime)) + "-" + std::to_string(t[2]) + "-" +
                std::to_string(t[3]) + " " + std::to_string(t[4]) + ":" + std::to_string(t[5]) +
                ":" + std::to_string(t[6]));
}

void Quote(const std::string& s, std::string& out) {
    out += '"';
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
}

void Write(const Node& node, int depth, std::string& out) {
    char buffer[40];
    switch (node.kind) {
        case Node::kText:
            Quote(node.text, out);
            return;
        case Node::kBool:
            out += node.flag ? "true" : "false";
            return;
        case Node::kReal:
            std::snprintf(buffer, sizeof buffer, "%.17g", node.real);
            out += buffer;
            if (!std::strpbrk(buffer, ".e")) out += ".0";
            return;
        case Node::kObject:
            break;
    }
    out += "{\n";
    size_t i = 0;
    for (const auto& member : node.members) {
        out.append(2 * (depth + 1), ' ');
        Quote(member.first, out);
        out += ": ";
        Write(member.second, depth + 1, out);
        out += ++i < node.members.size() ? ",\n" : "\n";
    }
    out.append(2 * depth, ' ');
    out += "}";
}

}  // namespace

std::string Document(const unsigned char* record) {
    Node doc;
    Build(record, doc);
    std::string out;
    Write(doc, 0, out);
    out += "\n";
    return out;
}

}  // namespace reference
