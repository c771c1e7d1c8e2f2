#include "history/times.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <limits>

#include "common/time_text.h"
#include "monitor/alarm_event.h"

namespace vimo {

const char kDurationForms[] = "a duration such as 90s, 15m, 12h, 30d, 2w or 2y";
const std::string kPointForms =
    std::string("a duration back from now (90s, 15m, 12h, 30d, 2w) or a local time "
                "YYYY-MM-DD[THH:MM[:SS]], optionally with Z or an offset such as +01:00, ") +
    novex::web::kTimeRangeText;
const char kSizeForms[] = "a size such as 500MB, 2GB or a number of bytes";

namespace {

// Units of a duration. Columns: suffix, seconds.
struct UnitRow {
    char suffix;
    int64_t seconds;
};
// A year is 365 days: retention counts days, not calendar years.
const UnitRow kDurationUnits[] = {{'y', 31536000}, {'w', 604800}, {'d', 86400}, {'h', 3600}, {'m', 60}, {'s', 1}};
static_assert(sizeof kDurationUnits / sizeof kDurationUnits[0] == 6, "y w d h m s");

// Digits from `i`, at most 18 of them; false when there are none.
bool Number(const std::string& text, size_t& i, int64_t& out) {
    const size_t start = i;
    out = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && i - start < 18)
        out = out * 10 + (text[i++] - '0');
    return i > start;
}

// Exactly `width` digits at `i`.
bool Fixed(const std::string& text, size_t& i, size_t width, int& out) {
    if (i + width > text.size()) return false;
    out = 0;
    for (size_t k = 0; k < width; ++k) {
        const char c = text[i + k];
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        out = out * 10 + (c - '0');
    }
    i += width;
    return true;
}

bool Expect(const std::string& text, size_t& i, char c) {
    if (i >= text.size() || text[i] != c) return false;
    ++i;
    return true;
}

}  // namespace

bool ParseDuration(const std::string& text, int64_t& seconds) {
    size_t i = 0;
    int64_t n = 0;
    if (!Number(text, i, n) || n == 0 || i + 1 != text.size()) return false;
    for (const UnitRow& u : kDurationUnits)
        if (text[i] == u.suffix) {
            if (n > std::numeric_limits<int64_t>::max() / 4 / u.seconds) return false;
            seconds = n * u.seconds;
            return true;
        }
    return false;
}

std::string DurationText(int64_t seconds) {
    for (const UnitRow& u : kDurationUnits)
        if (seconds > 0 && seconds % u.seconds == 0)
            return std::to_string(seconds / u.seconds) + u.suffix;
    return std::to_string(seconds) + "s";
}

bool ParsePointInTime(const std::string& text, int64_t now, int64_t& epoch) {
    int64_t back = 0;
    if (ParseDuration(text, back)) {
        // A duration is at most a quarter of the 64-bit range: `now` less it cannot overflow.
        epoch = now - back;
        return novex::web::TimeInRange(epoch);
    }
    std::tm t{};
    size_t i = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!Fixed(text, i, 4, year) || !Expect(text, i, '-') || !Fixed(text, i, 2, month) ||
        !Expect(text, i, '-') || !Fixed(text, i, 2, day))
        return false;
    if (i < text.size() && (text[i] == 'T' || text[i] == ' ')) {
        ++i;
        if (!Fixed(text, i, 2, hour) || !Expect(text, i, ':') || !Fixed(text, i, 2, minute))
            return false;
        if (i < text.size() && text[i] == ':' && !(++i, Fixed(text, i, 2, second))) return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return false;
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    if (i == text.size()) {  // local time
        t.tm_isdst = -1;
        const time_t local = std::mktime(&t);
        if (local == static_cast<time_t>(-1) || !novex::web::TimeInRange(local)) return false;
        epoch = local;
        return true;
    }
    int offset = 0;
    if (text[i] == 'Z') {
        ++i;
    } else if (text[i] == '+' || text[i] == '-') {
        const int sign = text[i++] == '-' ? -1 : 1;
        int oh = 0, om = 0;
        if (!Fixed(text, i, 2, oh) || !Expect(text, i, ':') || !Fixed(text, i, 2, om) || oh > 23 ||
            om > 59)
            return false;
        offset = sign * (oh * 3600 + om * 60);
    } else {
        return false;
    }
    if (i != text.size()) return false;
    const int64_t utc = novex::UtcOfCivil(year, month, day, hour, minute, second) - offset;
    if (!novex::web::TimeInRange(utc)) return false;
    epoch = utc;
    return true;
}

bool ParseSize(const std::string& text, int64_t& bytes) {
    size_t i = 0;
    int64_t n = 0;
    if (!Number(text, i, n) || n == 0) return false;
    std::string unit = text.substr(i);
    if (unit.size() == 3 && unit[1] == 'i' && unit[2] == 'B') unit = unit.substr(0, 1);
    if (unit.size() == 2 && unit[1] == 'B') unit = unit.substr(0, 1);
    const std::string units = "KMGT";
    int64_t scale = 1;
    if (unit == "B" || unit.empty()) {
    } else if (unit.size() == 1 && units.find(unit[0]) != std::string::npos) {
        for (size_t k = 0; k <= units.find(unit[0]); ++k) scale *= 1024;
    } else {
        return false;
    }
    if (n > std::numeric_limits<int64_t>::max() / scale) return false;
    bytes = n * scale;
    return true;
}

namespace {
// "YYYY-MM-DD HH:MM:SS" into `t`'s date and time fields, unchecked; false when the text
// has another shape.
bool ScanTimeText(const std::string& text, std::tm& t) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4u-%2u-%2u %2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &s, &tail) !=
        6)
        return false;
    t = std::tm{};
    t.tm_year = static_cast<int>(y) - 1900;
    t.tm_mon = static_cast<int>(mo) - 1;
    t.tm_mday = static_cast<int>(d);
    t.tm_hour = static_cast<int>(h);
    t.tm_min = static_cast<int>(mi);
    t.tm_sec = static_cast<int>(s);
    return true;
}
}  // namespace

bool LocalTextToUtc(const std::string& text, int64_t& epoch) {
    std::tm t{};
    if (!ScanTimeText(text, t) || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 ||
        t.tm_mday > 31 || t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 59)
        return false;
    t.tm_isdst = -1;
    const time_t local = std::mktime(&t);
    if (local == static_cast<time_t>(-1)) return false;
    epoch = local;
    return true;
}

namespace {
// The text's fields as if they were UTC; false when it is no time text.
bool NaiveSeconds(const std::string& text, int64_t& out) {
    std::tm t{};
    if (!ScanTimeText(text, t)) return false;
    out = static_cast<int64_t>(timegm(&t));
    return true;
}
}  // namespace

int64_t UtcOfRecentLocalText(const std::string& text, int64_t now) {
    int64_t stamped = 0, present = 0;
    if (!NaiveSeconds(text, stamped) || !NaiveSeconds(UtcToLocalText(now), present)) return now;
    return now + (stamped - present);
}

std::string UtcToLocalText(int64_t epoch) { return novex::LocalText(epoch); }
std::string UtcText(int64_t epoch) { return novex::UtcText(epoch); }

std::string IsoTime(int64_t epoch, bool utc) {
    return utc ? novex::UtcIsoText(epoch) : novex::LocalIsoText(epoch);
}

}  // namespace vimo
