// The attempt limiter's schedule on a clock the test moves: a trace of attempts from
// one address, each with the wait it must get and whether it fails.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "access/address_prefix.h"
#include "access/attempt_limiter.h"

namespace {

using novex::access::AttemptLimiter;
using novex::access::LimiterSettings;
using std::chrono::milliseconds;

TEST(AttemptLimiter, DelayGrowsPerAddressAndSuccessClears) {
    LimiterSettings settings;
    settings.free_failures = 2;
    settings.first_delay_ms = 100;
    settings.max_delay_ms = 300;
    settings.forget_after_ms = 10000;
    AttemptLimiter limiter(settings);
    const AttemptLimiter::Clock::time_point start{};
    // Columns: ms since start, address, wait Admit must answer, then (when it is 0)
    // whether the check fails, and whether that failure is the one that logs the burst.
    struct Step {
        int at_ms;
        const char* address;
        int wait_ms;
        bool fails;
        bool logs;
    };
    const Step trace[] = {
        {0, "a", 0, true, false},        // free
        {1, "a", 0, true, false},        // free
        {2, "a", 0, true, true},         // third: slowed down from here, logged once
        {50, "a", 52, false, false},     // 100 ms after the third
        {50, "b", 0, true, false},       // another address is not held up
        {102, "a", 0, true, false},      // its slot; fails again: now 200 ms
        {103, "a", 199, false, false},   // concurrent attempt: the next slot
        {302, "a", 0, true, false},      // 200 ms later; fails: capped at 300 ms
        {500, "a", 102, false, false},
        {602, "a", 0, false, false},     // right at last: cleared
        {603, "a", 0, true, false},      // a new burst starts with free attempts
        {20000, "a", 0, true, false},    // quiet past forget_after_ms: free again
    };
    static_assert(sizeof trace / sizeof trace[0] == 12, "rows of the trace");
    for (const Step& s : trace) {
        const auto now = start + milliseconds(s.at_ms);
        const auto wait = std::chrono::duration_cast<milliseconds>(limiter.Admit(s.address, now));
        EXPECT_EQ(wait.count(), s.wait_ms) << "at " << s.at_ms << " ms";
        if (wait.count() != 0) continue;
        if (s.fails) EXPECT_EQ(limiter.Failed(s.address, now), s.logs) << "at " << s.at_ms << " ms";
        else limiter.Succeeded(s.address);
    }
    EXPECT_EQ(limiter.Failures("b"), 0) << "b, as quiet as long, is forgotten too";
}

// A flood of addresses keeps memory bounded: the oldest are forgotten first.
TEST(AttemptLimiter, RemembersABoundedNumberOfAddresses) {
    LimiterSettings settings;
    settings.max_addresses = 16;
    AttemptLimiter limiter(settings);
    const AttemptLimiter::Clock::time_point start{};
    for (int i = 0; i < 1000; ++i)
        limiter.Failed("10.0.0." + std::to_string(i), start + milliseconds(i));
    EXPECT_EQ(limiter.Failures("10.0.0.0"), 0);
    EXPECT_EQ(limiter.Failures("10.0.0.999"), 1);
}

// Attempts made at one moment over many connections, none answered yet: the budgets
// of an address, a prefix and all addresses hold however the attempts are spread.
// Columns: the case, attempts, the address of attempt i, how many are let through.
TEST(AttemptLimiter, BudgetsPerAddressPrefixAndOverallHoldAgainstBursts) {
    struct Burst {
        const char* what;
        int attempts;
        std::function<std::string(int)> address;
        int admitted;
    };
    const Burst bursts[] = {
        {"one address", 16, [](int) { return std::string("10.0.0.1"); }, 4},
        {"a /24, one address each", 40, [](int i) { return "10.0.1." + std::to_string(i); }, 13},
        {"127/8, one address each", 40, [](int i) { return "127." + std::to_string(i) + ".0.1"; }, 13},
        {"a /64, one address each", 40, [](int i) { return "2001:db8:0:1::" + std::to_string(i + 1); }, 13},
        {"a /24 each", 100, [](int i) { return "10." + std::to_string(i) + ".0.1"; }, 49},
    };
    static_assert(sizeof bursts / sizeof bursts[0] == 5, "rows of the table");
    for (const Burst& b : bursts) {
        AttemptLimiter limiter;
        const AttemptLimiter::Clock::time_point now{};
        int admitted = 0;
        for (int i = 0; i < b.attempts; ++i) admitted += limiter.Admit(b.address(i), now).count() == 0;
        EXPECT_EQ(admitted, b.admitted) << b.what;
    }
}

TEST(AddressPrefix, Ipv4By24Ipv6By64LoopbackAsOne) {
    // Columns: address, prefix.
    const char* const rows[][2] = {
        {"10.1.2.3", "10.1.2.0/24"},         {"127.0.0.1", "loopback"},
        {"127.200.1.9", "loopback"},         {"::1", "loopback"},
        {"::ffff:10.1.2.3", "10.1.2.0/24"},  {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
        {"not an address", "not an address"},
    };
    for (const auto& row : rows) EXPECT_EQ(novex::access::AddressPrefix(row[0]), row[1]) << row[0];
}

}  // namespace
