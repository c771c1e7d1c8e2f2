#include "access/attempt_limiter.h"

#include <algorithm>

#include "access/address_prefix.h"

namespace novex {
namespace access {

namespace {
using std::chrono::milliseconds;
}

void AttemptLimiter::Budgets(const std::string& address, Budget (&out)[kBudgets]) const {
    out[0] = {"a " + address, settings_.free_failures, settings_.max_delay_ms};
    out[1] = {"p " + AddressPrefix(address), settings_.prefix_free_failures, settings_.max_delay_ms};
    out[2] = {"*", settings_.overall_free_failures,
              std::min(settings_.overall_max_delay_ms, settings_.max_delay_ms)};
}

AttemptLimiter::Clock::duration AttemptLimiter::Delay(const Budget& budget, int failures) const {
    const int over = failures - budget.free;
    if (over <= 0) return Clock::duration::zero();
    // Doubling stops at the cap long before the shift could overflow.
    long long ms = settings_.first_delay_ms;
    for (int i = 1; i < over && ms < budget.max_delay_ms; ++i) ms *= 2;
    return milliseconds(std::min<long long>(ms, budget.max_delay_ms));
}

AttemptLimiter::Entry* AttemptLimiter::Find(const std::string& key, Clock::time_point now) {
    auto it = entries_.find(key);
    if (it == entries_.end()) return nullptr;
    // Forgotten once quiet, unless an attempt of it is being checked.
    if (it->second.pending == 0 && now - it->second.last_seen > milliseconds(settings_.forget_after_ms)) {
        entries_.erase(it);
        return nullptr;
    }
    return &it->second;
}

void AttemptLimiter::Prune(Clock::time_point now) {
    const auto forget = milliseconds(settings_.forget_after_ms);
    for (auto it = entries_.begin(); it != entries_.end();)
        it = it->second.pending == 0 && now - it->second.last_seen > forget ? entries_.erase(it)
                                                                           : std::next(it);
    // Still full: the budget seen longest ago makes room. A flood of addresses can
    // thus only shorten memory of a burst, never grow memory.
    while (entries_.size() >= settings_.max_addresses) {
        auto oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (it->second.pending == 0 && (oldest == entries_.end() || it->second.last_seen < oldest->second.last_seen))
                oldest = it;
        if (oldest == entries_.end()) break;  // every one has an attempt being checked
        entries_.erase(oldest);
    }
}

AttemptLimiter::Clock::duration AttemptLimiter::Admit(const std::string& address,
                                                      Clock::time_point now) {
    Budget budgets[kBudgets];
    Budgets(address, budgets);
    novex::MutexLock lock(mutex_);
    Clock::duration wait = Clock::duration::zero();
    for (const Budget& b : budgets)
        if (const Entry* e = Find(b.key, now)) wait = std::max(wait, e->next_slot - now);
    if (wait > Clock::duration::zero()) return wait;
    // Every budget takes the slot, as if the attempt had already failed: the attempts
    // checked meanwhile count against it.
    for (const Budget& b : budgets) {
        Entry* e = Find(b.key, now);
        if (e == nullptr) {
            Prune(now);
            e = &entries_[b.key];
        }
        ++e->pending;
        e->last_seen = now;
        e->next_slot = std::max(e->next_slot, now + Delay(b, e->failures + e->pending));
    }
    return Clock::duration::zero();
}

bool AttemptLimiter::Failed(const std::string& address, Clock::time_point now) {
    Budget budgets[kBudgets];
    Budgets(address, budgets);
    novex::MutexLock lock(mutex_);
    bool starts = false;
    for (const Budget& b : budgets) {
        Entry* e = Find(b.key, now);
        if (e == nullptr) {
            Prune(now);
            e = &entries_[b.key];
        }
        if (e->pending > 0) --e->pending;
        ++e->failures;
        e->last_seen = now;
        e->next_slot = std::max(e->next_slot, now + Delay(b, e->failures + e->pending));
        if (&b == &budgets[0]) starts = e->failures == b.free + 1;
    }
    return starts;
}

void AttemptLimiter::Succeeded(const std::string& address) {
    Budget budgets[kBudgets];
    Budgets(address, budgets);
    novex::MutexLock lock(mutex_);
    entries_.erase(budgets[0].key);
    for (size_t i = 1; i < kBudgets; ++i) {
        const auto it = entries_.find(budgets[i].key);
        if (it != entries_.end() && it->second.pending > 0) --it->second.pending;
    }
}

int AttemptLimiter::Failures(const std::string& address) const {
    novex::MutexLock lock(mutex_);
    const auto it = entries_.find("a " + address);
    return it == entries_.end() ? 0 : it->second.failures;
}

}  // namespace access
}  // namespace novex
