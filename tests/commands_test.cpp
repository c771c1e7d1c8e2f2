// DeviceIoControl: the buffer protocol of every code, the commands handed to the
// host, and when the document is rebuilt and serialised.
#include <chrono>
#include <climits>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/writer.h>

#include "tests/fake_host.h"
#include "tests/render_support.h"

namespace {

using namespace render_test;
using boost::posix_time::second_clock;
using boost::posix_time::seconds;

constexpr int kPointerSize = static_cast<int>(sizeof(void*));
constexpr unsigned char kGuard = 0xA5;

// An output buffer with guard bytes behind its usable part.
struct Buffer {
    explicit Buffer(size_t usable) : bytes(usable + 16, kGuard), capacity(usable) {}
    char* data() { return reinterpret_cast<char*>(bytes.data()); }
    int cap() const { return static_cast<int>(capacity); }
    bool Untouched(size_t from = 0) const {
        for (size_t i = from; i < bytes.size(); ++i)
            if (bytes[i] != kGuard) return false;
        return true;
    }
    std::vector<unsigned char> bytes;
    size_t capacity;
};

struct Commands : ::testing::Test {
    FakeHost host;
    DocumentUPS ups;
    void SetUp() override { ups.AttachHost(&host); }
    int Call(int code, const std::string& input, void* output, int capacity, int& length) {
        return ups.DeviceIoControl(code, input.data(), static_cast<int>(input.size()), output,
                                   capacity, length);
    }
};

TEST_F(Commands, OtherCodesAnswerTheStatusWordThenTheHost) {
    host.host_ioctl_result = 7;
    for (int code : {802, 311, 800, 0, -1, 804, 319, 321, INT_MAX}) {
        host.log.clear();
        Buffer out(8);
        int length = 99;
        EXPECT_EQ(7, Call(code, "x", out.data(), out.cap(), length)) << code;
        EXPECT_EQ(4, length);
        int32_t status;
        std::memcpy(&status, out.data(), 4);
        EXPECT_EQ(-1, status);
        EXPECT_TRUE(out.Untouched(4));
        // The host sees the output length the device has just set.
        EXPECT_EQ(std::vector<std::string>{"DeviceIoControl " + std::to_string(code) + " 1 8 4"},
                  host.log);
    }
}

TEST_F(Commands, OtherCodesWriteNothingIntoTooSmallBuffers) {
    for (int capacity : {3, 0, -1, INT_MIN}) {
        host.log.clear();
        Buffer out(3);
        int length = 99;
        EXPECT_EQ(0, Call(802, "", out.data(), capacity, length)) << capacity;
        EXPECT_EQ(0, length);
        EXPECT_TRUE(out.Untouched());
        EXPECT_EQ(1u, host.Lines("DeviceIoControl 802").size());
    }
    int length = 99;
    EXPECT_EQ(0, Call(802, "", nullptr, 8, length));  // no buffer at all
    EXPECT_EQ(0, length);
}

TEST_F(Commands, SetupCommandsReachTheHostOnlyWithAJsonObject) {
    host.host_ioctl_result = 5;
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    const struct {
        int code;
        std::string input;
        int result;
    } cases[] = {
        {310, "{}", 5},
        {320, "{}", 5},
        {310, R"({"signal_id":"abc","x":[1,2]})", 5},
        {320, "// note\n{\"signal_id\":null}", 5},
        {310, "not json", -1},
        {320, "", -1},
        {310, "{", -1},
        {310, "[1,2]", -1},  // parses, but a command is an object
        {320, "42", -1},
        {310, deep, -1},  // deeper than the reader allows: it throws
        {320, "{\"a\":" + deep + "}", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 40));
        host.log.clear();
        ups.poll_step = 17;
        ups.command_status = 3;
        Buffer out(8);
        int length = 42;
        EXPECT_EQ(c.result, Call(c.code, c.input, out.data(), out.cap(), length));
        EXPECT_EQ(c.code, ups.poll_step);  // the round in progress stops either way
        EXPECT_EQ(-1, ups.command_status);
        EXPECT_EQ(42, length);  // the device leaves the length to the host
        EXPECT_TRUE(out.Untouched());
        std::vector<std::string> expected = {"OpenPort"};
        if (c.result != -1)
            expected.push_back("DeviceIoControl " + std::to_string(c.code) + " " +
                               std::to_string(c.input.size()) + " 8 42");
        EXPECT_EQ(expected, host.log);
    }
}

