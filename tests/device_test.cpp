// The device object: defaults, configuration, cached records and value queries.
#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "tests/fake_host.h"
#include "device/novexups.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;
using boost::posix_time::seconds;

Json::Value Parse(const std::string& text) {
    Json::Value v;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, v)) << text;
    return v;
}

bool AllZero(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0) return false;
    return true;
}

struct Device : ::testing::Test {
    FakeHost host;
    NovexUPS ups;
    void SetUp() override { ups.AttachHost(&host); }
};

TEST_F(Device, StartsWithItsDefaults) {
    EXPECT_EQ("novexups", ups.DeviceType());
    EXPECT_TRUE(AllZero(&ups.record, sizeof ups.record));
    EXPECT_EQ(853u, sizeof ups.record);
    EXPECT_EQ(1, ups.b_mode);
    EXPECT_EQ(-1, ups.command_status);
    EXPECT_EQ(9600, ups.port_speed);
    EXPECT_EQ(1, ups.modbus_option);
    EXPECT_FALSE(ups.data_ready);
    EXPECT_TRUE(ups.status_document.isNull());
    EXPECT_TRUE(ups.render_time.is_not_a_date_time());
    EXPECT_TRUE(ups.GetChildVDevice(1) == nullptr);
    EXPECT_TRUE(ups.GetAllChildVDevices().empty());
}

TEST_F(Device, ModeIsReadAsTextAndTruncated) {
    const struct {
        const char* config;
        int mode;
    } cases[] = {
        {R"({"appSetting":{"b_mode":"2"}})", 2},
        {R"({"appSetting":{"b_mode":2}})", 2},
        {R"({"appSetting":{"b_mode":2.9}})", 2},
        {R"({"appSetting":{"b_mode":-1.5}})", -1},
        {R"({"appSetting":{"b_mode":"x"}})", 0},
        {R"({"appSetting":{"b_mode":true}})", 0},
        {R"({"appSetting":{"b_mode":"3abc"}})", 3},
        {R"({"appSetting":{"b_mode":null}})", 1},
        {R"({"appSetting":{}})", 1},
        {R"({"appSetting":[1]})", 1},
        {R"({"appSetting":"b_mode"})", 1},
        {R"({})", 1},
        // Beyond int: saturates instead of an undefined conversion.
        {R"({"appSetting":{"b_mode":1e300}})", INT_MAX},
        {R"({"appSetting":{"b_mode":"-1e300"}})", INT_MIN},
        {R"({"appSetting":{"b_mode":"nan"}})", 0},
    };
    for (const auto& c : cases) {
        NovexUPS fresh;
        FakeHost fake;
        fresh.AttachHost(&fake);
        fresh.data_id = 0x01020304;
        fresh.InitSetting(Parse(c.config));
        EXPECT_EQ(c.mode, fresh.b_mode) << c.config;
        EXPECT_EQ(0x01020304u, uint32_t{fresh.record.device_id}) << c.config;
        EXPECT_EQ(1u, fake.Lines("InitSetting").size()) << c.config;
    }
}

TEST_F(Device, ConfigurationThatIsNoObjectIsRejectedByTheHostPart) {
    ups.data_id = 42;
    EXPECT_FALSE(ups.InitSetting(Parse("[1,2]")));
    EXPECT_EQ(1, ups.b_mode);
    EXPECT_EQ(42u, uint32_t{ups.record.device_id});
    EXPECT_NE(std::string::npos, ups.setting_error.find("not a JSON object"));
}

TEST_F(Device, ModeThatIsNotAValueThrowsAndChangesNothing) {
    ups.InitSetting(Parse(R"({"slave":7,"appSetting":{"b_mode":3}})"));
    ASSERT_EQ(3, ups.b_mode);
    for (const char* config : {R"({"slave":9,"appSetting":{"b_mode":[2]}})",
                               R"({"slave":9,"appSetting":{"b_mode":{"a":2}}})"}) {
        host.log.clear();
        EXPECT_THROW(ups.InitSetting(Parse(config)), std::exception) << config;
        EXPECT_EQ(3, ups.b_mode);
        EXPECT_EQ(7, ups.port_settings.slave);
        EXPECT_TRUE(host.Lines("InitSetting").empty());
    }
}

