// The rendering rules and the remembered member places, on bare JSON values.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <json/writer.h>

#include "render/document_rules.h"
#include "render/document_text.h"
#include "render/number_text.h"
#include "render/status_sections.h"

namespace {

using namespace novex::render;

struct Rules : ::testing::Test {
    Json::Value doc;
    MemberPlaces places;
    Container root() { return Container{doc, places}; }
};

TEST_F(Rules, NumbersAreSinglePrecisionQuotientsWidened) {
    const struct {
        uint16_t raw;
        uint16_t divisor;
        double expected;
    } cases[] = {
        {2203, 10, 220.3000030517578},   {98, 100, 0.9800000190734863},
        {12345, 1000, 12.345000267028809}, {1234, 100, 12.340000152587890625},
        {65535, 10, 6553.5},             {65535, 100, 655.3499755859375},
        {234, 10, 23.399999618530273},   {2305, 10, 230.5},
        {2301, 10, 230.100006103515625}, {37, 0, 37.0},
        {0, 0, 0.0},                     {65535, 0, 65535.0},
    };
    for (const auto& c : cases) {
        put_number(root(), "v", c.raw, c.divisor);
        EXPECT_EQ(Json::realValue, doc["v"].type()) << c.raw;  // 37 is 37.0, not 37
        EXPECT_EQ(c.expected, doc["v"].asDouble()) << c.raw << "/" << c.divisor;
    }
    put_signed_number(root(), "t", static_cast<int16_t>(0xFFEC));
    EXPECT_EQ(-20.0, doc["t"].asDouble());
    put_signed_number(root(), "t", static_cast<int16_t>(0x8000));
    EXPECT_EQ(-32768.0, doc["t"].asDouble());
    EXPECT_EQ(Json::realValue, doc["t"].type());
}

TEST_F(Rules, TextsByValueWithFallback) {
    const char* const texts[] = {"关机", "软启动", "启动完毕未供电", "正常供电中"};
    const struct {
        unsigned value;
        size_t count;
        const char* expected;
    } cases[] = {{0, 2, "关机"}, {1, 2, "软启动"}, {2, 2, "无效值"}, {255, 2, "无效值"},
                 {3, 4, "正常供电中"}, {4, 4, "无效值"}, {65535, 4, "无效值"}};
    for (const auto& c : cases) {
        state_text(root(), "k", c.value, texts, c.count);
        EXPECT_EQ(c.expected, doc["k"].asString()) << c.value;
    }
    state_text(root(), "k", 9, texts, 2, "其他");
    EXPECT_EQ("其他", doc["k"].asString());
    // A text replaces a number and a number a text.
    put_number(root(), "k", 1);
    put_text(root(), "k", "闭合");
    EXPECT_EQ(Json::Value("闭合"), doc["k"]);
}

TEST_F(Rules, AlarmsWriteTextAndBoolean) {
    put_alarm(root(), "过载", true);
    put_alarm(root(), "熔丝断", false);
    EXPECT_EQ("告警", doc["过载"].asString());
    EXPECT_EQ("正常", doc["熔丝断"].asString());
    EXPECT_EQ(Json::Value(true), doc["AlertArray"]["过载"]);
    EXPECT_EQ(Json::Value(false), doc["AlertArray"]["熔丝断"]);
    put_alarm(root(), "过载", false);
    EXPECT_EQ("正常", doc["过载"].asString());
    EXPECT_FALSE(doc["AlertArray"]["过载"].asBool());
    EXPECT_EQ(3u, doc.size());
}

// The host may have turned any part of the document into something else.
TEST_F(Rules, ContainersThatAreNoObjectsBecomeObjects) {
    doc = Json::Value(5);
    put_text(root(), "a", "x");
    EXPECT_EQ("x", doc["a"].asString());
    doc["整机数据"] = "text";
    doc["AlertArray"] = Json::Value(Json::arrayValue);
    put_number(Object(root(), "整机数据"), "输入频率", 500, 10);
    put_alarm(root(), "k", true);
    EXPECT_EQ(50.0, doc["整机数据"]["输入频率"].asDouble());
    EXPECT_TRUE(doc["AlertArray"]["k"].asBool());
}

TEST_F(Rules, PatternKeysAreNeverCutShort) {
    EXPECT_EQ(48u, std::strlen(PatternKey("模块%s-逆变模块关机将导致过载告警", "10").c_str()));
    const std::string number(300, '9');
    const PatternKey key("#%s电池电压", number.c_str());
    EXPECT_EQ("#" + number + "电池电压", key.c_str());
    put_number(root(), Key("模块%s-逆变A相电压", number.c_str()), 10, 10);
    EXPECT_TRUE(doc.isMember("模块" + number + "-逆变A相电压"));
}

TEST_F(Rules, UpdateTimeHasNoLeadingZeros) {
    const struct {
        uint16_t year;
        unsigned char month, day, hour, minute, second;
        const char* expected;
    } cases[] = {{2024, 3, 5, 7, 4, 9, "2024-3-5 7:4:9"},
                 {2024, 12, 31, 23, 59, 5, "2024-12-31 23:59:5"},
                 {0, 0, 0, 0, 0, 0, "0-0-0 0:0:0"},
                 {65535, 255, 255, 255, 255, 255, "65535-255-255 255:255:255"}};
    for (const auto& c : cases) {
        unsigned char bytes[7];
        std::memcpy(bytes, &c.year, 2);
        const unsigned char rest[] = {c.month, c.day, c.hour, c.minute, c.second};
        std::memcpy(bytes + 2, rest, 5);
        RenderUpdateTime(bytes, root());
        EXPECT_EQ(c.expected, doc["更新时间"].asString());
    }
}

// Two runs of a small renderer: the second walks the places the first remembered.
void RenderSample(Container doc, uint16_t value, const char* number) {
    const Container section = Object(doc, "整机数据");
    put_number(section, "输入频率", value, 10);
    put_alarm(doc, Key("模块%s-逆变模块过载", number), value & 1);
    put_text(doc, Key("模块%s-逆变模块开关机状态", number), value & 1 ? "软启动" : "关机");
}

TEST_F(Rules, RemembersPlacesAndWalksThemAgain) {
    places.Begin(doc, true);
    RenderSample(root(), 501, "3");
    places.End(doc);
    EXPECT_FALSE(places.replaying());

    places.Begin(doc, true);
    EXPECT_TRUE(places.replaying());
    // A replay writes the remembered members whatever key it is given.
    RenderSample(root(), 600, "no such module");
    places.End(doc);
    EXPECT_EQ(60.0, doc["整机数据"]["输入频率"].asDouble());
    EXPECT_EQ("正常", doc["模块3-逆变模块过载"].asString());
    EXPECT_FALSE(doc["AlertArray"]["模块3-逆变模块过载"].asBool());
    EXPECT_EQ("关机", doc["模块3-逆变模块开关机状态"].asString());
    EXPECT_EQ(4u, doc.size());
}

TEST_F(Rules, FindsMembersByKeyWhenPlacesMayHaveMoved) {
    places.Begin(doc, true);
    RenderSample(root(), 1, "3");
    places.End(doc);

    // A member removed from outside changes the document's size: no replay.
    doc.removeMember("模块3-逆变模块过载");
    places.Begin(doc, true);
    EXPECT_FALSE(places.replaying());
    RenderSample(root(), 1, "3");
    places.End(doc);
    EXPECT_EQ("告警", doc["模块3-逆变模块过载"].asString());

    // Without keeping places, every rebuild looks members up.
    for (int i = 0; i < 2; ++i) {
        places.Begin(doc, false);
        EXPECT_FALSE(places.replaying());
        doc["AlertArray"] = 0;  // replaced behind the renderer's back
        RenderSample(root(), 2, "4");
        places.End(doc);
    }
    EXPECT_FALSE(doc["AlertArray"]["模块4-逆变模块过载"].asBool());
    EXPECT_EQ(1u, doc["AlertArray"].size());
}

// The numbers' own writer against the JSON writer: every value a register makes with
// the divisors of the tables (and a few more), random floats, and values the writer
// itself is left to write.
TEST(RealText, IsTheWritersTextForEveryRegisterValue) {
    const auto expect_writers = [](double value) {
        char out[kRealTextRoom];
        const size_t length = RealText(value, out);
        const std::string writers = Json::valueToString(value);
        if (std::string(out, length) != writers) {
            ADD_FAILURE() << "%.17g of " << writers << ": " << std::string(out, length);
            return false;
        }
        return true;
    };
    for (uint16_t divisor : {0, 1, 10, 100, 1000, 3, 7}) {
        for (uint32_t raw = 0; raw <= 0xffff; ++raw) {
            float value = static_cast<float>(raw);
            if (divisor != 0) value /= static_cast<float>(divisor);
            if (!expect_writers(static_cast<double>(value))) return;
        }
    }
    for (int raw = -32768; raw <= 32767; ++raw)
        if (!expect_writers(static_cast<double>(static_cast<float>(raw)))) return;
    std::mt19937 random(20261209);
    for (int i = 0; i < 200000; ++i) {
        const uint32_t bits = static_cast<uint32_t>(random());
        float value;
        std::memcpy(&value, &bits, sizeof value);
        if (std::isfinite(value) && !expect_writers(static_cast<double>(value))) return;
    }
    for (double value : {0.0, -0.0, 1e17, 1e16, 123456789012345678.0, 0.0001, 0.00001,
                         9.999999974752427e-05, 0.1, 1.0 / 3, 2.5e-300, 1e300,
                         static_cast<double>(std::numeric_limits<float>::max()),
                         static_cast<double>(std::numeric_limits<float>::denorm_min()),
                         std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::quiet_NaN()})
        expect_writers(value);
}

// A made text in the document's text is what the writer writes for it, whether
// quoted here (printable ASCII) or by the writer (quotes, escapes, other UTF-8, a text
// too long for a slot of its own), rebuild after rebuild, the slot growing and
// shrinking between a fixed member before and after it.
TEST(TextSlots, MadeTextsAreQuotedAsTheWriterQuotesThem) {
    static const char* const kTexts[] = {
        "2024-3-5 7:4:9", "", "a\"b", "back\\slash", "tab\there", "\x1f", "\x7f",
        "\xe6\x9b\xb4\xe6\x96\xb0", "/</", "2024-12-31 23:59:59",
        "0123456789012345678901234567890123456789012",    // 43: quoted here, to the slot's room
        "01234567890123456789012345678901234567890123",   // 44: its room exactly, by the writer
        " ~"};
    const char* current = kTexts[0];
    const auto render = [&current](Container document) {
        put_text(document, "a", kNormalText);
        put_formatted_text(document, "made", current);
        put_number(document, "z", 7);
    };
    const TextTemplate layout(render);
    TextSlots slots;
    Json::Value unused;
    MemberPlaces places;
    for (int round = 0; round < 2; ++round) {
        for (const char* text : kTexts) {
            current = text;
            slots.Begin(layout);
            render(Container{unused, places, &slots});
            slots.End();
            Json::Value tree;
            tree["a"] = kNormalText;
            tree["made"] = text;
            tree["z"] = 7.0;
            EXPECT_EQ(Json::FastWriter().write(tree), slots.text()) << text;
        }
    }
}

}  // namespace
