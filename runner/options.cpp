#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace vimo {

bool ParseInteger(const std::string& text, int64_t min, int64_t max, int64_t& out) {
    if (text.empty() || text.size() > 20) return false;
    size_t i = 0;
    if (text[0] == '-') {
        if (min >= 0) return false;
        i = 1;
    }
    if (i == text.size()) return false;
    for (size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    out = v;
    return true;
}

namespace {

enum class Kind { kFlag, kText, kCount, kDeviceInt, kDeviceParity, kSerial, kTcp, kBMode };

// Poll-mode options. Columns: the flag, what its value is, the configuration key a
// device flag fills (empty for program options), and the range of a number.
struct PollFlag {
    const char* flag;
    Kind kind;
    const char* key;
    int64_t min;
    int64_t max;
};
const PollFlag kPollFlags[] = {
    {"--config", Kind::kText, "", 0, 0},
    {"--plugin", Kind::kText, "", 0, 0},
    {"--history", Kind::kText, "", 0, 0},
    {"--no-history", Kind::kFlag, "", 0, 0},
    {"--status-out", Kind::kText, "", 0, 0},
    {"--rounds", Kind::kCount, "", 0, std::numeric_limits<int64_t>::max()},
    {"--max-failures", Kind::kCount, "", 0, std::numeric_limits<int64_t>::max()},
    {"--simulate", Kind::kFlag, "", 0, 0},
    {"--scenario", Kind::kText, "", 0, 0},
    {"--help", Kind::kFlag, "", 0, 0},
    {"--serial", Kind::kSerial, "port", 0, 0},
    {"--tcp", Kind::kTcp, "port", 0, 0},
    {"--slave", Kind::kDeviceInt, "slave", 0, 247},
    {"--baud", Kind::kDeviceInt, "baud", 50, 4000000},
    {"--parity", Kind::kDeviceParity, "parity", 0, 0},
    {"--timeout-ms", Kind::kDeviceInt, "timeout_ms", 1, 600000},
    {"--interval-ms", Kind::kDeviceInt, "interval_ms", 0, 86400000},
    {"--data-id", Kind::kDeviceInt, "data_id", 0, std::numeric_limits<uint32_t>::max()},
    {"--b-mode", Kind::kBMode, "", 0, 0},
};

// Splits "--name=value" and finds the value of a flag that takes one.
bool NextValue(const std::vector<std::string>& args, size_t& i, const std::string& flag,
               const std::string& inline_value, bool has_inline, std::string& value,
               std::string& error) {
    if (has_inline) {
        value = inline_value;
        return true;
    }
    if (i + 1 >= args.size()) {
        error = flag + " needs a value";
        return false;
    }
    value = args[++i];
    return true;
}

void SplitFlag(const std::string& arg, std::string& name, std::string& value, bool& has_value) {
    const size_t eq = arg.find('=');
    has_value = arg.compare(0, 2, "--") == 0 && eq != std::string::npos;
    name = has_value ? arg.substr(0, eq) : arg;
    value = has_value ? arg.substr(eq + 1) : std::string();
}

std::string Range(int64_t min, int64_t max) {
    return "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
}

bool ApplyPollFlag(const PollFlag& f, const std::string& value, PollOptions& out,
                   std::string& error) {
    const std::string flag = f.flag;
    int64_t n = 0;
    switch (f.kind) {
        case Kind::kFlag:
            if (flag == "--no-history") out.history = false;
            if (flag == "--simulate") out.simulate = true;
            if (flag == "--help") out.help = true;
            return true;
        case Kind::kText:
            if (value.empty()) {
                error = flag + " needs a non-empty value";
                return false;
            }
            if (flag == "--config") out.config_file = value;
            if (flag == "--plugin") out.plugin = value;
            if (flag == "--history") out.history_file = value;
            if (flag == "--status-out") out.status_out = value;
            if (flag == "--scenario") out.scenario = value;
            return true;
        case Kind::kCount:
            if (!ParseInteger(value, f.min, f.max, n)) {
                error = flag + " must be a whole number of 0 or more, not \"" + value + "\"";
                return false;
            }
            (flag == "--rounds" ? out.rounds : out.max_failures) = n;
            return true;
        case Kind::kDeviceInt:
            if (!ParseInteger(value, f.min, f.max, n)) {
                error = flag + " must be " + Range(f.min, f.max) + ", not \"" + value + "\"";
                return false;
            }
            if (flag == "--data-id")
                out.device_flags[f.key] = static_cast<Json::UInt>(n);
            else
                out.device_flags[f.key] = static_cast<int>(n);
            return true;
        case Kind::kDeviceParity:
            if (value != "N" && value != "E" && value != "O") {
                error = flag + " must be N, E or O, not \"" + value + "\"";
                return false;
            }
            out.device_flags[f.key] = value;
            return true;
        case Kind::kSerial:
        case Kind::kTcp:
            if (out.device_flags.isMember("transport")) {
                error = "--serial and --tcp name one port: give only one of them";
                return false;
            }
            if (value.empty()) {
                error = flag + " needs a non-empty value";
                return false;
            }
            out.device_flags["transport"] = f.kind == Kind::kSerial ? "rtu" : "tcp";
            out.device_flags[f.key] = value;
            return true;
        case Kind::kBMode:
            // The device reads "b_mode" as text with atof; the flag takes what a
            // configuration file would usually hold, a whole number.
            if (!ParseInteger(value, std::numeric_limits<int>::min(),
                              std::numeric_limits<int>::max(), n)) {
                error = flag + " must be a whole number, not \"" + value + "\"";
                return false;
            }
            out.device_flags["appSetting"]["b_mode"] = static_cast<int>(n);
            return true;
    }
    return false;
}

}  // namespace

bool ParsePollOptions(const std::vector<std::string>& args, PollOptions& out,
                      std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name, inline_value;
        bool has_inline = false;
        SplitFlag(args[i], name, inline_value, has_inline);
        const PollFlag* found = nullptr;
        for (const PollFlag& f : kPollFlags)
            if (name == f.flag) found = &f;
        if (!found) {
            error = name.compare(0, 1, "-") == 0 ? "unknown option " + name
                                                  : "unexpected argument \"" + name + "\"";
            return false;
        }
        std::string value;
        if (found->kind == Kind::kFlag) {
            if (has_inline) {
                error = name + " takes no value";
                return false;
            }
        } else if (!NextValue(args, i, name, inline_value, has_inline, value, error)) {
            return false;
        }
        if (!ApplyPollFlag(*found, value, out, error)) return false;
    }
    if (out.help) return true;
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
    // 0 is the broadcast address, which no slave answers: the simulator refuses it.
    if (out.simulate && out.device_flags.get("slave", 1).asInt() == 0) {
        error = "--slave must be a whole number from 1 to 247 with --simulate, not \"0\"";
        return false;
    }
    if (!out.simulate && !out.scenario.empty()) {
        error = "--scenario is for --simulate";
        return false;
    }
    if (!out.simulate && out.config_file.empty() && !has_port) {
        error = "no UPS to poll: give --serial DEV, --tcp HOST:PORT, --config FILE or --simulate";
        return false;
    }
    return true;
}

