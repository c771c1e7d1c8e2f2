// vimohost's own settings, beside "devices" in a configuration file. One row each, read
// by the check of a file, the command line (a flag replaces its key), the configuration
// reference (--help and docs) and a reload, which names the changed settings that wait
// for the next start.
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

namespace vimo {

// vimohost-wide settings, from the configuration file or from flags.
struct ProgramConfig {
    std::vector<std::string> on_event;  // the hook's program and arguments; empty: none
    int on_event_timeout_ms = 0;        // 0: not given
    std::string on_event_mode;          // "each" or "round"; "": not given
    std::string protocol_listen;        // ADDR:PORT of the UPS protocol server; "": none
    std::string protocol_users;         // its users file; "": none
    std::string listen;                 // ADDR:PORT of the web face; "": none
    std::string http_token_file;        // its token file; "": no token
    std::string protocol_certfile;      // PEM certificate and key for STARTTLS; "": none
    bool protocol_require_tls = false;  // no password before STARTTLS
    std::string web_config;             // the web face's TLS and users file; "": none
    std::string page_url;               // the status page as people reach it; "": no link
    Json::Value history;                // retention, checked by ParseRetention; null: none
    std::string snmp_agentx;            // "snmp": {"agentx": ...}; "": no SNMP agent
    std::string modbus_listen;          // ADDR:PORT of the Modbus server; "": none
    std::string modbus_allow;           // its allowed client networks; "": loopback only
    std::string modbus_rtu_port;        // "DEV [BAUD [FRAME]]" of its RTU slave; "": none
    std::string modbus_tls_listen;      // ADDR:PORT of its Modbus/TCP Security listener; "": none
    std::string modbus_tls_certfile;    // PEM certificate and key for it
    std::string modbus_tls_ca;          // PEM CAs that client certificates must chain to
    std::string modbus_tls_roles;       // roles that may read; "": any verified client
    bool mdns = false;                  // announce the listeners by mDNS/DNS-SD
    Json::Value mqtt;                   // the "mqtt" section, checked by ParseMqttSection
                                        // (mqtt/settings.h); flags: "url", "prefix"; null: none
    Json::Value notify;                 // the "notify" list of channels; null: none
    std::vector<std::string> notify_urls;  // --notify URL, in order: added to the list
};

// The largest hook time limit accepted, in ms (hooks/event_hooks.h has the default).
constexpr int kMaxHookTimeoutMs = 3600000;

// Checks a text setting's value: "" when it is good, otherwise what it should be.
using CheckText = std::string (*)(const std::string& value);

// Columns: configuration key; kind of value; the flag that replaces it (nullptr: none)
// and the flag's value name; the --help group of the flag; help; where a text setting is
// kept (nullptr: a setting read by its own code) and its check (nullptr: any non-empty
// text); whether a reload (SIGHUP) applies it, rather than the next start.
struct ProgramSetting {
    const char* key;
    const char* kind;
    const char* flag;
    const char* value_name;
    const char* group;
    const char* help;
    std::string ProgramConfig::*text;
    CheckText check;
    bool reload_applies;
};
extern const ProgramSetting kProgramSettings[24];

const ProgramSetting* FindProgramSetting(const std::string& key);

// The reference's help of the key (which flag replaces it, whether a reload applies it)
// and the help of its flag (which key it replaces).
std::string KeyHelp(const ProgramSetting& setting);
std::string FlagHelp(const ProgramSetting& setting);

// Reads the text settings of the top-level object `root` into `out`: each a non-empty
// text that its check accepts. One line of error otherwise.
bool ReadTextSettings(const Json::Value& root, ProgramConfig& out, std::string& error);

// The settings in force: each one given by a flag wins over the file's.
ProgramConfig WithFlags(const ProgramConfig& file, const ProgramConfig& flags);

// The keys whose value differs between `was` and `now` among those a reload does not
// apply, in table order.
std::vector<std::string> WaitingForRestart(const ProgramConfig& was, const ProgramConfig& now);

}  // namespace vimo