TEST_F(Device, HostSettingsAreCheckedBeforeTheyApply) {
    EXPECT_TRUE(ups.InitSetting(Parse(
        R"({"transport":"tcp","port":"127.0.0.1:1502","baud":19200,"parity":"E","slave":3})")));
    EXPECT_EQ("tcp", ups.port_settings.transport);
    EXPECT_EQ(19200, ups.port_speed);
    EXPECT_EQ('E', ups.port_settings.parity);
    const struct {
        const char* config;
        const char* names;
    } bad[] = {
        {R"({"slave":300})", "slave"},   {R"({"baud":"fast"})", "baud"},
        {R"({"parity":"X"})", "parity"}, {R"({"transport":"udp"})", "transport"},
        {R"({"port":5})", "port"},       {R"({"timeout_ms":0})", "timeout_ms"},
        {R"({"slave":0})", "slave"},     {R"({"parity":""})", "parity"},
    };
    for (const auto& c : bad) {
        EXPECT_FALSE(ups.InitSetting(Parse(c.config))) << c.config;
        EXPECT_NE(std::string::npos, ups.setting_error.find(c.names)) << ups.setting_error;
        EXPECT_EQ(3, ups.port_settings.slave);
        EXPECT_EQ(19200, ups.port_speed);
    }
}

// The table's defaults are what a device without configuration polls with (baud's is
// the device's own speed, PortSettings::baud stays 0 until configured).
TEST_F(Device, LineSettingDefaultsAreTheDevicesOwn) {
    for (const vimo::LineSetting& s : vimo::kLineSettings) {
        const int own =
            s.member == &PortSettings::baud ? ups.port_speed : ups.port_settings.*s.member;
        EXPECT_EQ(s.fallback, own) << s.key;
        EXPECT_LE(s.min, s.fallback) << s.key;
        EXPECT_GE(s.max, s.fallback) << s.key;
    }
}

TEST_F(Device, CacheAcceptsExactlyOneRecord) {
    std::string cached(853, '\0');
    for (size_t i = 0; i < cached.size(); ++i) cached[i] = static_cast<char>(i * 7 + 1);
    for (int length : {852, 854, 0, -1, INT_MIN}) {
        EXPECT_EQ(0, ups.LoadFromCache(reinterpret_cast<const unsigned char*>(cached.data()),
                                       length))
            << length;
    }
    EXPECT_EQ(0, ups.LoadFromCache(nullptr, 853));
    EXPECT_EQ(0, ups.LoadFromCache(cached.substr(0, 852)));
    EXPECT_TRUE(AllZero(&ups.record, sizeof ups.record));
    EXPECT_FALSE(ups.data_ready);
    EXPECT_TRUE(ups.round_time.is_not_a_date_time());
    EXPECT_TRUE(host.log.empty());

    EXPECT_EQ(1, ups.LoadFromCache(cached));
    EXPECT_TRUE(ups.data_ready);
    EXPECT_FALSE(ups.round_time.is_special());
    // Everything but the time stamp is the cached record.
    EXPECT_EQ(0, std::memcmp(&ups.record, cached.data(), 846));
    EXPECT_EQ(1u, host.Lines("SendSP 5156 853 false").size());
    EXPECT_EQ(1u, host.Lines("SaveDeviceHistory 853").size());
}

// Runs `check` at a moment when the clock does not tick over during the check.
template <typename F>
void WithinOneSecond(F check) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const ptime before = second_clock::local_time();
        check(before);
        if (second_clock::local_time() == before) return;
    }
    ADD_FAILURE() << "the clock kept ticking";
}

std::string ValueError(const NovexUPS& ups) {
    try {
        ups.Get_Value(0, "输入A相电压");
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    return "no exception";
}

TEST_F(Device, ValueQueriesReportReadinessAndAge) {
    EXPECT_EQ("数据未就绪", ValueError(ups));
    ups.data_ready = true;
    const struct {
        long age;
        const char* message;
    } cases[] = {{0, "不支持变量"},   {60, "不支持变量"}, {61, "数据已超时"},
                 {3600, "数据已超时"}, {-5, "不支持变量"}};
    for (const auto& c : cases) {
        WithinOneSecond([&](ptime now) {
            ups.round_time = now - seconds(c.age);
            EXPECT_EQ(c.message, ValueError(ups)) << "age " << c.age;
        });
    }
}

TEST(DeviceWithoutHost, WorksAndClaimsNothingDone) {
    NovexUPS alone;
    EXPECT_EQ(1, alone.RefreshStatus());
    EXPECT_EQ(1, alone.process(nullptr, 0));
    int length = 0;
    EXPECT_EQ(-1, alone.DeviceIoControl(310, "{}", 2, nullptr, 0, length));
    int32_t word = 0;
    EXPECT_EQ(-1, alone.DeviceIoControl(802, nullptr, 0, &word, sizeof word, length));
    EXPECT_EQ(-1, word);
    EXPECT_EQ(4, length);
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, alone.LoadFromCache(std::string(853, '\0')));
    EXPECT_EQ("rvSize is 0\n", testing::internal::GetCapturedStdout());
    EXPECT_TRUE(alone.data_ready);
}

}  // namespace
