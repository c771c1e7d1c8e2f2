// The whole-number line settings of a polled device (and its communication-loss rule): one row each, read by the runtime
// (SPModbus::InitSetting), vimohost's configuration checks, flags and help, and the
// simulator's flags, so a range or a default is written down once.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>

namespace vimo {
// The default of a setting's row in kLineSettings (below).
constexpr int LineDefault(const char* key);
}  // namespace vimo

// The kernel's RS-485 mode of a serial port (driver enable on RTS): off leaves the port
// as it is.
struct Rs485Mode {
    bool on = false;
    bool rts_after_send = false;  // RTS high after sending instead of while sending
    int before_ms = 0;            // RTS set this long before the first bit goes out
    int after_ms = 0;             // and kept this long after the last
    bool operator==(const Rs485Mode& o) const {
        return on == o.on && rts_after_send == o.rts_after_send && before_ms == o.before_ms &&
               after_ms == o.after_ms;
    }
    bool operator!=(const Rs485Mode& o) const { return !(*this == o); }
};

// Port settings the runtime reads from a device's configuration (SPModbus::InitSetting).
struct PortSettings {
    std::string transport = "rtu";  // "rtu" (serial line) or "tcp"
    std::string port;               // serial device path, or host:port for tcp
    int baud = 0;                   // 0 until configured: the device's port_speed applies
    char parity = 'N';              // 'N', 'E' or 'O'
    Rs485Mode rs485;
    int data_bits = vimo::LineDefault("data_bits");
    int stop_bits = vimo::LineDefault("stop_bits");
    int slave = vimo::LineDefault("slave");
    int timeout_ms = vimo::LineDefault("timeout_ms");
    int interval_ms = vimo::LineDefault("interval_ms");
    // Further tries of an exchange that timed out, brought a bad frame or a transient
    // exception.
    int retries = vimo::LineDefault("retries");
    // Communication counts as lost after this many failed rounds in a row, or once the
    // last round failed and none has completed for this many intervals.
    int comm_loss_rounds = vimo::LineDefault("comm_loss_rounds");
    int comm_loss_intervals = vimo::LineDefault("comm_loss_intervals");
};

