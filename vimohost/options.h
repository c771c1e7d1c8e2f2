// Command lines of vimohost: the poll mode (the program itself) and its subcommands
// (`vimohost history`). Each command fills its own options struct; main() runs the
// command the line chose. A new subcommand is one Add...Command function here and one
// row in main.cpp's table; a new option is one line in its command's function.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "common/console.h"
#include "config/program_settings.h"
#include "history/writer.h"

namespace CLI {
class App;
}

namespace vimo {

// What the poll mode was asked to do. Device flags (--serial, --tcp, --slave, ...) are
// collected into `device_flags`, a device object in the configuration's own keys.
struct PollOptions {
    std::string plugin;        // empty: novexups.so beside the program
    std::string config_file;   // empty: one device from the flags
    Json::Value device_flags{Json::objectValue};
    std::string history_file;  // empty: the default (ServiceDefaults)
    bool history = true;
    std::string status_out;
    Level log_level = Level::kNotice;
    int64_t rounds = 0;        // 0: poll until stopped
    int64_t max_failures = 0;  // 0: never give up
    bool simulate = false;
    std::string scenario;      // for --simulate
    RetentionSettings retention;
    // Which retention settings came as flags; the others come from the configuration.
    RetentionGiven retention_given;
    bool verbose = false;      // a line per history write
    std::string on_event;                    // --on-event: the hook program; empty: none
    std::vector<std::string> on_event_args;  // --on-event-arg, in order
    // The other program-wide settings given as flags (config/program_settings.h): each
    // replaces its configuration key. Empty, 0 or false: not given.
    ProgramConfig program;
};

struct HistoryOptions {
    std::string plugin;
    std::string history_file;  // empty: HistoryFileDefault decides
    bool has_data_id = false;
    uint32_t data_id = 0;
    int64_t last = 20;     // 0: all rows
    bool json = false;
    std::string render;    // row id or "latest"; empty: list only

    // `history readings` and `history events`: which one ("" for the list).
    std::string query;
    std::string device;    // name or data id; empty: the only one
    int64_t since = 0;     // UTC epoch seconds
    bool since_given = false;
    int64_t until = 0;
    bool until_given = false;
    std::vector<size_t> fields;  // indexes into the measure table; empty: all
    int64_t step = 0;            // seconds; 0: every round
    bool csv = false;
    bool active = false;
    bool utc = false;
};

// The poll options on the program itself, checked together once the line is parsed.
void AddPollCommand(CLI::App& app, PollOptions& out);
// `history` as a subcommand of `app`, with its own `readings` and `events`; returns it.
CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& out);

// `vimohost check-config [FILE]`.
struct CheckConfigOptions {
    std::string config_file;  // empty: kServiceConfig
};
CLI::App* AddCheckConfigCommand(CLI::App& app, CheckConfigOptions& out);

// `vimohost notify test [CHANNEL]` and `vimohost notify status`.
struct NotifyOptions {
    std::string action;  // "test" or "status"
    std::string channel;
    std::string config_file;
    std::vector<std::string> urls;
    std::string history_file;
};
CLI::App* AddNotifyCommand(CLI::App& app, NotifyOptions& out);

// Where a service finds its files. Without --config, device flags or --simulate,
// vimohost reads kServiceConfig when it is there. Without --history, the history is
// history.db in the first folder of STATE_DIRECTORY (systemd's StateDirectory=), else in
// kServiceStateDir when INVOCATION_ID says a service manager started the program, else
// vimohost.db in the working directory. Options given always win.
constexpr const char* kServiceConfig = "/etc/vimohost/vimohost.json";
constexpr const char* kServiceStateDir = "/var/lib/vimohost";
// `env` reads the environment, `exists` says whether a path is there (or cannot be
// looked at, so that reading it names the problem).
void ServiceDefaults(PollOptions& options, const char* (*env)(const char*),
                     bool (*exists)(const char*));

// The file the history commands read without --history: vimohost.db in the working
// directory when there is one, else the service's (history.db in the first folder of
// STATE_DIRECTORY, else in kServiceStateDir). True when it chose the file, so that the
// command says which one it reads.
bool HistoryFileDefault(HistoryOptions& options, const char* (*env)(const char*),
                        bool (*exists)(const char*));

// The checks that look at several poll options at once; false with one line in `error`.
bool CheckPollOptions(const PollOptions& options, std::string& error);

}  // namespace vimo
