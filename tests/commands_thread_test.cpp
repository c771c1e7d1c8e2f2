// The document asked for on other threads while rounds complete: every text shows
// one completed round whole, the one whose "更新时间" it shows. Meant to run under
// ThreadSanitizer as well, which would report the record being read while the next
// round is polled into it.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fake_host.h"
#include "tests/render_support.h"

namespace {

using namespace render_test;

// Round m stamps its time from m, so the time shown names the round: day, hour,
// minute and second count rounds from 2000-1-1 0:0:0.
class RoundClockHost : public FakeHost {
public:
    int round = 0;
    ttime_t ToTTime(boost::posix_time::ptime) override {
        return ttime_t{2000, 1, static_cast<uint8_t>(1 + round / 86400),
                       static_cast<uint8_t>(round / 3600 % 24),
                       static_cast<uint8_t>(round / 60 % 60), static_cast<uint8_t>(round % 60)};
    }
};

int RoundOfTime(const std::string& text) {
    int year, month, day, hour, minute, second;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute,
                    &second) != 6)
        return -1;
    return ((day - 1) * 24 + hour) * 3600 + minute * 60 + second;
}

// Members filled by different requests of a round (first to last), each showing
// the round number: undivided, or divided by ten.
const struct {
    const char* section;
    const char* key;
    float divisor;
} kRoundMarks[] = {
    {"整机数据", "输出A相负载率", 1},
    {"并机数据", "并机上电总台数", 1},
    {nullptr, "模块1-（逆变）正母线电压", 10},
    {nullptr, "模块6-逆变频率", 10},
    {nullptr, "模块10-（整流）负母线电压", 10},
    {nullptr, "#1电池温度", 1},
    {nullptr, "#30电池电压", 100},
};

// The round a document shows, or -1 if its parts disagree.
int RoundShown(const Json::Value& doc) {
    const int round = RoundOfTime(doc["更新时间"].asString());
    for (const auto& mark : kRoundMarks) {
        const Json::Value& value = mark.section ? doc[mark.section][mark.key] : doc[mark.key];
        const double expected = static_cast<double>(static_cast<float>(round) / mark.divisor);
        if (value.asDouble() != expected) return -1;
    }
    return round;
}

// Every register of the round holds its number; every coil is clear.
void AnswerRequest(NovexUPS& ups, int round) {
    const SPModbus::Request request = ups.last_request;
    if (request.table == SPModbus::BITS) {
        std::vector<unsigned char> bits(static_cast<size_t>(request.count), 0);
        ups.process(bits.data(), static_cast<unsigned>(bits.size()));
    } else {
        std::vector<uint16_t> regs(static_cast<size_t>(request.count), static_cast<uint16_t>(round));
        ups.process(reinterpret_cast<unsigned char*>(regs.data()),
                    static_cast<unsigned>(regs.size() * 2));
    }
}

// With a thread taking the tree by 803 (801 then serialises the tree), and without
// (801 renders the text slots).
class CommandsThreads : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(PointerUser, CommandsThreads, ::testing::Bool());

TEST_P(CommandsThreads, EveryTextShowsOneWholeRound) {
    const bool with_pointer_user = GetParam();
    RoundClockHost host;
    SetDefaultHostServices(&host);
    DocumentUPS ups;
    ups.AttachHost(&host);

    std::atomic<bool> stop{false};
    std::atomic<int> texts{0}, pointers{0};
    std::set<int> shown;
    std::vector<std::string> torn;

    testing::internal::CaptureStdout();
    std::thread poller([&] {
        for (int round = 1; !stop.load(); round = round % 30000 + 1) {
            host.round = round;
            if (round % 7 == 0) {  // now and then a round from the cache
                NovexUPS_Data_t data;
                std::memset(&data, 0, sizeof data);
                const uint16_t value = static_cast<uint16_t>(round);
                for (size_t at = novex::record_offset::kRegs1To40; at < novex::record_offset::kUpdateTime;
                     at += 2)
                    SetRegister(data, at, value);
                ups.LoadFromCache(reinterpret_cast<unsigned char*>(&data), sizeof data);
            } else {
                ups.RefreshStatus();
                for (int request = 0; request < 20; ++request) AnswerRequest(ups, round);
            }
            host.log.clear();
            host.sent_records.clear();
            host.saved_records.clear();
        }
    });
    std::thread pointer_user([&] {
        while (with_pointer_user && !stop.load()) {
            EXPECT_EQ(&ups.status_document, ups.Pointer());
            ++pointers;
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    // Two rebuilds after the first need the round time to pass a second boundary.
    while (shown.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        const std::string text = ups.Text();
        ++texts;
        if (text == "null\n") continue;
        const int round = RoundShown(Parse(text));
        if (round < 0)
            torn.push_back(text.substr(0, 300));
        else
            shown.insert(round);
    }
    stop = true;
    poller.join();
    pointer_user.join();
    testing::internal::GetCapturedStdout();
    SetDefaultHostServices(nullptr);

    EXPECT_TRUE(torn.empty()) << torn.size() << " torn documents, e.g. " << torn.front();
    EXPECT_GE(shown.size(), 3u) << "rounds shown: " << shown.size();
    EXPECT_EQ(with_pointer_user, pointers.load() > 0);
}

}  // namespace
