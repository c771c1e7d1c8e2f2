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
};

// The configuration's "history" object: "keep", "max_size", "keep_events" (texts as
// the flags take them, "0" for none); settings whose `given` flag is set stay. False
// with a one-line error.
bool ParseRetention(const Json::Value& history, RetentionSettings& out, bool keep_given,
                    bool max_size_given, bool keep_events_given, std::string& error);

}  // namespace vimo
