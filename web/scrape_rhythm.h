// When the next /metrics scrape is due. A device's series are rendered ahead, on its
// line thread, so that a scrape finds them ready; rendering them every round between
// scrapes 15 s apart would be fifteen renderings for one that is read. So, once
// scrapes are 10 s or more apart, rounds render only from shortly before the scrape
// is due until a period after it; before the second scrape tells the period, and for
// scrapes closer together, every round renders. A scrape that finds a
// device's rendering older than its snapshot renders that device itself.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace novex {
namespace web {

class ScrapeRhythm {
public:
    using Clock = std::chrono::steady_clock;
    // How long before a scrape is due rounds start rendering for it: two rounds of a
    // device polled once a second, and some lateness of the scraper.
    static constexpr std::chrono::milliseconds kAhead{2500};
    // Scrapes closer together than this are one scraper's burst, or two scrapers, not
    // the period.
    static constexpr std::chrono::milliseconds kShortestPeriod{1000};
    // Below this period every round renders: what is rendered is mostly read, and
    // renderings that come and go would cost more memory than they save work.
    static constexpr std::chrono::milliseconds kSparsePeriod{10000};

    // Any thread.
    void Scraped(Clock::time_point now) {
        const int64_t t = Ticks(now);
        const int64_t last = last_.exchange(t);
        if (last != 0 && t - last >= Ticks(kShortestPeriod)) period_ = t - last;
    }
    // Whether a round published at `now` renders for the next scrape. Any thread.
    bool RenderNow(Clock::time_point now) const {
        const int64_t period = period_.load();
        if (period < Ticks(kSparsePeriod)) return true;  // also: not known yet (0)
        const int64_t due = last_.load() + period;
        const int64_t t = Ticks(now);
        return t >= due - Ticks(kAhead) && t <= due + period;
    }

private:
    template <typename D>
    static int64_t Ticks(D d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    }
    static int64_t Ticks(Clock::time_point t) { return Ticks(t.time_since_epoch()); }

    std::atomic<int64_t> last_{0};    // ms on the steady clock of the last scrape; 0: none
    std::atomic<int64_t> period_{0};  // ms between the last two scrapes; 0: not known
};

}  // namespace web
}  // namespace novex
