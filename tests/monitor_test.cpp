// The measure and alarm tables against the status document the device renders, the
// decoded values a reader sees, the summary line, and the docs' copy of the tables.
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "tests/render_support.h"
#include "tests/source_files.h"
#include "monitor/snapshot.h"
#include "monitor/table_list.h"

namespace {

using namespace novex::monitor;
using namespace render_test;
namespace off = novex::record_offset;

using source_test::ReadFile;
using source_test::SourceFile;

const unsigned char* Bytes(const NovexUPS_Data_t& data) {
    return reinterpret_cast<const unsigned char*>(&data);
}

const Json::Value& Member(const Json::Value& doc, const std::string& section,
                          const std::string& key) {
    return section.empty() ? doc[key] : doc[section][key];
}

// Every measure and every alarm of `data` against the document rendered from it, and
// every alarm member of the document claimed by exactly one alarm source.
void ExpectAgreesWithDocument(const NovexUPS_Data_t& data, const Json::Value& doc) {
    DecodedRound round;
    std::string error;
    ASSERT_TRUE(DecodeRecord(Bytes(data), sizeof data, round, error)) << error;
    int failures = 0;
    for (size_t i = 0; i < Measures().size() && failures < 10; ++i) {
        const Measure& m = Measures()[i];
        const MeasureRow& row = kMeasureRows[m.row];
        const MeasureValue& v = round.measures[i];
        const Json::Value& member = Member(doc, m.document_section, m.document_key);
        std::string expected;
        if (row.read == Read::kPresence)
            expected = (member.isString() ? member.asString() == "通讯联机"
                                          : member.asDouble() != 0) ? "1" : "0";
        else if (row.read == Read::kRunState)
            expected = member.asString() == RunStateText(static_cast<unsigned>(v.value))
                           ? RunStateId(static_cast<unsigned>(v.value)) : "mismatch";
        else if (!member.isDouble())
            expected = "member missing";
        else if (v.present)
            expected = FormatNumber(member.asDouble() * row.scale.multiply / row.scale.divide,
                                    m.decimals);
        const std::string actual = FormatValue(m, v);
        if (expected != actual) {
            ++failures;
            ADD_FAILURE() << m.name << ": document " << member.toStyledString() << " reads "
                          << actual;
        }
    }
    std::set<std::string> claimed;
    for (size_t i = 0; i < Alarms().size() && failures < 10; ++i) {
        const Alarm& a = Alarms()[i];
        std::vector<std::string> sections;
        if (a.coil_byte >= 0) sections.push_back("整机告警位");
        if (a.register_offset >= 0) sections.push_back(a.module ? "" : "整机告警位位");
        bool shown = false;
        // A run state's condition shows as the state the document writes.
        if (a.run_state >= 0) shown = Member(doc, "整机状态数据", "运行状态").asString() == a.text;
        for (const std::string& section : sections) {
            const Json::Value& flag = Member(doc, section, "AlertArray")[a.text];
            if (!flag.isBool() || !claimed.insert(section + "/" + a.text).second) {
                ++failures;
                ADD_FAILURE() << a.id << ": " << a.text << " not once in " << section;
            }
            shown = shown || flag.asBool();
        }
        const bool active =
            std::find(round.alarms.begin(), round.alarms.end(), i) != round.alarms.end();
        if (shown != active) {
            ++failures;
            ADD_FAILURE() << a.id << (active ? " raised" : " not raised");
        }
    }
    EXPECT_EQ(doc["整机告警位"]["AlertArray"].size() + doc["整机告警位位"]["AlertArray"].size() +
                  doc["AlertArray"].size(),
              claimed.size());
}

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

NovexUPS_Data_t Filled(unsigned char byte) {
    NovexUPS_Data_t data;
    std::memset(&data, byte, sizeof data);
    return data;
}

// The records of the checked-in documents under tests/golden (the worked record
// lives with the golden test), then fresh renderings of random records.
TEST(MonitorTables, AgreeWithTheDocument) {
    const struct {
        const char* golden;
        NovexUPS_Data_t data;
    } cases[] = {{"zeros", Filled(0)}, {"ones", Filled(0xFF)},
                 {"random", RandomRecord(20240305)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.golden);
        ExpectAgreesWithDocument(
            c.data, Parse(ReadFile(SourceFile(std::string("tests/golden/") + c.golden + ".json"))));
    }
    DocumentUPS ups;
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        NovexUPS_Data_t data = RandomRecord(seed);
        // Sparse alarms and small run states now and then, so each shows alone.
        if (seed % 2)
            for (auto& b : data.bits_65_97) b = b < 40 ? b : 0;
        if (seed % 3 == 0) SetRegister(data, off::kReg81, static_cast<uint16_t>(seed % 13));
        ups.Complete(data, BaseTime() + boost::posix_time::seconds(seed));
        ExpectAgreesWithDocument(data, Parse(ups.Text()));
    }
}

