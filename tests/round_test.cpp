// Round completion and the alarm rules, read from the host's call log.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fake_host.h"
#include "device/novexups.h"

namespace {

// The 30 rule names in the order they are reported, with their alarm byte.
const struct {
    int byte;
    const char* name;
} kRules[] = {
    {0, "整流器故障"},   {1, "逆变器故障"},       {2, "辅助电源故障"},   {3, "风扇故障"},
    {4, "输入晶闸管故障"}, {5, "逆变晶闸管故障"},   {6, "旁路晶闸管故障"}, {7, "熔丝断"},
    {8, "母线电压异常"},  {9, "初始化故障"},       {11, "充电器故障"},    {12, "并机故障"},
    {13, "开机无效"},     {14, "逆变直流分量过大"}, {15, "输入电压相序反"}, {16, "输入缺零"},
    {17, "旁路反序"},     {18, "电池反"},           {19, "电池无"},        {20, "回馈保护"},
    {23, "过载"},         {24, "并机过载"},         {25, "电池电压低"},    {26, "电池电压高"},
    {27, "电池欠压预告警"}, {28, "市电频率异常"},   {29, "市电电压异常"},  {30, "旁路超跟踪"},
    {31, "旁路超保护"},   {32, "旁路过流"},
};

std::string Check(const char* name, bool state, int seq) {
    return std::string("CheckThresholdBool 2 12017 12017 ") + name + " " + name + " " +
           (state ? "true" : "false") + " " + std::to_string(seq);
}

struct Round : ::testing::Test {
    FakeHost host;
    NovexUPS ups;
    void SetUp() override {
        ups.AttachHost(&host);
        ups.b_mode = 0;
    }
    // Completes a round and returns what it printed.
    std::string Complete() {
        testing::internal::CaptureStdout();
        ups.RoundDone();
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(Round, HandsOverChecksThenStoresInThatOrder) {
    ups.ao_names = {"a"};
    ups.ao_values = {{"a", 1.5f}};
    EXPECT_EQ("rvSize is 0\n", Complete());
    std::vector<std::string> expected = {"SendSP 5156 853 false", "Reset"};
    for (size_t i = 0; i < 30; ++i) expected.push_back(Check(kRules[i].name, false, int(i) + 1));
    expected.insert(expected.end(), {"CheckAOReport a 1.5", "CheckThreshold a [] 1.5 1",
                                     "DoBatchCheckThreshold 0", "SaveDeviceHistory 853"});
    EXPECT_EQ(expected, host.log);
    EXPECT_EQ(31, ups.check_seq);
    EXPECT_TRUE(ups.data_ready);
    ASSERT_EQ(1u, host.sent_records.size());
    EXPECT_EQ(host.sent_records[0], host.saved_records[0]);
}

TEST_F(Round, StampsTheRecordWithTheRoundTime) {
    Complete();
    const ttime_t t = ups.record.update_time;
    const boost::gregorian::date d = ups.round_time.date();
    const boost::posix_time::time_duration tod = ups.round_time.time_of_day();
    EXPECT_EQ(d.year(), t.year);
    EXPECT_EQ(d.month().as_number(), t.month);
    EXPECT_EQ(d.day(), t.day);
    EXPECT_EQ(tod.hours(), t.hour);
    EXPECT_EQ(tod.minutes(), t.minute);
    EXPECT_EQ(tod.seconds(), t.second);
    EXPECT_EQ(0, tod.fractional_seconds());
    ASSERT_EQ(1u, host.sent_records.size());
    EXPECT_EQ(0, std::memcmp(&ups.record, host.sent_records[0].data(), 853));
}

TEST_F(Round, AnalogueWalkFollowsTheNamesAndSkipsMissingValues) {
    ups.b_mode = 1;
    ups.ao_names = {"b", "missing", "a", "b"};
    ups.ao_values = {{"a", 1.0f}, {"b", 2.0f}, {"unlisted", 9.0f}};
    const struct {
        bool ao;
        bool batch;
        bool flag;
    } cases[] = {{false, false, false}, {true, false, true}, {false, true, true}, {true, true, true}};
    for (const auto& c : cases) {
        host.log.clear();
        host.ao_report_result = c.ao;
        host.batch_result = c.batch;
        ups.report_flag = !c.flag;
        Complete();
        EXPECT_EQ(c.flag, ups.report_flag);
        EXPECT_EQ(std::vector<std::string>({"CheckAOReport b 2", "CheckAOReport a 1", "CheckAOReport b 2"}),
                  host.Lines("CheckAOReport"));
        EXPECT_EQ(std::vector<std::string>({"CheckThreshold b [] 2 1", "CheckThreshold a [] 1 1",
                                            "CheckThreshold b [] 2 1"}),
                  host.Lines("CheckThreshold "));
    }
}

TEST_F(Round, PendingRulesAreCountedBatchedAndCleared) {
    ups.pending_rules.resize(2);
    EXPECT_EQ("rvSize is 2\n", Complete());
    EXPECT_EQ(1u, host.Lines("DoBatchCheckThreshold 2").size());
    EXPECT_TRUE(ups.pending_rules.empty());
    EXPECT_EQ("rvSize is 0\n", Complete());
    EXPECT_EQ(1u, host.Lines("DoBatchCheckThreshold 0").size());
}

TEST_F(Round, ModesOneAndTwoSwitchTheRulesOff) {
    const struct {
        int mode;
        size_t checks;
        int seq_after;
    } cases[] = {{0, 30, 31}, {1, 0, 1}, {2, 0, 1}, {3, 30, 31}, {-1, 30, 31}};
    for (const auto& c : cases) {
        host.log.clear();
        ups.b_mode = c.mode;
        Complete();
        EXPECT_EQ(c.checks, host.Lines("CheckThresholdBool").size()) << c.mode;
        EXPECT_EQ(c.seq_after, ups.check_seq) << c.mode;
    }
}

TEST_F(Round, AnyNonZeroAlarmByteIsActive) {
    for (uint8_t value : {1, 2, 255}) {
        std::memset(ups.record.bits_65_97, 0, 33);
        for (const auto& rule : kRules) ups.record.bits_65_97[rule.byte] = value;
        host.log.clear();
        ups.check_seq = 1;
        ups.RunCheckThreshold();
        for (size_t i = 0; i < 30; ++i)
            EXPECT_EQ(Check(kRules[i].name, true, int(i) + 1), host.log[i]) << int(value);
    }
}

TEST_F(Round, CoilsWithoutARuleChangeNoCheck) {
    ups.check_seq = 1;
    ups.RunCheckThreshold();
    const std::vector<std::string> quiet = host.log;
    for (int byte : {10, 21, 22}) ups.record.bits_65_97[byte] = 1;  // coils 75, 86, 87
    host.log.clear();
    ups.check_seq = 1;
    ups.RunCheckThreshold();
    EXPECT_EQ(quiet, host.log);
}

TEST_F(Round, SequenceWrapsAfter65535) {
    ups.check_seq = 65535;
    ups.RunCheckThreshold();
    EXPECT_EQ(Check(kRules[0].name, false, 65535), host.log[0]);
    EXPECT_EQ(Check(kRules[1].name, false, 0), host.log[1]);
    EXPECT_EQ(29, ups.check_seq);
}

TEST_F(Round, AHostFailureInARuleReachesTheCallerAndStopsTheRound) {
    host.throw_on = "CheckThresholdBool";
    host.throw_after = 4;
    testing::internal::CaptureStdout();
    EXPECT_THROW(ups.RoundDone(), std::runtime_error);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(5u, host.Lines("CheckThresholdBool").size());  // four reported, one threw
    EXPECT_TRUE(host.Lines("SaveDeviceHistory").empty());
    EXPECT_TRUE(host.Lines("DoBatchCheckThreshold").empty());
    EXPECT_EQ(1u, host.Lines("SendSP").size());
}

}  // namespace
