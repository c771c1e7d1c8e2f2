// Times as the API writes and reads them: ISO 8601 with the local offset.
#pragma once

#include <cstdint>
#include <string>

namespace novex {
namespace web {

// The times a query may name, whichever face it comes through (the API's `since` and
// `until`, the command line's --since and --until): 1970-01-01T00:00:00Z to
// 9999-12-31T23:59:59Z. Any difference or sum of two of them, and any of them plus a
// step as long as their whole range, fits in 64 bits with room to spare.
constexpr int64_t kEarliestTime = 0;
constexpr int64_t kLatestTime = 253402300799;
extern const char kTimeRangeText[];  // the range in words, for error lines
bool TimeInRange(int64_t utc);

// "2024-05-01T10:00:00+08:00" for `utc` in the process's local time zone.
std::string IsoTime(int64_t utc);

// Reads "YYYY-MM-DDTHH:MM:SS" with optional fraction and a "Z" or "+HH:MM"/"+HHMM"
// offset (required), or plain epoch seconds. False for anything else, and for a time
// outside [kEarliestTime, kLatestTime].
bool ParseTime(const std::string& text, int64_t& utc);

}  // namespace web
}  // namespace novex
