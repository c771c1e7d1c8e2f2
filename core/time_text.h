// Every time text the programs write, made here: the console's and the history's
// "YYYY-MM-DD HH:MM:SS" (local or UTC), and ISO 8601 with the local offset or "Z" for
// the API, hooks and JSON output. "" when the time cannot be broken down. And the one
// grammar every time text read is parsed by.
#pragma once

#include <cstdint>
#include <string>

namespace novex {

// Seconds since 1970 of a UTC date and time, in 64-bit arithmetic: the C library's
// timegm goes through time_t, which is 32 bits on the controller and ends in 2038.
int64_t UtcOfCivil(int year, int month, int day, int hour, int minute, int second);

// "2024-05-01 10:00:00" in the process's local time zone, or in UTC.
std::string LocalText(int64_t utc);
// The local zone's offset east of UTC at `utc`, in seconds: what LocalText's fields,
// read as UTC, are ahead of `utc` (0 beyond what time_t holds). False when the C
// library cannot say.
bool LocalOffset(int64_t utc, int64_t& seconds);
std::string UtcText(int64_t utc);
// "2024-05-01T10:00:00+08:00": local time with its offset, which keeps it unambiguous
// across the change to and from summer time; "2024-05-01T02:00:00Z" in UTC.
std::string LocalIsoText(int64_t utc);
std::string UtcIsoText(int64_t utc);

// A date and time as written. Which parts a reader requires is the reader's: the API
// wants seconds and a zone, a stored round's time is local and to the second.
struct CivilTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    bool has_time = false;     // HH:MM was given
    bool has_seconds = false;  // :SS was given
    bool has_zone = false;     // Z or an offset was given
    int offset_seconds = 0;    // east of UTC
};

// "YYYY-MM-DD[(T| )HH:MM[:SS[.fraction]]][Z|+HH:MM|-HH:MM|+HHMM|-HHMM]", the whole
// text. False for any other shape and for a field out of range (second 60, a leap
// second, is taken; the day is checked against 31 only).
bool ParseCivilTime(const std::string& text, CivilTime& out);
// The UTC a civil time with its zone stands for (its offset 0 without one).
int64_t UtcOf(const CivilTime& t);
// The grammar's "YYYY-MM-DD HH:MM:SS" as LocalText writes it: to the second, without
// a zone, second 0..59.
bool ParseLocalText(const std::string& text, CivilTime& out);

// The API's times: LocalIsoText.
inline std::string IsoTime(int64_t utc) { return LocalIsoText(utc); }

// The times a query may name, whichever face it comes through (the API's `since` and
// `until`, the command line's --since and --until): 1970-01-01T00:00:00Z to
// 9999-12-31T23:59:59Z. Any difference or sum of two of them, and any of them plus a
// step as long as their whole range, fits in 64 bits with room to spare.
constexpr int64_t kEarliestTime = 0;
constexpr int64_t kLatestTime = 253402300799;
extern const char kTimeRangeText[];  // the range in words, for error lines
bool TimeInRange(int64_t utc);

// Reads "YYYY-MM-DDTHH:MM:SS" with optional fraction and a "Z" or "+HH:MM"/"+HHMM"
// offset (required), or plain epoch seconds. False for anything else, and for a time
// outside [kEarliestTime, kLatestTime].
bool ParseTime(const std::string& text, int64_t& utc);

}  // namespace novex
