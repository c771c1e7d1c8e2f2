// Slows down password and token guessing, for both servers, in three budgets: each
// client address, each address prefix (access/address_prefix.h: an IPv4 /24, an IPv6
// /64, all of loopback) and all addresses together.
//
// A few wrong attempts in a budget pass at once; after them, the budget allows one
// attempt per delay, a delay that doubles with every further wrong attempt up to a cap.
// An attempt is checked only when all three budgets allow it, and takes its slot in
// each before it is checked, so attempts made at the same moment over many connections
// get no more than attempts made one after the other. A right attempt clears its
// address (not its prefix: one known account must not buy a prefix new guesses).
// The limiter never waits itself: it tells the caller how long an attempt must wait,
// and the caller holds that client only (the UPS protocol server parks its line, the
// HTTP server answers 429 with Retry-After), so other clients and the poll rounds
// never notice. Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

#include "core/thread_annotations.h"

namespace novex {
namespace access {

struct LimiterSettings {
    // Per address: wrong attempts that pass without delay (the next one also passes
    // at once; its failure starts the delays), the first delay, doubled at each
    // further wrong attempt, and its cap.
    int free_failures = 3;
    int first_delay_ms = 250;
    int max_delay_ms = 8000;
    // Per prefix: the same delays after more free attempts, so that a host with a
    // whole /24 or /64 (or any local user, with all of 127/8) guesses no faster than
    // a few addresses would.
    int prefix_free_failures = 12;
    // All addresses together: after these, one attempt per delay, capped lower, so that
    // guesses spread over many prefixes still pass at most about once a second.
    int overall_free_failures = 48;
    int overall_max_delay_ms = 1000;
    int forget_after_ms = 600000;  // a budget quiet this long starts afresh
    size_t max_addresses = 4096;   // budgets remembered at once (memory bound)
};

class AttemptLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit AttemptLimiter(LimiterSettings settings = {}) : settings_(settings) {}

    // How long an attempt from `address` must wait before it is checked: zero means
    // check now, and the attempt has taken its slot in every budget; the caller then
    // says Failed or Succeeded once it is checked.
    Clock::duration Admit(const std::string& address, Clock::time_point now);

    // A checked attempt failed. True once per burst: when the address starts being
    // slowed down, which is when the caller logs it.
    bool Failed(const std::string& address, Clock::time_point now);
    // A checked attempt succeeded: the address starts afresh.
    void Succeeded(const std::string& address);

    // Wrong attempts counted for `address` in its current burst.
    int Failures(const std::string& address) const;

private:
    struct Entry {
        int failures = 0;
        int pending = 0;                // admitted, not yet said to have failed or not
        Clock::time_point next_slot{};  // no attempt beyond the free ones before this
        Clock::time_point last_seen{};
    };
    // The three budgets of an address. Columns: key in entries_, free attempts, cap.
    struct Budget {
        std::string key;
        int free;
        int max_delay_ms;
    };
    static constexpr size_t kBudgets = 3;
    void Budgets(const std::string& address, Budget (&out)[kBudgets]) const;
    Clock::duration Delay(const Budget& budget, int failures) const;
    Entry* Find(const std::string& key, Clock::time_point now) REQUIRES(mutex_);
    void Prune(Clock::time_point now) REQUIRES(mutex_);

    const LimiterSettings settings_;
    mutable novex::Mutex mutex_;
    std::unordered_map<std::string, Entry> entries_ GUARDED_BY(mutex_);
};

}  // namespace access
}  // namespace novex
