// Command lines of vimohost: the poll mode (the default) and `vimohost history`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

namespace vimo {

// What the poll mode was asked to do. Device flags (--serial, --tcp, --slave, ...) are
// collected into `device_flags`, a device object in the configuration's own keys.
struct PollOptions {
    std::string plugin;        // empty: novexups.so beside the program
    std::string config_file;   // empty: one device from the flags
    Json::Value device_flags{Json::objectValue};
    std::string history_file = "vimohost.db";
    bool history = true;
    std::string status_out;
    int64_t rounds = 0;        // 0: poll until stopped
    int64_t max_failures = 0;  // 0: never give up
    bool simulate = false;
    std::string scenario;      // for --simulate
    bool help = false;
};

struct HistoryOptions {
    std::string plugin;
    std::string history_file = "vimohost.db";
    bool has_data_id = false;
    uint32_t data_id = 0;
    int64_t last = 20;     // 0: all rows
    bool json = false;
    std::string render;    // row id or "latest"; empty: list only
    bool help = false;
};

// Both fill `error` with one line naming the problem and return false on bad input.
bool ParsePollOptions(const std::vector<std::string>& args, PollOptions& out,
                      std::string& error);
bool ParseHistoryOptions(const std::vector<std::string>& args, HistoryOptions& out,
                         std::string& error);

const char* PollUsage();
const char* HistoryUsage();

// Whole decimal numbers only: no sign where `min` is not negative, no spaces, no
// trailing text, within [min, max].
bool ParseInteger(const std::string& text, int64_t min, int64_t max, int64_t& out);

}  // namespace vimo