TEST(MonitorTables, IdsAreStableAscii) {
    EXPECT_EQ(309u, Measures().size());  // 49 unit, 14 per module, 4 per cell
    EXPECT_EQ(kAlarmCount, Alarms().size());
    EXPECT_EQ(580u, kAlarmCount);
    EXPECT_EQ("communication_lost", Alarms()[kCommunicationLost].id);
    std::set<std::string> names, ids;
    for (const Measure& m : Measures()) {
        EXPECT_TRUE(names.insert(m.name).second) << m.name;
        EXPECT_EQ(std::string::npos, m.id.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"));
    }
    for (const Alarm& a : Alarms()) {
        EXPECT_TRUE(ids.insert(a.id).second) << a.id;
        EXPECT_EQ(std::string::npos,
                  a.id.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_.")) << a.id;
        // Every alarm reads in English too, in printable ASCII.
        EXPECT_FALSE(a.description.empty()) << a.id;
        for (const char c : a.description) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << a.id;
    }
    for (const char* id : {"battery_voltage_low", "module3.rectifier_fault",
                           "module10.inverter_fault", "mains_voltage_abnormal"})
        EXPECT_LT(FindAlarm(id), Alarms().size()) << id;
}

// Values as a reader sees them, as registers are set one after the other into one
// record. Columns: register offset, value, measure, its text then.
TEST(MonitorTables, ValuesAtTheirResolution) {
    const struct {
        size_t offset;
        uint16_t raw;
        const char* name;
        const char* text;
    } cases[] = {
        {off::kRegs1To40, 2203, "input_voltage{phase=\"a\"}", "220.3"},
        {off::kRegs1To40 + 14, 98, "input_power_factor{phase=\"a\"}", "0.98"},
        {off::kRegs1To40 + 34, 812, "output_active_power{phase=\"a\"}", "8120"},
        {off::kRegs1To40 + 40, 37, "output_load{phase=\"a\"}", "37"},
        {off::kRegs1To40 + 74, 12, "battery_runtime", "720"},
        {off::kRegs1To40 + 78, 65535, "ambient_temperature", "6553.5"},
        {off::kRegs61To68 + 4, 12345, "parallel_output_apparent_power{phase=\"a\"}", "12345"},
        {off::kReg81, 5, "run_state", "on_battery"},
        {off::kReg81, 12, "run_state", "invalid"},
        {off::kModuleRegs + 42 * 2 + 24, 0x8000, "module_present{module=\"3\"}", "1"},
        {off::kModuleRegs + 42 * 2 + 4, 2301, "module_inverter_voltage{module=\"3\",phase=\"a\"}", "230.1"},
        {off::kModuleRegs + 42 * 3 + 4, 2301, "module_inverter_voltage{module=\"4\",phase=\"a\"}", ""},
        {off::kModuleRegs + 42 * 3 + 24, 0x7FFF, "module_present{module=\"4\"}", "0"},
        {off::kBatteryRegs + 8, 1346, "cell_voltage{cell=\"2\"}", "13.46"},
        {off::kBatteryRegs + 8 + 2, 0xFFEC, "cell_temperature{cell=\"2\"}", "-20"},
        {off::kBatteryRegs + 8 + 4, 345, "cell_resistance{cell=\"2\"}", "0.00345"},
        {off::kBatteryRegs + 16 + 2, 25, "cell_temperature{cell=\"3\"}", ""},
    };
    NovexUPS_Data_t data = Filled(0);
    for (const auto& c : cases) {
        SetRegister(data, c.offset, c.raw);
        const size_t i = FindMeasure(c.name);
        ASSERT_LT(i, Measures().size()) << c.name;
        EXPECT_EQ(c.text, FormatValue(Measures()[i], DecodeMeasures(Bytes(data))[i])) << c.name;
    }
    DecodedRound round;
    std::string error;
    EXPECT_FALSE(DecodeRecord(Bytes(Filled(0)), 852, round, error));
    EXPECT_EQ("record of 852 bytes, expected 853", error);
}

// One condition the UPS reports twice (alarm bit and flag register) is one alarm;
// a module's flag is its own.
TEST(MonitorTables, AlarmsFromEitherSource) {
    const size_t mains = FindAlarm("mains_voltage_abnormal");
    NovexUPS_Data_t data = Filled(0);
    data.bits_65_97[29] = 1;  // coil 94
    EXPECT_EQ(std::vector<AlarmIndex>{static_cast<AlarmIndex>(mains)}, ActiveAlarms(Bytes(data)));
    data = Filled(0);
    SetRegister(data, off::kRegs86To89 + 2, 0x0040);  // register 87 bit 6
    EXPECT_EQ(std::vector<AlarmIndex>{static_cast<AlarmIndex>(mains)}, ActiveAlarms(Bytes(data)));
    data = Filled(0);
    SetRegister(data, off::kModuleRegs + 42 * 2 + 2 * 15, 0x0040);  // module 3 fan
    const std::vector<AlarmIndex> active = ActiveAlarms(Bytes(data));
    ASSERT_EQ(1u, active.size());
    EXPECT_EQ("module3.fan_fault", Alarms()[active[0]].id);
    EXPECT_EQ("模块3-整流模块风扇故障", Alarms()[active[0]].text);
    EXPECT_EQ("Module 3 rectifier: fan fault", Alarms()[active[0]].description);
}

// A run state other than on mains is a condition of its own, active while the UPS is
// in it. Columns: register 81, the active alarm ("" for none).
TEST(MonitorTables, RunStatesAsConditions) {
    const struct {
        uint16_t code;
        const char* alarm;
    } cases[] = {
        {0, ""}, {4, ""}, {5, "run_state.on_battery"}, {3, "run_state.on_bypass"},
        {11, "run_state.fault"}, {12, ""}, {0xffff, ""},
    };
    for (const auto& c : cases) {
        NovexUPS_Data_t data = Filled(0);
        SetRegister(data, off::kReg81, c.code);
        const std::vector<AlarmIndex> active = ActiveAlarms(Bytes(data));
        std::string ids;
        for (const AlarmIndex a : active) ids += Alarms()[a].id;
        EXPECT_EQ(c.alarm, ids) << c.code;
    }
    EXPECT_EQ("电池状态", Alarms()[FindAlarm("run_state.on_battery")].text);
}

// The on-battery unit of the simulator: its summary, stale, before any round.
TEST(MonitorSummary, ReadsTheMeasures) {
    NovexUPS_Data_t data = Filled(0);
    const uint16_t regs[40] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2200, 2201, 2203, 500, 380,
                               372, 391, 812, 795, 834, 35, 34, 36, 141, 140, 142, 0, 0, 0, 0,
                               1980, 1978, 255, 251, 0, 0, 24, 12, 262, 240};
    for (int r = 0; r < 40; ++r) SetRegister(data, off::kRegs1To40 + 2 * r, regs[r]);
    SetRegister(data, off::kReg81, 5);
    data.bits_65_97[25] = 1;
    data.bits_65_97[29] = 1;
    DeviceSnapshot s;
    DecodedRound round;
    std::string error;
    ASSERT_TRUE(DecodeRecord(Bytes(data), sizeof data, round, error));
    s.measures = round.measures;
    s.active_alarms = round.alarms;
    const std::string figures =
        "state on_battery | in 0.0/0.0/0.0 V | out 220.0/220.1/220.3 V | load 35/34/36 % | "
        "battery 24 % 198.0/197.8 V | backup 12 min | alarms: ";
    EXPECT_EQ(figures + "battery_voltage_low, mains_voltage_abnormal", SummaryLine(s));
    s.stale = true;
    s.communication = Communication::kLost;
    s.active_alarms.push_back(kCommunicationLost);
    EXPECT_EQ("stale | " + figures +
                  "battery_voltage_low, mains_voltage_abnormal, communication_lost",
              SummaryLine(s));
    s.active_alarms.assign({0, 1, 2, 3, 4, 5, 6});
    EXPECT_NE(std::string::npos, SummaryLine(s).find("auxiliary_supply_fault, fan_fault, "
                                                     "input_thyristor_fault and 2 more"));
    EXPECT_EQ("no round yet", SummaryLine(DeviceSnapshot()));
    EXPECT_EQ("2024-03-05 07:04:09", LocalTimeText(LocalTime(2024, 3, 5, 7, 4, 9)));
}

// The docs list the tables as they are; NOVEX_WRITE_DOCS=1 rewrites their copy.
TEST(MonitorTables, DocsListTheTables) {
    const std::string begin = "<!-- tables of vimohost's model: begin -->\n";
    const std::string end = "<!-- tables of vimohost's model: end -->\n";
    const std::string tables = "\n## Measures\n\n" + MeasureTableMarkdown() +
                               "\n## Alarms\n\n" + AlarmTableMarkdown() + "\n";
    const std::string path = SourceFile("docs/measures-and-alarms.md");
    std::string readme = ReadFile(path);
    const size_t first = readme.find(begin);
    const size_t last = readme.find(end);
    ASSERT_NE(std::string::npos, first);
    ASSERT_NE(std::string::npos, last);
    const size_t from = first + begin.size();
    if (std::getenv("NOVEX_WRITE_DOCS")) {
        readme.replace(from, last - from, tables);
        std::ofstream(path) << readme;
    }
    EXPECT_EQ(tables, readme.substr(from, last - from));
}

}  // namespace