namespace vimo {

// Columns: configuration key, command-line flag, the PortSettings member, smallest and
// largest value, default, one line of help. The default of "baud" is the device's own
// speed (PortSettings::baud stays 0 until a configuration names one).
struct LineSetting {
    const char* key;
    const char* flag;
    int PortSettings::*member;
    int min;
    int max;
    int fallback;
    const char* help;
};
// Slave 0 is the broadcast address, which no slave answers: a polled device is 1..247.
inline constexpr LineSetting kLineSettings[] = {
    {"baud", "--baud", &PortSettings::baud, 50, 4000000, 9600, "serial speed"},
    {"data_bits", "--data-bits", &PortSettings::data_bits, 5, 8, 8, "serial data bits"},
    {"stop_bits", "--stop-bits", &PortSettings::stop_bits, 1, 2, 1, "serial stop bits"},
    {"slave", "--slave", &PortSettings::slave, 1, 247, 1, "slave address"},
    {"timeout_ms", "--timeout-ms", &PortSettings::timeout_ms, 1, 600000, 1000,
     "response timeout in ms"},
    {"interval_ms", "--interval-ms", &PortSettings::interval_ms, 0, 86400000, 1000,
     "time from the start of one round to the next in ms"},
    {"retries", "--retries", &PortSettings::retries, 0, 5, 1,
     "further tries of an exchange that timed out, lost its link or met a gateway's 0A/0B; "
     "one answered with a bad frame or the slave's transient exception gets two more"},
    {"comm_loss_rounds", "--comm-loss-rounds", &PortSettings::comm_loss_rounds, 1, 1000, 3,
     "failed rounds in a row that raise communication_lost"},
    {"comm_loss_intervals", "--comm-loss-intervals", &PortSettings::comm_loss_intervals, 1,
     1000, 5, "intervals (at least 1 s each) without a completed round, the last one failed, "
     "that raise communication_lost"},
};
static_assert(sizeof kLineSettings / sizeof kLineSettings[0] == 9, "one row per setting");

// The default of `key`'s row; usable in constant expressions, so other structs take
// their defaults from the table.
constexpr bool SameKey(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}
constexpr int LineDefault(const char* key) {
    for (const LineSetting& s : kLineSettings)
        if (SameKey(s.key, key)) return s.fallback;
    return -1;
}
// The parity has letters, not a range: the one setting outside the table.
inline constexpr const char* kParityKey = "parity";
inline constexpr const char* kParityFlag = "--parity";
inline constexpr const char* kParityLetters = "NEO";

// RS-485 direction control is text too: "off", "on", or "on" followed by any of
// ",rts_after_send", ",before=MS", ",after=MS" (MS 0..kRs485MaxDelayMs, as the kernel
// allows).
inline constexpr const char* kRs485Key = "rs485";
inline constexpr const char* kRs485Flag = "--rs485";
inline constexpr int kRs485MaxDelayMs = 100;
inline constexpr const char* kRs485Help =
    "RS-485 direction control by the kernel, RTS driving the transceiver's DE/RE pins: "
    "\"off\" (default: the port as it is), \"on\" (RTS high while sending) or \"on\" with "
    "any of \",rts_after_send\" (RTS low while sending), \",before=MS\", \",after=MS\" "
    "(delays around sending, 0..100 ms); devices on one port must agree";

inline constexpr const char* kRs485Grammar =
    "\"off\", \"on\" or \"on,\" and a list of rts_after_send, before=MS, after=MS";

// Reads an RS-485 value; false with what the value must be otherwise.
inline bool ParseRs485(const std::string& text, Rs485Mode& out, std::string& error) {
    Rs485Mode mode;
    const auto bad = [&error](const std::string& why) {
        error = why;
        return false;
    };
    if (text == "off") {
        out = mode;
        return true;
    }
    if (text.compare(0, 2, "on") != 0 || (text.size() > 2 && text[2] != ','))
        return bad(kRs485Grammar);
    mode.on = true;
    size_t at = 2;
    while (at < text.size()) {
        const size_t end = std::min(text.find(',', at + 1), text.size());
        const std::string item = text.substr(at + 1, end - at - 1);
        at = end;
        if (item == "rts_after_send") {
            mode.rts_after_send = true;
            continue;
        }
        const size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        int* delay = name == "before" ? &mode.before_ms : name == "after" ? &mode.after_ms : nullptr;
        if (!delay || eq == std::string::npos)
            return bad(std::string(kRs485Grammar) + ", not \"" + item + "\"");
        const std::string digits = item.substr(eq + 1);
        const int ms = digits.empty() || digits.size() > 3 ||
                               digits.find_first_not_of("0123456789") != std::string::npos
                           ? -1
                           : std::atoi(digits.c_str());
        if (ms < 0 || ms > kRs485MaxDelayMs)
            return bad(name + "=MS with MS a whole number from 0 to " +
                       std::to_string(kRs485MaxDelayMs));
        *delay = ms;
    }
    out = mode;
    return true;
}

// "on,before=2": the value that ParseRs485 reads back, for messages.
inline std::string Rs485Text(const Rs485Mode& m) {
    if (!m.on) return "off";
    std::string text = "on";
    if (m.rts_after_send) text += ",rts_after_send";
    if (m.before_ms) text += ",before=" + std::to_string(m.before_ms);
    if (m.after_ms) text += ",after=" + std::to_string(m.after_ms);
    return text;
}

// The row of `key`, or null.
inline const LineSetting* FindLineSetting(const std::string& key) {
    for (const LineSetting& s : kLineSettings)
        if (key == s.key) return &s;
    return nullptr;
}

// "\"slave\" must be a whole number from 1 to 247": the one wording of a range, for
// configuration keys and flags alike.
inline std::string RangeText(const LineSetting& s) {
    return "a whole number from " + std::to_string(s.min) + " to " + std::to_string(s.max);
}

}  // namespace vimo
