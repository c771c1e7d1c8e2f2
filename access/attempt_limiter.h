// Slows down password and token guessing, per client address, for both servers.
//
// A few wrong attempts from an address pass at once; after them, the address may try
// again only once per delay, a delay that doubles with every further wrong attempt up
// to a cap. A right attempt clears the address. The limiter never waits itself: it
// tells the caller how long an attempt must wait, and the caller holds that client
// only (the UPS protocol server parks its line, the HTTP server answers 429 with
// Retry-After), so other clients and the poll rounds never notice. Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

#include "common/thread_annotations.h"

namespace novex {
namespace access {

struct LimiterSettings {
    int free_failures = 3;       // wrong attempts that pass without delay
    int first_delay_ms = 250;    // the delay after them, doubled at each further one
    int max_delay_ms = 8000;     // the delay never grows beyond this
    int forget_after_ms = 600000;  // an address quiet this long starts afresh
    size_t max_addresses = 4096;   // addresses remembered at once (memory bound)
};

class AttemptLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit AttemptLimiter(LimiterSettings settings = {}) : settings_(settings) {}

    // How long an attempt from `address` must wait before it is checked: zero means
    // check now, and that attempt takes the address's slot (concurrent attempts from one
    // address are spread one delay apart, so parallel connections gain nothing).
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
        Clock::time_point next_slot{};  // no attempt checked before this
        Clock::time_point last_seen{};
    };
    Clock::duration Delay(int failures) const;
    void Prune(Clock::time_point now) REQUIRES(mutex_);

    const LimiterSettings settings_;
    mutable novex::Mutex mutex_;
    std::unordered_map<std::string, Entry> entries_ GUARDED_BY(mutex_);
};

}  // namespace access
}  // namespace novex
