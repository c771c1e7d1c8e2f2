#include "vimohost/options.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "core/command_line.h"
#include "config/device_config.h"
#include "history/times.h"
#include "host/line_settings.h"
#include "history/readings_codec.h"
#include "hooks/event_hooks.h"
#include "mqtt/settings.h"

namespace vimo {

using novex::AddText;
using novex::AddValue;
using novex::AddWhole;

namespace {

constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max();
constexpr int64_t kMaxDataId = std::numeric_limits<uint32_t>::max();
const char kProgramGroup[] = "Program";

const char kPollUsage[] =
    "vimohost [options]             poll UPSs through the plug-in\n"
    "       vimohost history [options]     list or render stored rounds (vimohost history "
    "--help)\n"
    "       vimohost history readings|events|rules [options]   figures and alarms over time\n"
    "       vimohost check-config [FILE]   check a configuration file, exit 0 or 2";

const char kPollNotes[] =
    "Standard output carries the plug-in's own lines; alarms, errors and (with --log-level\n"
    "info) the per-round summary go to standard error. The device renews its status\n"
    "document (and so the summary and --status-out) at most once per clock second: with\n"
    "an interval under 1000 ms a round may repeat the figures of the round before.\n"
    "\n"
    "SIGINT or SIGTERM stops polling after the exchange in progress; a second one stops at\n"
    "once. SIGHUP reads --config again: lines whose devices changed restart, the others\n"
    "poll on; a file with an error is refused with one line. Exit: 0 done or stopped by a\n"
    "signal, 1 failure to start (plug-in, history, simulator), 2 bad options or\n"
    "configuration, 3 gave up (--max-failures), 130 stopped at once by a second signal.";

// "  \"slave\"        number   slave address, 1..247 (default 1)": the configuration
// keys, from the tables that the checks read.
std::string ConfigurationKeys() {
    std::string text = "Configuration keys of a device object (--config):\n";
    const auto row = [&text](const std::string& key, const char* kind, const std::string& help) {
        text += "  " + ("\"" + key + "\"").append(15 - std::min<size_t>(14, key.size() + 2), ' ') +
                std::string(kind).append(9 - std::strlen(kind), ' ') + help + "\n";
    };
    for (const DeviceKey& k : kDeviceKeys) {
        row(k.key, k.kind, k.help);
        if (std::strcmp(k.key, "port") == 0) {
            for (const LineSetting& s : kLineSettings)
                row(s.key, "number",
                    std::string(s.help) + ", " + std::to_string(s.min) + ".." +
                        std::to_string(s.max) + " (default " + std::to_string(s.fallback) + ")");
        }
    }
    text += "Keys inside \"appSetting\":\n";
    for (const DeviceKey& k : kAppSettingKeys) row(k.key, k.kind, k.help);
    text += "The file may also be {\"devices\": <a device object or an array of them>, ...}\n"
            "with settings of vimohost as a whole:\n";
    for (const ProgramSetting& s : kProgramSettings) row(s.key, s.kind, KeyHelp(s));
    text += "Keys inside \"mqtt\":\n";
    for (const mqtt::MqttKey& k : mqtt::kMqttKeys) row(k.key, k.kind, mqtt::MqttKeyHelp(k));
    return text;
}

// --serial and --tcp name the device's port and its transport.
CLI::Option* AddPort(CLI::App& app, const char* flag, const char* transport, const char* help,
                     Json::Value& flags) {
    CLI::Option* option = AddValue(app, flag, transport[0] == 't' ? "HOST:PORT" : "DEV", help,
                                   [&flags, transport](const std::string& v) {
                                       if (v.empty()) return std::string("a non-empty text");
                                       flags["transport"] = transport;
                                       flags["port"] = v;
                                       return std::string();
                                   });
    return option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

// A whole-number device flag: stored at `key` (and `subkey` below it) only when given.
CLI::Option* AddDeviceNumber(CLI::App& app, const char* flag, const std::string& help,
                             Json::Value& flags, const char* key, const char* subkey,
                             int64_t min, int64_t max, const std::string& expected = "") {
    const std::string wanted =
        expected.empty() ? "a whole number from " + std::to_string(min) + " to " +
                               std::to_string(max)
                         : expected;
    return AddValue(app, flag, "N", help, [=, &flags](const std::string& v) {
        int64_t n = 0;
        if (!novex::ParseWhole(v, min, max, n)) return wanted;
        Json::Value& target = subkey ? flags[key][subkey] : flags[key];
        // Whole numbers above INT_MAX (data ids) are stored unsigned.
        target = n > std::numeric_limits<int>::max() ? Json::Value(static_cast<Json::UInt>(n))
                                                     : Json::Value(static_cast<int>(n));
        return std::string();
    });
}

// --keep, --keep-events (a duration) and --max-size (a size); "0" switches them off.
CLI::Option* AddRetention(CLI::App& app, const char* flag, const std::string& help,
                          int64_t& target, bool& given, bool size) {
    return AddValue(app, flag, size ? "SIZE" : "DURATION", help,
                    [&target, &given, size](const std::string& v) {
                        int64_t n = 0;
                        if (v != "0" && !(size ? ParseSize(v, n) : ParseDuration(v, n)))
                            return std::string(size ? kSizeForms : kDurationForms) + ", or 0";
                        target = n;
                        given = true;
                        return std::string();
                    });
}

// --since and --until: a point in time, relative to now.
CLI::Option* AddPoint(CLI::App& app, const char* flag, const std::string& help, int64_t& target,
                      bool& given) {
    return AddValue(app, flag, "WHEN", help, [&target, &given](const std::string& v) {
        if (!ParsePointInTime(v, static_cast<int64_t>(std::time(nullptr)), target))
            return std::string(kPointForms);
        given = true;
        return std::string();
    });
}

// The history file and device options every history query takes.
void AddQueryBasics(CLI::App& query, HistoryOptions& out) {
    AddText(query, "--history", "FILE",
            std::string("SQLite history (default vimohost.db in the working directory if there, "
                        "else the service's, ") + kServiceStateDir + "/history.db)",
            out.history_file);
    AddText(query, "--device", "NAME|DATA_ID",
            "the device (default: the only one in the history)", out.device);
    AddPoint(query, "--since", "from this time on: 1h, 30d, 2026-12-08T09:00, ...", out.since,
             out.since_given);
    AddPoint(query, "--until", "up to this time (default now)", out.until, out.until_given);
    query.add_flag("--utc", out.utc, "times in UTC instead of local time with its offset")
        ->disable_flag_override();
}

// "One UPS from options": the line and the device, as a configuration's device object
// would give them.
void AddDeviceFlags(CLI::App& app, PollOptions& out) {
    Json::Value& flags = out.device_flags;
    const std::string one = "One UPS from options";
    CLI::Option* serial =
        AddPort(app, "--serial", "rtu", "serial line (Modbus RTU), e.g. /dev/ttyUSB0", flags);
    CLI::Option* tcp =
        AddPort(app, "--tcp", "tcp", "Modbus TCP, e.g. a serial-to-Ethernet gateway", flags);
    serial->excludes(tcp)->group(one);
    tcp->group(one);
    for (const LineSetting& s : kLineSettings) {
        const char* key = s.key;
        AddDeviceNumber(app, s.flag,
                        std::string(s.help) + ", " + std::to_string(s.min) + ".." +
                            std::to_string(s.max) + " (default " + std::to_string(s.fallback) +
                            (std::strcmp(key, "baud") == 0 ? ", the device's own" : "") + ")",
                        flags, key, nullptr, s.min, s.max)
            ->group(one);
    }
    AddValue(app, kParityFlag, "N|E|O", "serial parity (default N)",
             [&flags](const std::string& v) {
                 if (v.size() != 1 || std::strchr(kParityLetters, v[0]) == nullptr)
                     return std::string("N, E or O");
                 flags[kParityKey] = v;
                 return std::string();
             })
        ->group(one);
    AddValue(app, kRs485Flag, "off|on[,...]", kRs485Help, [&flags](const std::string& v) {
        Rs485Mode mode;
        std::string why;
        if (!ParseRs485(v, mode, why)) return why;
        flags[kRs485Key] = v;
        return std::string();
    })->group(one);
    AddDeviceNumber(app, "--data-id", "the device's data id (default 1)", flags, "data_id",
                    nullptr, 0, kMaxDataId)
        ->group(one);
    // The device reads "b_mode" as text with atof; the flag takes what a configuration
    // file would usually hold, a whole number.
    AddDeviceNumber(app, "--b-mode",
                    "the device's \"appSetting\" \"b_mode\" (default 1, which switches its "
                    "alarm rule reporting off, as 2 does; 0 switches it on)",
                    flags, "appSetting", "b_mode", std::numeric_limits<int>::min(),
                    std::numeric_limits<int>::max(), "a whole number")
        ->group(one);
}

// The program's own flags (group "Program"), but for the run's limits.
void AddProgramFlags(CLI::App& app, PollOptions& out) {
    const std::string program = kProgramGroup;
    app.add_flag("--simulate", out.simulate,
                 "start the UPS simulator (novexups-sim beside this program) and poll it")
        ->disable_flag_override()
        ->group(program);
    AddText(app, "--scenario", "NAME|FILE",
            "the simulator's scenario: normal (default), on-battery, module-fault, outage or a file",
            out.scenario)
        ->group(program);
    AddText(app, "--plugin", "PATH",
            "plug-in to load (default novexups.so beside this program, else the installed "
            "plug-in folder)",
            out.plugin)
        ->group(program);
    AddText(app, "--history", "FILE",
            "SQLite history (default: history.db in $STATE_DIRECTORY, or in " +
                std::string(kServiceStateDir) +
                " under a service manager ($INVOCATION_ID); otherwise vimohost.db in the "
                "working directory)",
            out.history_file)
        ->group(program);
    app.add_flag_callback("--no-history", [&out] { out.history = false; }, "keep no history")
        ->disable_flag_override()
        ->group(program);
    AddRetention(app, "--keep", "rounds older than this are removed from the history, 0: never "
                 "(default 30d)", out.retention.keep_seconds, out.retention_given.keep, false)
        ->group(program);
    AddRetention(app, "--max-size", "the oldest rounds are removed while the history file uses "
                 "more, 0: no limit (default)", out.retention.max_bytes, out.retention_given.max_size, true)
        ->group(program);
    AddRetention(app, "--keep-events", "alarm events older than this are removed, 0: never "
                 "(default)", out.retention.keep_events_seconds, out.retention_given.keep_events, false)
        ->group(program);
    AddRetention(app, "--keep-aggregates", "minute aggregates (min, mean, max of each measure) "
                 "older than this are removed, 0: never (default " +
                 DurationText(RetentionSettings().keep_aggregates_seconds) + ")",
                 out.retention.keep_aggregates_seconds, out.retention_given.keep_aggregates, false)
        ->group(program);
    app.add_flag("--verbose", out.verbose, "also print a line for each history write")
        ->disable_flag_override()
        ->group(program);
    AddText(app, "--status-out", "FILE",
            "write the latest status document there after each round (several devices: "
            "FILE.<data_id>)",
            out.status_out)
        ->group(program);
    AddValue(app, "--log-level", "LEVEL",
             LevelChoices() + ": the least urgent lines shown on standard error (default "
             "notice: start and stop, alarms raised and cleared, communication changes; info "
             "adds every round's summary). Under the journal each line carries its syslog "
             "priority",
             [&out](const std::string& v) {
                 return ParseLevel(v, out.log_level) ? std::string() : LevelChoices();
             })
        ->group(program);
}

// The program-wide settings, each as the flag that replaces its configuration key, and
// the MQTT section's keys that a flag replaces.
void AddSettingFlags(CLI::App& app, PollOptions& out) {
    for (const ProgramSetting& setting : kProgramSettings) {
        if (setting.flag == nullptr) continue;
        const ProgramSetting* s = &setting;
        const std::string help = FlagHelp(setting);
        CLI::Option* option = nullptr;
        if (std::strcmp(s->key, "on_event") == 0) {
            option = AddText(app, s->flag, s->value_name, help, out.on_event);
        } else if (std::strcmp(s->key, "on_event_timeout_ms") == 0) {
            option = AddWhole(app, s->flag, help, out.program.on_event_timeout_ms, 1, kMaxHookTimeoutMs);
        } else if (std::strcmp(s->key, "notify") == 0) {
            option = app.add_option(s->flag, out.program.notify_urls, help)->type_name(s->value_name)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        } else if (std::strcmp(s->key, "protocol_require_tls") == 0) {
            option = app.add_flag(s->flag, out.program.protocol_require_tls, help);
        } else if (std::strcmp(s->key, "mdns") == 0) {
            option = app.add_flag(s->flag, out.program.mdns, help);
        } else {
            std::string& target = out.program.*(s->text);
            option = AddValue(app, s->flag, s->value_name, help, [s, &target](const std::string& v) {
                const std::string expected = v.empty() ? "a non-empty text" : s->check ? s->check(v) : "";
                if (expected.empty()) target = v;
                return expected;
            });
        }
        option->group(s->group);
        if (std::strcmp(s->key, "on_event") == 0)
            app.add_option("--on-event-arg", out.on_event_args,
                           "an argument for PROGRAM; repeat for more, in order (--on-event-arg=-x "
                           "for one that starts with a dash)")
                ->type_name("ARG")
                ->group(s->group);
    }
    // The MQTT section's keys that a flag replaces.
    for (const mqtt::MqttKey& key : mqtt::kMqttKeys) {
        if (key.flag == nullptr) continue;
        const char* name = key.key;
        AddValue(app, key.flag, key.value_name,
                 mqtt::MqttKeyHelp(key) + " (replaces \"" + name + "\" in \"mqtt\")",
                 [&out, name](const std::string& v) {
                     if (v.empty()) return std::string("a non-empty text");
                     out.program.mqtt[name] = v;
                     return std::string();
                 })
            ->group("MQTT");
    }
}

}  // namespace

void AddPollCommand(CLI::App& app, PollOptions& out) {
    novex::Describe(app, kPollUsage, "", kPollNotes);
    AddDeviceFlags(app, out);
    AddText(app, "--config", "FILE",
            "JSON: one device object, an array of them, or {\"devices\": ..., \"on_event\": "
            "...} (keys below); default " + std::string(kServiceConfig) + " when it exists and "
            "no UPS is given by options",
            out.config_file)
        ->group("Several UPSs");
    AddProgramFlags(app, out);
    AddSettingFlags(app, out);
    const std::string program = kProgramGroup;
    AddWhole(app, "--rounds", "stop after N completed rounds of every device, exit 0 (default 0: "
             "poll until stopped)", out.rounds, 0, kNoLimit, "a whole number of 0 or more")
        ->group(program);
    AddWhole(app, "--max-failures", "give up after N failed rounds in a row of one device, "
             "exit 3 (default 0: never)", out.max_failures, 0, kNoLimit,
             "a whole number of 0 or more")
        ->group(program);
    app.footer(ConfigurationKeys() + "\n" + kPollNotes);
    app.callback([&app, &out] {
        std::string error;
        if (!app.get_subcommands().empty()) return;
        ServiceDefaults(out, [](const char* name) -> const char* { return std::getenv(name); },
                        [](const char* path) {
                            struct stat st {};
                            return stat(path, &st) == 0 || errno != ENOENT;
                        });
        if (!CheckPollOptions(out, error)) throw CLI::ValidationError(error);
    });
}

void ServiceDefaults(PollOptions& out, const char* (*env)(const char*),
                     bool (*exists)(const char*)) {
    const bool ups_given =
        !out.config_file.empty() || out.simulate || out.device_flags.isMember("port");
    if (!ups_given && exists(kServiceConfig)) out.config_file = kServiceConfig;
    if (!out.history_file.empty()) return;
    const char* state = env("STATE_DIRECTORY");
    const std::string first = state ? std::string(state).substr(0, std::string(state).find(':')) : "";
    if (!first.empty())
        out.history_file = first + "/history.db";
    else if (const char* id = env("INVOCATION_ID"); id && *id)
        out.history_file = std::string(kServiceStateDir) + "/history.db";
    else
        out.history_file = "vimohost.db";
}

bool HistoryFileDefault(HistoryOptions& out, const char* (*env)(const char*),
                        bool (*exists)(const char*)) {
    if (!out.history_file.empty()) return false;
    const char* state = env("STATE_DIRECTORY");
    const std::string first = state ? std::string(state).substr(0, std::string(state).find(':')) : "";
    if (exists("vimohost.db"))
        out.history_file = "vimohost.db";
    else if (!first.empty())
        out.history_file = first + "/history.db";
    else
        out.history_file = std::string(kServiceStateDir) + "/history.db";
    return true;
}

bool CheckPollOptions(const PollOptions& out, std::string& error) {
    const bool has_port = out.device_flags.isMember("port");
    if (!out.config_file.empty() && !out.device_flags.empty()) {
        error = "device options (--serial, --tcp, --slave, ...) cannot be combined with --config";
        return false;
    }
    if (out.simulate && !out.config_file.empty()) {
        error = "--simulate polls one simulated UPS and takes no --config";
        return false;
    }
    if (out.simulate && has_port) {
        error = "--simulate chooses the port itself: leave out --serial and --tcp";
        return false;
    }
    if (!out.simulate && !out.scenario.empty()) {
        error = "--scenario is for --simulate";
        return false;
    }
    if (out.on_event.empty() && !out.on_event_args.empty()) {
        error = "--on-event-arg is for --on-event";
        return false;
    }
    if (!out.simulate && out.config_file.empty() && !has_port) {
        error = "no UPS to poll: give --serial DEV, --tcp HOST:PORT, --config FILE or --simulate";
        return false;
    }
    return true;
}

CLI::App* AddCheckConfigCommand(CLI::App& app, CheckConfigOptions& out) {
    CLI::App* check = app.add_subcommand("check-config", "check a configuration file, poll nothing");
    novex::Describe(*check, "vimohost check-config [FILE]",
                       std::string("Runs the checks a start makes before it starts anything, "
                                   "and reports the first error as the start would: FILE (default ") +
                           kServiceConfig +
                           ") in strict JSON, every device's settings as the plug-in reads them, every "
                           "file it names (web configuration, users, certificates and keys, token, "
                           "hook program) read and checked, and whether the listening addresses are "
                           "free (one held now is said, not refused). "
                           "Exit: 0 no error found, 1 the plug-in cannot be loaded, 2 an error.");
    check->add_option("FILE", out.config_file, "the configuration file");
    return check;
}

CLI::App* AddHistoryCommand(CLI::App& app, HistoryOptions& out) {
    CLI::App* history = app.add_subcommand("history", "list or render stored rounds");
    novex::Describe(*history, "vimohost history [options]",
                       "Lists the stored rounds, oldest first, or renders one.");
    AddText(*history, "--history", "FILE",
            std::string("SQLite history (default vimohost.db in the working directory if there, "
                        "else the service's, ") + kServiceStateDir + "/history.db)",
            out.history_file);
    AddValue(*history, "--data-id", "N", "only this device's rounds",
             [&out](const std::string& v) {
                 int64_t n = 0;
                 if (!novex::ParseWhole(v, 0, kMaxDataId, n))
                     return "a whole number from 0 to " + std::to_string(kMaxDataId);
                 out.has_data_id = true;
                 out.data_id = static_cast<uint32_t>(n);
                 return std::string();
             });
    AddWhole(*history, "--last", "the newest N rounds (default 20; 0: all)", out.last, 0,
             kNoLimit, "a whole number of 0 or more");
    history->add_flag("--json", out.json, "list as JSON")->disable_flag_override();
    AddValue(*history, "--render", "ID",
             "print stored round ID (or \"latest\") as its status document, rendered by the "
             "plug-in, with the round's stored time",
             [&out](const std::string& v) {
                 int64_t n = 0;
                 if (v != "latest" && !novex::ParseWhole(v, 1, kNoLimit, n))
                     return std::string("a round number from the list or \"latest\"");
                 out.render = v;
                 return std::string();
             });
    AddText(*history, "--plugin", "PATH",
            "plug-in to render with (default novexups.so beside this program)", out.plugin);

    CLI::App* readings = history->add_subcommand("readings", "stored figures over time");
    novex::Describe(*readings,
                       "vimohost history readings --since 1h|2026-12-08T09:00 [--until ...] "
                       "[--device NAME|DATA_ID]\n         [--fields ID,...] [--step 60s] "
                       "[--csv|--json]",
                       "One row per stored round, or per step with the min, mean and max of "
                       "each field.");
    readings->callback([&out] { out.query = "readings"; });
    AddQueryBasics(*readings, out);
    AddValue(*readings, "--fields", "ID,...",
             "measure ids (every measure with that id) or names (default: all)",
             [&out](const std::string& v) {
                 std::string error;
                 if (!ResolveFields(v, out.fields, error)) return "measure ids from " + MeasureIdList();
                 return std::string();
             });
    AddValue(*readings, "--step", "DURATION", "one row per step: min, mean and max of each field",
             [&out](const std::string& v) {
                 if (!ParseDuration(v, out.step)) return std::string(kDurationForms);
                 return std::string();
             });
    readings->add_flag("--csv", out.csv, "comma-separated values with a header line")
        ->disable_flag_override();
    readings->add_flag("--json", out.json, "a JSON array, one object per row")
        ->disable_flag_override();

    CLI::App* events = history->add_subcommand("events", "alarm raises and clears over time");
    novex::Describe(*events, "vimohost history events [--since ...] [--device ...] [--active]",
                       "Raises and clears of alarms, oldest first, in local time with its "
                       "offset.");
    events->callback([&out] { out.query = "events"; });
    AddQueryBasics(*events, out);
    events->add_flag("--active", out.active, "only alarms raised and not cleared since")
        ->disable_flag_override();
    events->add_flag("--json", out.json, "a JSON array, one object per event")
        ->disable_flag_override();

    CLI::App* rules = history->add_subcommand("rules", "the plug-in's own alarm rule reports");
    novex::Describe(*rules, "vimohost history rules [--since ...] [--device ...] [--json]",
                       "Each raise and clear of the plug-in's alarm rules (its threshold "
                       "checks), oldest first: what a controller would have been told.");
    rules->callback([&out] { out.query = "rules"; });
    AddQueryBasics(*rules, out);
    rules->add_flag("--json", out.json, "a JSON array, one object per report")
        ->disable_flag_override();
    return history;
}

}  // namespace vimo
