// One raise or clear of an alarm of one device, as the hooks, the console and the
// history receive it. Plain values only, so an event can be copied to another thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "core/time_text.h"

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
inline std::string LocalIsoTime(int64_t epoch) { return novex::LocalIsoText(epoch); }

}  // namespace vimo
