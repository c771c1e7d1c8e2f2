#include "core/time_text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace novex {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, in 64-bit arithmetic: the C
// library's conversions go through time_t, which is 32 bits on the controller and
// ends in 2038.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

int64_t UtcOfCivil(int year, int month, int day, int hour, int minute, int second) {
    return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

namespace {

// The UTC fields of `utc` without time_t.
void CivilFields(int64_t utc, std::tm& fields) {
    int64_t days = utc / 86400, rest = utc % 86400;
    if (rest < 0) rest += 86400, --days;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    fields = std::tm{};
    fields.tm_year = static_cast<int>(yoe + era * 400 + (month <= 2) - 1900);
    fields.tm_mon = static_cast<int>(month - 1);
    fields.tm_mday = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    fields.tm_hour = static_cast<int>(rest / 3600);
    fields.tm_min = static_cast<int>(rest / 60 % 60);
    fields.tm_sec = static_cast<int>(rest % 60);
}

// A time beyond what time_t holds is shown in UTC (an offset of 0).
bool BrokenDown(int64_t utc, bool local, std::tm& fields) {
    const std::time_t t = static_cast<std::time_t>(utc);
    if (static_cast<int64_t>(t) != utc) {
        CivilFields(utc, fields);
        return true;
    }
    return (local ? localtime_r(&t, &fields) : gmtime_r(&t, &fields)) != nullptr;
}

std::string Format(int64_t utc, bool local, const char* format) {
    std::tm fields{};
    if (!BrokenDown(utc, local, fields)) return "";
    char text[64];
    return std::string(text, std::strftime(text, sizeof text, format, &fields));
}

}  // namespace

std::string LocalText(int64_t utc) { return Format(utc, true, "%Y-%m-%d %H:%M:%S"); }

bool LocalOffset(int64_t utc, int64_t& seconds) {
    std::tm local{};
    if (!BrokenDown(utc, true, local)) return false;
    seconds = local.tm_gmtoff;
    return true;
}
std::string UtcText(int64_t utc) { return Format(utc, false, "%Y-%m-%d %H:%M:%S"); }
std::string UtcIsoText(int64_t utc) { return Format(utc, false, "%Y-%m-%dT%H:%M:%SZ"); }

std::string LocalIsoText(int64_t utc) {
    std::tm local{};
    if (!BrokenDown(utc, true, local)) return "";
    // tm_gmtoff is under a day in every zone; the clamp only bounds the text.
    const int offset_min = static_cast<int>(local.tm_gmtoff / 60) % (24 * 60);
    const int magnitude = offset_min < 0 ? -offset_min : offset_min;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, offset_min < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    return text;
}

namespace {

// Exactly `count` digits of `text` from `at`, which moves past them; false otherwise.
bool Digits(const std::string& text, size_t& at, size_t count, int& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        value = value * 10 + (text[i] - '0');
    }
    at += count;
    return true;
}

bool Expect(const std::string& text, size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

// "Z", "+HH:MM" or "+HHMM" (or with "-") at `at`.
bool Zone(const std::string& text, size_t& at, CivilTime& t) {
    if (text[at] == 'Z') {
        ++at;
    } else if (text[at] == '+' || text[at] == '-') {
        const int sign = text[at++] == '-' ? -1 : 1;
        int oh = 0, om = 0;
        if (!Digits(text, at, 2, oh)) return false;
        if (at < text.size() && text[at] == ':') ++at;
        if (!Digits(text, at, 2, om) || oh > 23 || om > 59) return false;
        t.offset_seconds = sign * (oh * 3600 + om * 60);
    } else {
        return false;
    }
    t.has_zone = true;
    return true;
}

}  // namespace

bool ParseCivilTime(const std::string& text, CivilTime& out) {
    CivilTime t;
    size_t at = 0;
    if (text.size() > 40 || !Digits(text, at, 4, t.year) || !Expect(text, at, '-') ||
        !Digits(text, at, 2, t.month) || !Expect(text, at, '-') || !Digits(text, at, 2, t.day))
        return false;
    if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
        ++at;
        if (!Digits(text, at, 2, t.hour) || !Expect(text, at, ':') || !Digits(text, at, 2, t.minute))
            return false;
        t.has_time = true;
        if (at < text.size() && text[at] == ':') {
            ++at;
            if (!Digits(text, at, 2, t.second)) return false;
            t.has_seconds = true;
            if (at < text.size() && text[at] == '.') {
                const size_t digits = ++at;
                while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
                if (at == digits) return false;
            }
        }
    }
    if (at < text.size() && !Zone(text, at, t)) return false;
    if (at != text.size() || t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 ||
        t.hour > 23 || t.minute > 59 || t.second > 60)
        return false;
    out = t;
    return true;
}

int64_t UtcOf(const CivilTime& t) {
    return UtcOfCivil(t.year, t.month, t.day, t.hour, t.minute, t.second) - t.offset_seconds;
}

bool ParseLocalText(const std::string& text, CivilTime& out) {
    CivilTime t;
    if (!ParseCivilTime(text, t) || !t.has_seconds || t.has_zone || t.second > 59) return false;
    out = t;
    return true;
}

const char kTimeRangeText[] = "from 1970-01-01T00:00:00Z to 9999-12-31T23:59:59Z";

bool TimeInRange(int64_t utc) { return utc >= kEarliestTime && utc <= kLatestTime; }

bool ParseTime(const std::string& text, int64_t& utc) {
    if (text.empty() || text.size() > 40) return false;
    // Epoch seconds: at most 12 digits, which kLatestTime has, so the number cannot
    // saturate before its range is checked.
    if (std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        if (text.size() > 12) return false;
        utc = std::strtoll(text.c_str(), nullptr, 10);
        return TimeInRange(utc);
    }
    CivilTime t;
    if (!ParseCivilTime(text, t) || !t.has_seconds || !t.has_zone) return false;
    const int64_t parsed = UtcOf(t);
    if (!TimeInRange(parsed)) return false;
    utc = parsed;
    return true;
}

}  // namespace novex
