// How long the history keeps rounds and events, and how large it may grow: the
// configuration's "history" object, which the flags --keep, --max-size and --keep-events
// override.
#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>

namespace vimo {

struct RetentionSettings {
    int64_t keep_seconds = 30 * 86400;  // rounds older than this go; 0: kept for ever
    int64_t max_bytes = 0;              // the oldest rounds go while the file uses more; 0: none
    int64_t keep_events_seconds = 0;    // events older than this go; 0: kept for ever
    // Minute aggregates older than this go; 0: kept for ever. Two years of a device's
    // minutes are some 1.05 million rows (the sizes are in docs/vimohost.md).
    int64_t keep_aggregates_seconds = 2 * 365 * 86400;
};

// Which settings came as flags: those stay whatever the configuration says.
struct RetentionGiven {
    bool keep = false;
    bool max_size = false;
    bool keep_events = false;
    bool keep_aggregates = false;
};

// The configuration's "history" object: "keep", "max_size", "keep_events",
// "keep_aggregates" (texts as the flags take them, "0" for none); settings `given` as
// flags stay. False with a one-line error.
bool ParseRetention(const Json::Value& history, RetentionSettings& out,
                    const RetentionGiven& given, std::string& error);

}  // namespace vimo