TEST_F(Commands, SetupCommandsWithoutArgumentAreNoJson) {
    const struct {
        const char* input;
        int input_length;
    } cases[] = {{nullptr, 2}, {nullptr, 0}, {nullptr, -1}, {"{}", -1}, {"{}", -2},
                 {"{}", INT_MIN}, {"{}", 0}};
    for (const auto& c : cases) {
        host.log.clear();
        int length = 0;
        EXPECT_EQ(-1, ups.DeviceIoControl(310, c.input, c.input_length, nullptr, 0, length));
        EXPECT_EQ(std::vector<std::string>{"OpenPort"}, host.log) << c.input_length;
    }
    // Only the given bytes count: no terminating zero is needed or read.
    const char text[] = {'{', '"', 'a', '"', ':', '1', '}'};
    int length = 0;
    EXPECT_EQ(0, ups.DeviceIoControl(310, text, 7, nullptr, 0, length));
    EXPECT_EQ(-1, ups.DeviceIoControl(310, text, 6, nullptr, 0, length));
}

// A failure answers -1 and length 0, never a size the caller might retry with.
TEST_F(Commands, HostFailureInACommandIsAnAnswer) {
    host.throw_on = "DeviceIoControl";
    for (int code : {310, 802}) {
        int length = 77;
        Buffer out(8);
        EXPECT_EQ(-1, Call(code, "{}", out.data(), out.cap(), length));
        EXPECT_EQ(0, length) << code;
    }
}

