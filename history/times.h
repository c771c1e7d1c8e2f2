// The times, durations and sizes a person gives the history: "--since 1h",
// "--since 2026-12-08T09:00", "--step 60s", "--keep 30d", "max_size": "2GB"; and the
// conversions between the local time text the rounds carry and UTC epoch seconds.
#pragma once

#include <cstdint>
#include <string>

namespace vimo {

// What the duration and point-in-time parsers accept, for error lines.
extern const char kDurationForms[];
extern const std::string kPointForms;
extern const char kSizeForms[];

// "90s", "15m", "12h", "30d", "2w": seconds, more than 0.
bool ParseDuration(const std::string& text, int64_t& seconds);
// A duration back ("30d", "90m", "45s"): the largest unit that divides it.
std::string DurationText(int64_t seconds);
// A point in time as UTC epoch seconds: a duration back from `now`, or
// "YYYY-MM-DD[(T| )HH:MM[:SS]][Z|+HH:MM|-HH:MM]", local time without an offset; false
// outside the range every query shares (novex::TimeInRange).
bool ParsePointInTime(const std::string& text, int64_t now, int64_t& epoch);
// "500MB", "2GB", "1048576": bytes; K, M, G and T count in powers of 1024.
bool ParseSize(const std::string& text, int64_t& bytes);

// "YYYY-MM-DD HH:MM:SS" in the local zone in force to epoch seconds; false for a text
// that is no such time. In the hour repeated at the end of summer time, the first.
bool LocalTextToUtc(const std::string& text, int64_t& epoch);
// The UTC of a local time text stamped moments ago, `now` being the present: exact
// also in the hour that summer time repeats, which the text alone cannot tell.
int64_t UtcOfRecentLocalText(const std::string& text, int64_t now);
// Epoch seconds to "YYYY-MM-DD HH:MM:SS" in the local zone, and in UTC.
std::string UtcToLocalText(int64_t epoch);
std::string UtcText(int64_t epoch);
// Epoch seconds to "2026-12-08T11:02:03+01:00" (local) or "2026-12-08T10:02:03Z".
std::string IsoTime(int64_t epoch, bool utc);

}  // namespace vimo
