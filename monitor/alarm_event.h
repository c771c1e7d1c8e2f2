// One raise or clear of an alarm of one device, as the hooks, the console and the
// history receive it. Plain values only, so an event can be copied to another thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace vimo {

struct AlarmEvent {
    enum class Kind { kRaised, kCleared };

    std::string device;    // the device's name in messages, e.g. "ups1"
    uint32_t data_id = 0;  // the device's data id; hooks run one at a time per data id
    Kind kind = Kind::kRaised;
    std::string alarm;     // stable ASCII id, e.g. "battery_voltage_low"
    std::string text;      // the alarm's Chinese text, UTF-8
    std::string severity;  // as the alarm table names it
    int64_t time = 0;      // when it was seen, seconds since the epoch (UTC)
    std::string description;  // the alarm's English description, as the alarm table has it
};

inline const char* KindName(AlarmEvent::Kind kind) {
    return kind == AlarmEvent::Kind::kRaised ? "raised" : "cleared";
}

// `epoch` as local time with its offset from UTC, e.g. "2026-12-08T11:02:03+01:00".
// Tools parse this form directly, and the offset keeps it unambiguous across the
// change to and from summer time.
inline std::string LocalIsoTime(int64_t epoch) {
    const time_t t = static_cast<time_t>(epoch);
    tm local{};
    if (localtime_r(&t, &local) == nullptr) return "";
    char text[40];
    const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    // tm_gmtoff is under a day in every zone; the clamp only bounds the text.
    const long offset_min = local.tm_gmtoff / 60;
    const int magnitude = static_cast<int>((offset_min < 0 ? -offset_min : offset_min) % 1440);
    char offset[32];
    snprintf(offset, sizeof offset, "%c%02d:%02d", offset_min < 0 ? '-' : '+', magnitude / 60,
             magnitude % 60);
    return std::string(text, n) + offset;
}

}  // namespace vimo
