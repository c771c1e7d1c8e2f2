#include "config/program_settings.h"

#include <cstring>

#include "core/address.h"
#include "core/command_line.h"
#include "hooks/event_hooks.h"
#include "mqtt/settings.h"

namespace vimo {

namespace {

std::string CheckHookMode(const std::string& value) {
    HookMode mode;
    return ParseHookMode(value, mode) ? "" : "\"each\" or \"round\"";
}

const char kHooks[] = "Event hooks";
const char kProtocol[] = "UPS protocol server";
const char kWeb[] = "Status page, API and metrics";
const char kModbus[] = "Modbus server";
const char kNotify[] = "Notifications";

}  // namespace

// Columns: key, kind, flag, flag's value name, flag's help group, help, text member,
// check, reload applies.
const ProgramSetting kProgramSettings[24] = {
    {"devices", "array", nullptr, nullptr, nullptr,
     "the device objects, or one device object (required in this form)", nullptr, nullptr, true},
    {"on_event", "array", "--on-event", "PROGRAM", kHooks,
     "a program and its arguments run (no shell) for each alarm raised or cleared, the event "
     "in its environment (VIMO_*), e.g. [\"/usr/local/bin/notify\", \"-q\"]; as flags, "
     "--on-event-arg adds each argument",
     nullptr, nullptr, false},
    {"on_event_timeout_ms", "number", "--on-event-timeout-ms", "N", kHooks,
     "a hook's time limit in ms, then SIGTERM and SIGKILL", nullptr, nullptr, false},
    {"on_event_mode", "text", "--on-event-mode", "each|round", kHooks, kHookModeHelp,
     &ProgramConfig::on_event_mode, CheckHookMode, false},
    {"protocol_listen", "text", "--protocol-listen", "ADDR:PORT", kProtocol,
     "serve the UPS protocol there (ADDR alone: port " NOVEX_UPS_PROTOCOL_PORT "; :PORT: 127.0.0.1)",
     &ProgramConfig::protocol_listen, nullptr, false},
    {"protocol_users", "text", "--protocol-users", "FILE", kProtocol,
     "the UPS protocol server's users (name password [primary|fsd] a line; not readable by "
     "group or others)",
     &ProgramConfig::protocol_users, nullptr, false},
    {"protocol_certfile", "text", "--protocol-certfile", "FILE", kProtocol,
     "answer STARTTLS on the UPS protocol with this PEM certificate and private key (not "
     "readable by group or others)",
     &ProgramConfig::protocol_certfile, nullptr, false},
    {"protocol_require_tls", "boolean", "--protocol-require-tls", nullptr, kProtocol,
     "refuse passwords on UPS protocol connections that have not started TLS", nullptr,
     nullptr, false},
    {"listen", "text", "--listen", "ADDR:PORT", kWeb,
     "serve the status page, API and metrics over HTTP there (PORT alone: 127.0.0.1; "
     "0.0.0.0:PORT: every interface)",
     &ProgramConfig::listen, nullptr, false},
    {"http_token_file", "text", "--http-token-file", "FILE", kWeb,
     "ask the web face's clients for the bearer token on this file's first line, /healthz "
     "excepted (not readable by group or others)",
     &ProgramConfig::http_token_file, nullptr, false},
    {"web_config", "text", "--web-config", "FILE", kWeb,
     "serve HTTPS and ask for basic-auth users as this file says (the Prometheus exporters' "
     "web configuration: tls_server_config, basic_auth_users, http_server_config)",
     &ProgramConfig::web_config, nullptr, false},
    {"page_url", "text", "--page-url", "URL", kWeb,
     "the status page as people reach it, e.g. \"https://ups.example.net:8443/\": notification "
     "messages and the MQTT face's devices link to it (default: no link)",
     &ProgramConfig::page_url, nullptr, false},
    {"history", "object", nullptr, nullptr, nullptr,
     "retention, e.g. {\"keep\": \"30d\", \"max_size\": \"2GB\", \"keep_events\": \"1y\", "
     "\"keep_aggregates\": \"2y\"} (--keep, --max-size, --keep-events and --keep-aggregates "
     "replace them)",
     nullptr, nullptr, false},
    {"snmp", "object", "--snmp-agentx", "SOCKET", "SNMP",
     "{\"agentx\": \"/var/agentx/master\"} serves the UPS MIB through that AgentX master (or "
     "\"tcp:127.0.0.1:705\"); the flag takes the socket",
     &ProgramConfig::snmp_agentx, nullptr, false},
    {"modbus_listen", "text", "--modbus-listen", "ADDR:PORT", kModbus,
     "answer Modbus TCP there with each UPS's registers from its last completed round, under "
     "its \"modbus_unit\" (ADDR alone: port 502; PORT alone: 127.0.0.1); see modbus-server.md",
     &ProgramConfig::modbus_listen, nullptr, false},
    {"modbus_allow", "text", "--modbus-allow", "NETWORKS", kModbus,
     "the client networks the Modbus server accepts, e.g. \"10.1.0.0/16 ::1/128\" (default: "
     "loopback only)",
     &ProgramConfig::modbus_allow, nullptr, false},
    {"modbus_rtu_port", "text", "--modbus-rtu-port", "DEV [BAUD [FRAME]]", kModbus,
     "answer as a Modbus RTU slave for the same units on this serial line, e.g. "
     "\"/dev/ttyS1 19200 8E1\" (default 9600 8N1)",
     &ProgramConfig::modbus_rtu_port, nullptr, false},
    {"modbus_tls_listen", "text", "--modbus-tls-listen", "ADDR:PORT", kModbus,
     "answer Modbus/TCP Security (TLS, client certificates required) there, as the Modbus "
     "server does (ADDR alone: port 802); needs modbus_tls_certfile and modbus_tls_ca",
     &ProgramConfig::modbus_tls_listen, nullptr, false},
    {"modbus_tls_certfile", "text", "--modbus-tls-certfile", "FILE", kModbus,
     "the Modbus/TCP Security listener's PEM certificate and private key (not readable by "
     "group or others)",
     &ProgramConfig::modbus_tls_certfile, nullptr, false},
    {"modbus_tls_ca", "text", "--modbus-tls-ca", "FILE", kModbus,
     "the PEM CAs that Modbus/TCP Security clients' certificates must chain to",
     &ProgramConfig::modbus_tls_ca, nullptr, false},
    {"modbus_tls_roles", "text", "--modbus-tls-roles", "ROLES", kModbus,
     "the roles (the certificates' role extension) that may read over Modbus/TCP Security, "
     "e.g. \"Operator Viewer\" (default: any verified client)",
     &ProgramConfig::modbus_tls_roles, nullptr, false},
    {"mdns", "boolean", "--mdns", nullptr, "mDNS",
     "announce the UPS protocol server (_nut._tcp) and the status page (_http._tcp, "
     "_https._tcp with TLS) on the local network by mDNS/DNS-SD through the Avahi daemon; "
     "see vimohost.md",
     nullptr, nullptr, false},
    {"mqtt", "object", nullptr, nullptr, "MQTT",
     "{\"url\": \"mqtt://broker.lan\", ...} publishes each UPS's state, availability and "
     "events, and Home Assistant's discovery, to that broker; the keys are listed in mqtt.md "
     "(--mqtt and --mqtt-prefix replace \"url\" and \"prefix\")",
     nullptr, nullptr, false},
    {"notify", "array", "--notify", "URL", kNotify,
     "send each round's events as one message to each channel: smtp://[USER@]HOST[:PORT]?to=..."
     "&from=...[&password_file=FILE] (smtps:// for implicit TLS), https://HOST/PATH?format="
     "json|ntfy|slack|gotify[&token_file=FILE], syslog: (local), syslog://HOST[:PORT] (UDP), "
     "syslog+tcp://, syslog+tls://; an entry may be an object {\"name\": ..., \"url\": ..., "
     "KEY: VALUE} of the same settings (see notifications.md)",
     nullptr, nullptr, false},
};

const ProgramSetting* FindProgramSetting(const std::string& key) {
    for (const ProgramSetting& s : kProgramSettings)
        if (key == s.key) return &s;
    return nullptr;
}

namespace {

// A hook's time limit is the one number among them: its range and default follow the
// help wherever it is shown.
std::string WithRange(const ProgramSetting& s) {
    if (std::strcmp(s.key, "on_event_timeout_ms") != 0) return s.help;
    return std::string(s.help) + ", 1.." + std::to_string(kMaxHookTimeoutMs) + " (default " +
           std::to_string(kDefaultHookTimeLimitMs) + ")";
}

// Every setting as JSON, to compare two of them key by key.
Json::Value AsJson(const ProgramConfig& c) {
    Json::Value out(Json::objectValue);
    for (const ProgramSetting& s : kProgramSettings)
        if (s.text) out[s.key] = c.*s.text;
    for (const std::string& part : c.on_event) out["on_event"].append(part);
    out["on_event_timeout_ms"] = c.on_event_timeout_ms;
    out["protocol_require_tls"] = c.protocol_require_tls;
    out["mdns"] = c.mdns;
    out["history"] = c.history;
    out["mqtt"] = c.mqtt;
    out["notify"] = c.notify;
    for (const std::string& url : c.notify_urls) out["notify"].append(url);
    return out;
}

}  // namespace

namespace {

// A list the flag adds to, repeated, rather than replaces.
bool FlagAdds(const ProgramSetting& s) { return std::strcmp(s.key, "notify") == 0; }

}  // namespace

std::string KeyHelp(const ProgramSetting& s) {
    std::string notes;
    if (s.flag) notes = std::string(s.flag) + (FlagAdds(s) ? " adds to it" : " replaces it");
    if (!s.reload_applies) notes += std::string(notes.empty() ? "" : "; ") + "read at start only";
    return notes.empty() ? WithRange(s) : WithRange(s) + " (" + notes + ")";
}

std::string FlagHelp(const ProgramSetting& s) {
    if (FlagAdds(s)) return WithRange(s) + " (one channel; repeatable; adds to \"" + s.key + "\")";
    return WithRange(s) + " (replaces \"" + s.key + "\")";
}

bool ReadTextSettings(const Json::Value& root, ProgramConfig& out, std::string& error) {
    for (const ProgramSetting& s : kProgramSettings) {
        if (!s.text || std::strcmp(s.kind, "text") != 0) continue;
        const Json::Value& v = root[s.key];
        if (v.isNull()) continue;
        const std::string expected =
            !v.isString() || v.asString().empty() ? "a non-empty text" : s.check ? s.check(v.asString()) : "";
        if (!expected.empty()) {
            error = std::string("\"") + s.key + "\" must be " + expected;
            return false;
        }
        out.*s.text = v.asString();
    }
    return true;
}

ProgramConfig WithFlags(const ProgramConfig& file, const ProgramConfig& flags) {
    ProgramConfig out = file;
    for (const ProgramSetting& s : kProgramSettings)
        if (s.text && !(flags.*s.text).empty()) out.*s.text = flags.*s.text;
    if (!flags.on_event.empty()) out.on_event = flags.on_event;
    out.notify_urls.insert(out.notify_urls.end(), flags.notify_urls.begin(), flags.notify_urls.end());
    if (flags.on_event_timeout_ms > 0) out.on_event_timeout_ms = flags.on_event_timeout_ms;
    out.protocol_require_tls = file.protocol_require_tls || flags.protocol_require_tls;
    out.mdns = file.mdns || flags.mdns;
    out.mqtt = mqtt::MqttWithFlags(file.mqtt, flags.mqtt);
    return out;
}

std::vector<std::string> WaitingForRestart(const ProgramConfig& was, const ProgramConfig& now) {
    const Json::Value a = AsJson(was), b = AsJson(now);
    std::vector<std::string> keys;
    for (const ProgramSetting& s : kProgramSettings)
        if (!s.reload_applies && a[s.key] != b[s.key]) keys.push_back(s.key);
    return keys;
}

}  // namespace vimo