TEST_F(Commands, TextCopiedOnlyWhenItFits) {
    ups.Complete(RandomRecord(1), BaseTime());
    const std::string text = ups.Text();
    const int size = static_cast<int>(text.size());
    ASSERT_GT(size, 100000);
    EXPECT_EQ('\n', text.back());
    const struct {
        int capacity;
        bool null_output;
        int result;
    } cases[] = {{size, false, 0},  {size + 1, false, 0}, {size - 1, false, -1},
                 {0, false, -1},    {-1, false, -1},     {INT_MIN, false, -1},
                 {size, true, -1}, {0, true, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        Buffer out(static_cast<size_t>(size) + 1);
        int length = 0;
        const int result = ups.DeviceIoControl(801, nullptr, 0, c.null_output ? nullptr : out.data(),
                                               c.capacity, length);
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(size, length);  // the size needed, in both outcomes
        if (result == 0) {
            EXPECT_EQ(text, std::string(out.data(), static_cast<size_t>(size)));
            EXPECT_TRUE(out.Untouched(static_cast<size_t>(size)));  // no terminating zero
        } else {
            EXPECT_TRUE(out.Untouched());
        }
    }
    EXPECT_TRUE(host.log.empty());  // 801 is the device's own
}

TEST_F(Commands, PointerOfTheBuildsOwnWidth) {
    const struct {
        int capacity;
        bool null_output;
        int result;
    } cases[] = {{kPointerSize, false, 0}, {kPointerSize + 4, false, 0},
                 {kPointerSize - 1, false, -1}, {3, false, -1}, {0, false, -1},
                 {-8, false, -1}, {kPointerSize, true, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        Buffer out(static_cast<size_t>(kPointerSize) + 4);
        int length = 0;
        EXPECT_EQ(c.result, ups.DeviceIoControl(803, nullptr, 0,
                                                c.null_output ? nullptr : out.data(), c.capacity,
                                                length));
        EXPECT_EQ(kPointerSize, length);
        if (c.result == 0) {
            Json::Value* pointer;
            std::memcpy(&pointer, out.data(), sizeof pointer);
            EXPECT_EQ(&ups.status_document, pointer);
            EXPECT_TRUE(out.Untouched(sizeof pointer));
        } else {
            EXPECT_TRUE(out.Untouched());
        }
    }
    EXPECT_TRUE(host.log.empty());
}

TEST_F(Commands, BeforeTheFirstRoundTheDocumentIsNull) {
    EXPECT_EQ("null\n", ups.Text());
    EXPECT_TRUE(ups.Pointer()->isNull());
}

// The text is what the compact writer gives for the document right now.
TEST_F(Commands, TextFollowsTheDocumentAfterThePointerWasHandedOut) {
    ups.Complete(RandomRecord(2), BaseTime());
    const std::string first = ups.Text();
    EXPECT_EQ(first, ups.Text());
    EXPECT_TRUE(ups.status_document.isNull());  // no tree until 803 asks for it

    Json::Value* doc = ups.Pointer();
    EXPECT_EQ(Json::FastWriter().write(ups.status_document), first);
    (*doc)["外部"] = "主机写入";
    (*doc)["整机数据"]["输入频率"] = 1;
    const std::string changed = ups.Text();
    EXPECT_NE(first, changed);
    EXPECT_EQ(Json::FastWriter().write(ups.status_document), changed);
    EXPECT_EQ("主机写入", Parse(changed)["外部"].asString());

    // A later rebuild renders every member again, in place: the pointer stays good.
    ups.Complete(RandomRecord(3), BaseTime() + seconds(1));
    const std::string next = ups.Text();
    EXPECT_EQ(Json::FastWriter().write(*doc), next);
    EXPECT_EQ(Json::realValue, (*doc)["整机数据"]["输入频率"].type());
    EXPECT_TRUE(doc->isMember("外部"));  // members are never removed
}

// Once the tree is out, every 801 serialises it as it is then: the holder's edits
// show whether or not 801 or a round came between.
TEST_F(Commands, EveryTextAfterThePointerShowsTheHostsEdits) {
    ups.Complete(RandomRecord(8), BaseTime());
    ups.Text();
    Json::Value* doc = ups.Pointer();
    for (int step = 0; step < 6; ++step) {
        SCOPED_TRACE(step);
        if (step % 3 == 2) {  // a new round, rebuilt by its first 801
            ups.Complete(RandomRecord(9 + step), BaseTime() + seconds(step));
            ups.Text();
        }
        (*doc)["外部"] = step;
        (*doc)["整机数据"]["输入频率"] = step * 10;
        const std::string text = ups.Text();
        EXPECT_EQ(Json::FastWriter().write(*doc), text);
        EXPECT_EQ(step, Parse(text)["外部"].asInt());
        EXPECT_EQ(step * 10, Parse(text)["整机数据"]["输入频率"].asInt());
    }
}

// Whatever the host did to the document through the pointer, the next rebuild
// renders a whole document again (and never touches freed members).
TEST_F(Commands, RebuildRepairsADocumentTheHostTookApart) {
    DocumentUPS fresh;
    const NovexUPS_Data_t data = RandomRecord(4);
    fresh.Complete(data, BaseTime());
    const Json::Value expected = Parse(fresh.Text());

    const std::function<void(Json::Value&)> damage[] = {
        [](Json::Value& d) { d.removeMember("整机状态位"); },
        [](Json::Value& d) { d["AlertArray"] = 5; },
        [](Json::Value& d) { d["整机告警位"]["AlertArray"] = "x"; },
        [](Json::Value& d) { d.removeMember("模块7-逆变A相电压"); },
        [](Json::Value& d) { d = Json::Value(Json::arrayValue); },
        [](Json::Value& d) { d = Json::Value(); },
    };
    int second = 0;
    ups.Complete(RandomRecord(5), BaseTime() + seconds(second++));
    ups.Text();  // members remembered by place
    for (const auto& d : damage) {
        d(*ups.Pointer());
        ups.Complete(data, BaseTime() + seconds(second++));
        EXPECT_EQ(expected, Parse(ups.Text())) << second;
    }
}

TEST_F(Commands, RebuildsOnlyForANewRoundTime) {
    ups.Complete(RandomRecord(6), BaseTime());
    const std::string a = ups.Text();
    // A round in the same second: same round time, the earlier round stays shown.
    ups.Complete(RandomRecord(7), BaseTime());
    EXPECT_EQ(a, ups.Text());
    ups.Pointer();
    EXPECT_EQ(a, ups.Text());  // serialised afresh, nothing rebuilt
    ups.Complete(RandomRecord(7), BaseTime() + seconds(1));
    const std::string b = ups.Text();
    EXPECT_NE(a, b);
    DocumentUPS fresh;
    fresh.Complete(RandomRecord(7), BaseTime());
    EXPECT_EQ(fresh.Text(), b);
    // Rebuilt in place, the same members in the same order as a fresh document.
    ups.Complete(RandomRecord(6), BaseTime() + seconds(2));
    EXPECT_EQ(a, ups.Text());
}

// The real round completion, on the real clock: one short wait for the next second.
TEST_F(Commands, RoundsFromTheCacheAreShownPerSecond) {
    std::string a(853, '\0'), b(853, '\0');
    SetRegister(*reinterpret_cast<NovexUPS_Data_t*>(&a[0]), novex::record_offset::kRegs1To40, 2203);
    SetRegister(*reinterpret_cast<NovexUPS_Data_t*>(&b[0]), novex::record_offset::kRegs1To40, 1000);
    testing::internal::CaptureStdout();
    std::string first_text;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto second = second_clock::local_time();
        ASSERT_EQ(1, ups.LoadFromCache(a));
        first_text = ups.Text();
        ASSERT_EQ(1, ups.LoadFromCache(b));
        const std::string again = ups.Text();
        if (second_clock::local_time() != second) continue;  // the clock ticked: retry
        EXPECT_EQ(first_text, again);
        break;
    }
    const auto shown = ups.round_time;
    while (second_clock::local_time() == shown)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(1, ups.LoadFromCache(b));
    const Json::Value doc = Parse(ups.Text());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(100.0, doc["整机数据"]["输入A相电压"].asDouble());
    const ttime_t t = ups.record.update_time;
    EXPECT_EQ(std::to_string(t.year) + "-" + std::to_string(t.month) + "-" +
                  std::to_string(t.day) + " " + std::to_string(t.hour) + ":" +
                  std::to_string(t.minute) + ":" + std::to_string(t.second),
              doc["更新时间"].asString());
    EXPECT_EQ(ups.round_time, ups.render_time);
}

}  // namespace