namespace {

// `vimohost history` options. Columns: the flag and whether it takes a value.
struct HistoryFlag {
    const char* flag;
    bool takes_value;
};
const HistoryFlag kHistoryFlags[] = {
    {"--history", true}, {"--plugin", true}, {"--data-id", true}, {"--last", true},
    {"--json", false},   {"--render", true}, {"--help", false},
};

bool ApplyHistoryFlag(const std::string& flag, const std::string& value, HistoryOptions& out,
                      std::string& error) {
    int64_t n = 0;
    if (flag == "--json") out.json = true;
    if (flag == "--help") out.help = true;
    if (flag == "--history" || flag == "--plugin" || flag == "--render") {
        if (value.empty()) {
            error = flag + " needs a non-empty value";
            return false;
        }
        if (flag == "--history") out.history_file = value;
        if (flag == "--plugin") out.plugin = value;
        if (flag == "--render") {
            if (value != "latest" &&
                !ParseInteger(value, 1, std::numeric_limits<int64_t>::max(), n)) {
                error = "--render must be a round number from the list or \"latest\", not \"" +
                        value + "\"";
                return false;
            }
            out.render = value;
        }
    }
    if (flag == "--data-id") {
        if (!ParseInteger(value, 0, std::numeric_limits<uint32_t>::max(), n)) {
            error = "--data-id must be " + Range(0, std::numeric_limits<uint32_t>::max()) +
                    ", not \"" + value + "\"";
            return false;
        }
        out.has_data_id = true;
        out.data_id = static_cast<uint32_t>(n);
    }
    if (flag == "--last") {
        if (!ParseInteger(value, 0, std::numeric_limits<int64_t>::max(), n)) {
            error = "--last must be a whole number of 0 or more, not \"" + value + "\"";
            return false;
        }
        out.last = n;
    }
    return true;
}

}  // namespace

