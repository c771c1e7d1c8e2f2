// The attempt limiter's schedule on a clock the test moves: a trace of attempts from
// one address, each with the wait it must get and whether it fails.
#include <gtest/gtest.h>

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

}  // namespace
