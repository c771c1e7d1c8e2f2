#include "web/state_source.h"

namespace novex {
namespace web {

// Polling a line takes from tens of milliseconds (TCP) to over a second (a slow
// serial line), and a round that meets timeouts takes several seconds.
const double kRoundDurationBounds[kRoundDurationBoundCount] = {0.025, 0.05, 0.1, 0.25, 0.5,
                                                               1.0,   2.5,  5.0, 10.0, 30.0};

void RoundDurations::Add(double seconds) {
    size_t bucket = 0;
    while (bucket < kRoundDurationBoundCount && seconds > kRoundDurationBounds[bucket]) ++bucket;
    ++counts[bucket];
    sum_seconds += seconds;
}

uint64_t RoundDurations::Count() const {
    uint64_t total = 0;
    for (const uint64_t c : counts) total += c;
    return total;
}

}  // namespace web
}  // namespace novex