bool ParseHistoryOptions(const std::vector<std::string>& args, HistoryOptions& out,
                         std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name, inline_value;
        bool has_inline = false;
        SplitFlag(args[i], name, inline_value, has_inline);
        const HistoryFlag* found = nullptr;
        for (const HistoryFlag& f : kHistoryFlags)
            if (name == f.flag) found = &f;
        if (!found) {
            error = name.compare(0, 1, "-") == 0 ? "unknown option " + name + " for history"
                                                  : "unexpected argument \"" + name + "\"";
            return false;
        }
        std::string value;
        if (!found->takes_value) {
            if (has_inline) {
                error = name + " takes no value";
                return false;
            }
        } else if (!NextValue(args, i, name, inline_value, has_inline, value, error)) {
            return false;
        }
        if (!ApplyHistoryFlag(name, value, out, error)) return false;
    }
    return true;
}

const char* PollUsage() {
    return R"(usage: vimohost [options]             poll UPSs through the plug-in
       vimohost history [options]     list or render stored rounds (vimohost history --help)

One UPS from options:
  --serial DEV          serial line (Modbus RTU), e.g. /dev/ttyUSB0
  --tcp HOST:PORT       Modbus TCP, e.g. a serial-to-Ethernet gateway
  --slave N             slave address, 0..247, with --simulate 1..247 (default 1)
  --baud N              serial speed (default the device's own, 9600)
  --parity N|E|O        serial parity (default N)
  --timeout-ms N        response timeout in ms (default 1000)
  --interval-ms N       time from the start of one round to the next (default 1000)
  --data-id N           the device's data id (default 1)
  --b-mode N            the device's "appSetting" "b_mode" (1 and 2 switch its alarm rules off)
Several UPSs:
  --config FILE         JSON: one device object or an array of them (keys below)
Program:
  --simulate            start the UPS simulator (novexups-sim beside this program) and poll it
  --scenario NAME|FILE  the simulator's scenario: normal, on-battery, module-fault or a file
  --plugin PATH         plug-in to load (default novexups.so beside this program)
  --history FILE        SQLite history (default vimohost.db in the working directory)
  --no-history          keep no history
  --status-out FILE     write the latest status document there after each round
                        (several devices: FILE.<data_id>)
  --rounds N            stop after N completed rounds of every device (exit 0)
  --max-failures N      give up after N failed rounds in a row of one device (exit 3)
  --help                this text

Configuration keys of a device object:
  "data_id"      number   the device's data id (default: its position, 1 for the first)
  "name"         text     label in messages (default "ups<data_id>")
  "transport"    text     "rtu" (serial line, the default) or "tcp"
  "port"         text     serial device path, or HOST:PORT for tcp (required)
  "baud"         number   50..4000000 (default the device's own speed, 9600)
  "parity"       text     "N", "E" or "O" (default "N")
  "data_bits"    number   5..8 (default 8)
  "stop_bits"    number   1..2 (default 1)
  "slave"        number   0..247 (default 1)
  "timeout_ms"   number   response timeout, 1..600000 (default 1000)
  "interval_ms"  number   round start to round start, 0..86400000 (default 1000)
  "appSetting"   object   the device's own settings, e.g. {"b_mode": 0}

Standard output carries the plug-in's own lines; the per-round summary, alarms and
errors go to standard error. The device renews its status document (and so the
summary and --status-out) at most once per clock second: with an interval under
1000 ms a round may repeat the figures of the round before.

SIGINT or SIGTERM stops polling after the exchange in progress; a second one stops at
once. Exit: 0 done or stopped by a signal, 1 failure to start (plug-in, history,
simulator), 2 bad options or configuration, 3 gave up (--max-failures), 130 stopped
at once by a second signal.
)";
}

const char* HistoryUsage() {
    return R"(usage: vimohost history [options]
  --history FILE     SQLite history (default vimohost.db in the working directory)
  --data-id N        only this device's rounds
  --last N           the newest N rounds (default 20; 0: all)
  --json             list as JSON
  --render ID        print stored round ID (or "latest") as its status document,
                     rendered by the plug-in, with the round's stored time
  --plugin PATH      plug-in to render with (default novexups.so beside this program)
)";
}

}  // namespace vimo
