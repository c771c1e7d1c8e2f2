#include "access/attempt_limiter.h"

#include <algorithm>

namespace novex {
namespace access {

namespace {
using std::chrono::milliseconds;
}

AttemptLimiter::Clock::duration AttemptLimiter::Delay(int failures) const {
    const int over = failures - settings_.free_failures;
    if (over <= 0) return Clock::duration::zero();
    // Doubling stops at the cap long before the shift could overflow.
    long long ms = settings_.first_delay_ms;
    for (int i = 1; i < over && ms < settings_.max_delay_ms; ++i) ms *= 2;
    return milliseconds(std::min<long long>(ms, settings_.max_delay_ms));
}

void AttemptLimiter::Prune(Clock::time_point now) {
    const auto forget = milliseconds(settings_.forget_after_ms);
    for (auto it = entries_.begin(); it != entries_.end();)
        it = now - it->second.last_seen > forget ? entries_.erase(it) : std::next(it);
    // Still full: the address seen longest ago makes room. A flood of addresses can
    // thus only shorten memory of a burst, never grow memory.
    while (entries_.size() >= settings_.max_addresses && !entries_.empty()) {
        auto oldest = entries_.begin();
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (it->second.last_seen < oldest->second.last_seen) oldest = it;
        entries_.erase(oldest);
    }
}

AttemptLimiter::Clock::duration AttemptLimiter::Admit(const std::string& address,
                                                      Clock::time_point now) {
    novex::MutexLock lock(mutex_);
    auto it = entries_.find(address);
    if (it == entries_.end()) return Clock::duration::zero();
    Entry& e = it->second;
    if (now - e.last_seen > milliseconds(settings_.forget_after_ms)) {
        entries_.erase(it);
        return Clock::duration::zero();
    }
    if (e.next_slot > now) return e.next_slot - now;
    e.next_slot = now + Delay(e.failures);
    return Clock::duration::zero();
}

bool AttemptLimiter::Failed(const std::string& address, Clock::time_point now) {
    novex::MutexLock lock(mutex_);
    auto it = entries_.find(address);
    if (it == entries_.end()) {
        Prune(now);
        it = entries_.emplace(address, Entry{}).first;
    }
    Entry& e = it->second;
    ++e.failures;
    e.last_seen = now;
    e.next_slot = std::max(e.next_slot, now + Delay(e.failures));
    return e.failures == settings_.free_failures + 1;
}

void AttemptLimiter::Succeeded(const std::string& address) {
    novex::MutexLock lock(mutex_);
    entries_.erase(address);
}

int AttemptLimiter::Failures(const std::string& address) const {
    novex::MutexLock lock(mutex_);
    const auto it = entries_.find(address);
    return it == entries_.end() ? 0 : it->second.failures;
}

}  // namespace access
}  // namespace novex
