#include "history/times.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <limits>

#include "core/time_text.h"
#include "board/alarm_event.h"

namespace vimo {

const char kDurationForms[] = "a duration such as 90s, 15m, 12h, 30d, 2w or 2y";
const std::string kPointForms =
    std::string("a duration back from now (90s, 15m, 12h, 30d, 2w) or a local time "
                "YYYY-MM-DD[THH:MM[:SS]], optionally with Z or an offset such as +01:00, ") +
    novex::kTimeRangeText;
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

// The fields of a civil time without a zone, for mktime in the local zone in force.
std::tm LocalFields(const novex::CivilTime& c) {
    std::tm t{};
    t.tm_year = c.year - 1900;
    t.tm_mon = c.month - 1;
    t.tm_mday = c.day;
    t.tm_hour = c.hour;
    t.tm_min = c.minute;
    t.tm_sec = c.second;
    t.tm_isdst = -1;
    return t;
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
        return novex::TimeInRange(epoch);
    }
    novex::CivilTime c;
    if (!novex::ParseCivilTime(text, c)) return false;
    if (c.has_zone) {
        const int64_t utc = novex::UtcOf(c);
        if (!novex::TimeInRange(utc)) return false;
        epoch = utc;
        return true;
    }
    std::tm t = LocalFields(c);
    const time_t local = std::mktime(&t);
    if (local == static_cast<time_t>(-1) || !novex::TimeInRange(local)) return false;
    epoch = local;
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

bool LocalTextToUtc(const std::string& text, int64_t& epoch) {
    novex::CivilTime c;
    if (!novex::ParseLocalText(text, c)) return false;
    std::tm t = LocalFields(c);
    const time_t local = std::mktime(&t);
    if (local == static_cast<time_t>(-1)) return false;
    epoch = local;
    return true;
}

int64_t UtcOfRecentLocalText(const std::string& text, int64_t now) {
    // The text's fields read as if they were UTC are ahead of the time they stand for by
    // the zone's offset now (a round is stamped seconds before it is stored).
    novex::CivilTime stamped;
    int64_t offset = 0;
    if (!novex::ParseLocalText(text, stamped) || !novex::LocalOffset(now, offset)) return now;
    return novex::UtcOf(stamped) - offset;
}

std::string UtcToLocalText(int64_t epoch) { return novex::LocalText(epoch); }
std::string UtcText(int64_t epoch) { return novex::UtcText(epoch); }

std::string IsoTime(int64_t epoch, bool utc) {
    return utc ? novex::UtcIsoText(epoch) : novex::LocalIsoText(epoch);
}

}  // namespace vimo
