#include "config/device_config.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include <json/reader.h>

#include "core/address.h"
#include "core/command_line.h"
#include "common/regular_file.h"
#include "config/device_names.h"
#include "history/retention.h"
#include "hooks/event_hooks.h"
#include "host/line_settings.h"
#include "monitor/snapshot.h"
#include "mqtt/settings.h"
#include "notify/channel_url.h"
#include "snmp/address.h"
#include "snmp/ratings.h"

// A number's text in a help string made at compile time.
#define NOVEX_TEXT_(x) #x
#define NOVEX_TEXT(x) NOVEX_TEXT_(x)

namespace vimo {

// Unknown keys are refused, so that a misspelt "buad" is not silently polled at the
// default speed.
const DeviceKey kDeviceKeys[15] = {
    {"data_id", "number", "the device's data id (default: its position, 1 for the first)"},
    {"name", "text",
     "the name every face knows the device by (default \"ups<data_id>\"); unique, ignoring "
     "ASCII case and trailing spaces: " VIMO_DEVICE_NAME_RULE},
    {"transport", "text", "\"rtu\" (serial line, the default) or \"tcp\""},
    {"port", "text", "serial device path, or HOST:PORT for tcp (required)"},
    {kParityKey, "text", "\"N\", \"E\" or \"O\" (default \"N\")"},
    {kRs485Key, "text", kRs485Help},
    {"appSetting", "object",
     "the device's own settings: {\"b_mode\": 0} switches its alarm rule reporting on; its "
     "default, 1, switches it off"},
    {"manufacturer", "text", "the UPS's maker as UPS protocol clients see it (device.mfr)"},
    {"model", "text", "the UPS's model as UPS protocol clients see it (device.model)"},
    {"battery_charge_low", "number",
     "battery charge in percent at or below which UPS protocol clients see the battery low, "
     "0..100 (default " NOVEX_TEXT(NOVEX_DEFAULT_CHARGE_LOW) ")"},
    {"battery_runtime_low", "number",
     "remaining runtime in seconds at or below which the battery counts as low too (UPS "
     "protocol LB, SNMP batteryLow, ups_battery_low), 0..86400 (default 0: charge alone)"},
    {"forced_shutdown", "object",
     "vimohost itself sets forced shutdown (FSD) for UPS protocol clients when any given "
     "condition holds: {\"low_battery\": true, \"runtime_below_s\": N, \"on_battery_for_s\": N}; "
     "secondaries then shut down at once, without a primary (default: none)"},
    {"attached_devices", "text", "what the UPS feeds, as SNMP managers see it (upsIdentAttachedDevices)"},
    {"ratings", "object",
     "the UPS's nominal values for SNMP managers (upsConfig), e.g. {\"output_va\": 30000}; "
     "the keys are listed in snmp.md"},
    {"modbus_unit", "number",
     "the unit id the Modbus server answers for this UPS, 1..247 (default: its \"slave\")"},
};

const DeviceKey kAppSettingKeys[1] = {
    {"b_mode", "number", "0 switches the device's alarm rule reporting on; 1 and 2 off"},
};

namespace {

using novex::EscapeText;
using novex::QuoteText;

template <size_t N>
bool Known(const DeviceKey (&keys)[N], const std::string& key) {
    for (const DeviceKey& k : keys)
        if (key == k.key) return true;
    return false;
}

// Edits (insert, delete, replace) from `a` to `b`, letters compared without case.
size_t Distance(const std::string& a, const std::string& b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                               diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// "; did you mean \"tcp\"?" when one of `choices` is near `word` (a case, a letter or
// two, or the start of it), else "".
std::string DidYouMean(const std::string& word, const std::vector<std::string>& choices) {
    std::string best;
    size_t best_distance = std::max<size_t>(1, word.size() / 3) + 1;
    for (const std::string& choice : choices) {
        size_t d = Distance(word, choice);
        // "baudrate" for "baud": a choice that starts the word, or the word that starts it.
        if (d >= best_distance && std::min(word.size(), choice.size()) >= 3 &&
            Distance(word.substr(0, choice.size()), choice) == 0)
            d = best_distance - 1;
        if (d < best_distance) {
            best = choice;
            best_distance = d;
        }
    }
    return best.empty() ? "" : "; did you mean " + QuoteText(best) + "?";
}

template <size_t N>
std::vector<std::string> KeysOf(const DeviceKey (&keys)[N]) {
    std::vector<std::string> out;
    for (const DeviceKey& k : keys) out.push_back(k.key);
    return out;
}

// A NUL cuts a port's path short where the system reads it, and a newline or an
// escape sequence in a name forges or colours log lines.
bool PlainText(const Json::Value& v) {
    if (!v.isString() || v.asString().empty()) return false;
    for (const char c : v.asString())
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

bool CheckAppSetting(const Json::Value& object, std::string& error) {
    if (!object.isMember("appSetting")) return true;
    const Json::Value& app = object["appSetting"];
    if (!app.isObject()) {
        error = "\"appSetting\" must be a JSON object";
        return false;
    }
    for (const std::string& key : app.getMemberNames()) {
        if (!Known(kAppSettingKeys, key)) {
            error = "unknown key " + QuoteText(key) + " in \"appSetting\"" +
                    DidYouMean(key, KeysOf(kAppSettingKeys));
            return false;
        }
    }
    // The device reads them as numbers whatever they hold ("abc" would be 0).
    for (const DeviceKey& k : kAppSettingKeys) {
        if (app.isMember(k.key) && std::strcmp(k.kind, "number") == 0 && !app[k.key].isInt()) {
            error = std::string("\"") + k.key + "\" in \"appSetting\" must be a whole number";
            return false;
        }
    }
    return true;
}

// "snmp": {"agentx": ADDRESS}, the one key it has.
bool ParseSnmp(const Json::Value& snmp, std::string& agentx, std::string& error) {
    if (snmp.isNull()) return true;
    if (!snmp.isObject()) {
        error = "\"snmp\" must be a JSON object, e.g. {\"agentx\": \"/var/agentx/master\"}";
        return false;
    }
    for (const std::string& key : snmp.getMemberNames()) {
        if (key != "agentx") {
            error = "unknown key " + QuoteText(key) + " in \"snmp\"" + DidYouMean(key, {"agentx"});
            return false;
        }
    }
    const Json::Value& v = snmp["agentx"];
    if (v.isNull()) return true;
    if (!PlainText(v) || !snmp::CheckAgentxAddress(v.asString(), error)) {
        if (!PlainText(v)) error = "\"agentx\" in \"snmp\" must be a non-empty text";
        else error = "\"agentx\" in \"snmp\": " + error;
        return false;
    }
    agentx = v.asString();
    return true;
}

bool CheckProgram(const Json::Value& root, ProgramConfig& out, std::string& error) {
    for (const std::string& key : root.getMemberNames()) {
        if (FindProgramSetting(key) == nullptr) {
            std::vector<std::string> keys = {"devices"};
            for (const ProgramSetting& p : kProgramSettings) keys.push_back(p.key);
            error = "unknown key " + QuoteText(key) + " (beside \"devices\")" + DidYouMean(key, keys);
            return false;
        }
    }
    const Json::Value& hook = root["on_event"];
    if (!hook.isNull()) {
        bool ok = hook.isArray() && !hook.empty();
        for (const Json::Value& part : hook) ok = ok && part.isString() && !part.asString().empty();
        if (!ok) {
            error = "\"on_event\" must be an array of non-empty texts: the program, then its "
                    "arguments";
            return false;
        }
        out.on_event.clear();
        for (const Json::Value& part : hook) out.on_event.push_back(part.asString());
    }
    if (!ReadTextSettings(root, out, error)) return false;
    const Json::Value& require_tls = root["protocol_require_tls"];
    if (!require_tls.isNull()) {
        if (!require_tls.isBool()) {
            error = "\"protocol_require_tls\" must be true or false";
            return false;
        }
        out.protocol_require_tls = require_tls.asBool();
    }
    const Json::Value& mdns = root["mdns"];
    if (!mdns.isNull()) {
        if (!mdns.isBool()) {
            error = "\"mdns\" must be true or false";
            return false;
        }
        out.mdns = mdns.asBool();
    }
    if (!ParseSnmp(root["snmp"], out.snmp_agentx, error)) return false;
    if (!root["mqtt"].isNull()) {
        mqtt::MqttSettings mqtt;
        if (!mqtt::ParseMqttSection(root["mqtt"], mqtt, error)) return false;
        out.mqtt = root["mqtt"];
    }
    if (!root["notify"].isNull()) {
        std::vector<notify::ChannelSettings> channels;
        if (!notify::ParseChannels(root["notify"], {}, channels, error)) return false;
        out.notify = root["notify"];
    }
    RetentionSettings retention;
    if (!ParseRetention(root["history"], retention, RetentionGiven(), error)) return false;
    out.history = root["history"];
    const Json::Value& limit = root["on_event_timeout_ms"];
    if (!limit.isNull()) {
        if (!limit.isInt() || limit.asInt() < 1 || limit.asInt() > kMaxHookTimeoutMs) {
            error = "\"on_event_timeout_ms\" must be a whole number from 1 to " +
                    std::to_string(kMaxHookTimeoutMs);
            return false;
        }
        out.on_event_timeout_ms = limit.asInt();
    }
    return true;
}

// "forced_shutdown": {"low_battery": true, "runtime_below_s": N, "on_battery_for_s": N}.
bool CheckForcedShutdown(const Json::Value& rule, std::string& error) {
    if (rule.isNull()) return true;
    static const std::vector<std::string> kKeys = {"low_battery", "runtime_below_s", "on_battery_for_s"};
    if (!rule.isObject() || rule.empty()) {
        error = "\"forced_shutdown\" must be a JSON object with one or more of \"low_battery\": true, "
                "\"runtime_below_s\": N, \"on_battery_for_s\": N";
        return false;
    }
    for (const std::string& key : rule.getMemberNames()) {
        if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end()) {
            error = "unknown key " + QuoteText(key) + " in \"forced_shutdown\"" + DidYouMean(key, kKeys);
            return false;
        }
        const Json::Value& v = rule[key];
        const bool ok = key == "low_battery" ? v.isBool()
                                             : v.isInt() && v.asInt() >= 0 && v.asInt() <= kMaxRuntimeSeconds;
        if (!ok) {
            error = "\"" + key + "\" in \"forced_shutdown\" must be " +
                    (key == "low_battery" ? std::string("true or false")
                                          : "a whole number of seconds from 0 to " +
                                                std::to_string(kMaxRuntimeSeconds));
            return false;
        }
    }
    return true;
}

bool CheckDevice(const Json::Value& object, uint32_t default_id, DeviceConfig& out,
                 std::string& error) {
    if (!object.isObject()) {
        error = "a device must be a JSON object";
        return false;
    }
    for (const std::string& key : object.getMemberNames()) {
        if (FindLineSetting(key) == nullptr && !Known(kDeviceKeys, key)) {
            std::vector<std::string> keys = KeysOf(kDeviceKeys);
            for (const LineSetting& l : kLineSettings) keys.push_back(l.key);
            error = "unknown key " + QuoteText(key) + DidYouMean(key, keys);
            return false;
        }
    }
    if (!CheckAppSetting(object, error)) return false;
    out.data_id = default_id;
    const Json::Value& id = object["data_id"];
    if (!id.isNull()) {
        if (!id.isUInt()) {
            error = "\"data_id\" must be a whole number from 0 to 4294967295";
            return false;
        }
        out.data_id = id.asUInt();
    }
    const Json::Value& name = object["name"];
    std::string why;
    if (!name.isNull() && (!name.isString() || !CheckDeviceName(name.asString(), why))) {
        error = "\"name\" " + (why.empty() ? "must be " + std::string(kDeviceNameRule) : why);
        return false;
    }
    out.name = name.isString() ? name.asString() : "ups" + std::to_string(out.data_id);
    for (const char* key : {"manufacturer", "model", "attached_devices"}) {
        const Json::Value& text = object[key];
        if (!text.isNull() && (!text.isString() || !CheckDeviceLabel(text.asString(), why))) {
            error = std::string("\"") + key + "\" must be a non-empty text of one line, in "
                    "valid UTF-8, without control characters";
            return false;
        }
    }
    if (!snmp::CheckRatings(object["ratings"], error)) return false;
    const Json::Value& low = object["battery_charge_low"];
    if (!low.isNull() && (!low.isInt() || low.asInt() < 0 || low.asInt() > kMaxChargeLow)) {
        error = "\"battery_charge_low\" must be a whole number from 0 to " +
                std::to_string(kMaxChargeLow);
        return false;
    }
    const Json::Value& runtime_low = object["battery_runtime_low"];
    if (!runtime_low.isNull() &&
        (!runtime_low.isInt() || runtime_low.asInt() < 0 || runtime_low.asInt() > kMaxRuntimeSeconds)) {
        error = "\"battery_runtime_low\" must be a whole number of seconds from 0 to " +
                std::to_string(kMaxRuntimeSeconds);
        return false;
    }
    if (!CheckForcedShutdown(object["forced_shutdown"], error)) return false;
    const Json::Value& unit = object["modbus_unit"];
    if (!unit.isNull() && (!unit.isInt() || unit.asInt() < 1 || unit.asInt() > 247)) {
        error = "\"modbus_unit\" must be a whole number from 1 to 247";
        return false;
    }
    const Json::Value& transport = object["transport"];
    if (!transport.isNull() && !(transport.isString() && (transport.asString() == "rtu" ||
                                                          transport.asString() == "tcp"))) {
        error = "\"transport\" must be \"rtu\" or \"tcp\"" +
                (transport.isString() ? DidYouMean(transport.asString(), {"rtu", "tcp"}) : "");
        return false;
    }
    const Json::Value& port = object["port"];
    if (port.isNull()) {
        error = "\"port\" is missing (a serial device, or HOST:PORT for tcp)";
        return false;
    }
    if (!PlainText(port)) {
        error = "\"port\" must be a non-empty text without control characters";
        return false;
    }
    std::string host, service;
    why.clear();
    const bool tcp = transport.isString() && transport.asString() == "tcp";
    // A serial line named like "10.0.0.5:502" would be opened as a file and fail every
    // round for ever; a device path never has that form.
    if (!tcp && port.asString().front() != '/' &&
        SplitHostPort(port.asString(), host, service)) {
        error = "\"port\" " + QuoteText(port.asString()) +
                " is HOST:PORT but the transport is serial (\"rtu\"); add \"transport\": \"tcp\"";
        return false;
    }
    if (tcp && !SplitHostPort(port.asString(), host, service, &why)) {
        error = "\"port\" of a tcp device must be HOST:PORT with a port from 1 to 65535, not " +
                QuoteText(port.asString()) + " (" + why + ")";
        return false;
    }
    out.settings = object;
    return true;
}

}  // namespace

novex::monitor::LowBatteryLimits BatteryLimitsOf(const DeviceConfig& config) {
    novex::monitor::LowBatteryLimits limits;
    const Json::Value& s = config.settings;
    if (s["battery_charge_low"].isInt()) limits.charge_low = s["battery_charge_low"].asInt();
    if (s["battery_runtime_low"].isInt()) limits.runtime_low_s = s["battery_runtime_low"].asInt();
    return limits;
}

std::string NameKey(const std::string& name) {
    std::string key = name.substr(0, name.find_last_not_of(" \t") + 1);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

bool SplitHostPort(const std::string& text, std::string& host, std::string& port,
                   std::string* why) {
    novex::Endpoint endpoint;
    std::string reason;
    if (!novex::ParseEndpoint(text, novex::kTcpDevice, endpoint, reason)) {
        if (why) *why = reason;
        return false;
    }
    host = endpoint.host;
    port = std::to_string(endpoint.port);
    return true;
}

bool ParseDeviceConfigs(const std::string& text, const std::string& origin,
                        std::vector<DeviceConfig>& out, std::string& error) {
    ProgramConfig ignored;
    return ParseConfig(text, origin, out, ignored, error);
}

bool ParseConfig(const std::string& text, const std::string& origin,
                 std::vector<DeviceConfig>& out, ProgramConfig& program, std::string& error) {
    if (text.size() > kMaxConfigBytes) {
        error = origin + ": larger than " + std::to_string(kMaxConfigBytes >> 20) +
                " MiB, not a configuration";
        return false;
    }
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["rejectDupKeys"] = true;
    // "{...}{...}" is two values, not a first one to poll and a rest to ignore.
    builder["failIfExtra"] = true;
    // Strict JSON but for the comments: a trailing comma is refused as other readers
    // of the file would refuse it.
    builder["allowTrailingCommas"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string parse_error;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &parse_error);
    } catch (const std::exception& e) {
        parse_error = e.what();  // nesting too deep
    }
    if (!parsed) {
        // The reader's report is several lines: the place ("* Line 1, Column 5"), then
        // what is wrong there.
        std::string where = parse_error.substr(0, parse_error.find('\n'));
        if (where.rfind("* ", 0) == 0) where.erase(0, 2);
        std::string what;
        if (parse_error.find('\n') != std::string::npos) {
            const size_t start = parse_error.find_first_not_of(' ', parse_error.find('\n') + 1);
            if (start != std::string::npos)
                what = parse_error.substr(start, parse_error.find('\n', start) - start);
        }
        // A key in the report may hold control characters: shown escaped, it stays one line.
        error = origin + ": not valid JSON: " + EscapeText(where) +
                (what.empty() ? "" : ": " + EscapeText(what));
        return false;
    }
    // An empty "devices" is a service's configuration before its first UPS: nothing is
    // polled until a reload brings one. A bare empty array is more likely a mistake.
    bool may_be_empty = false;
    if (root.isObject() && root.isMember("devices")) {
        if (!CheckProgram(root, program, error)) {
            error = origin + ": " + error;
            return false;
        }
        const Json::Value devices = root["devices"];
        root = devices;
        may_be_empty = true;
    }
    std::vector<Json::Value> objects;
    if (root.isArray()) {
        if (root.empty() && !may_be_empty) {
            error = origin + ": the array lists no device";
            return false;
        }
        for (const Json::Value& v : root) objects.push_back(v);
    } else if (root.isObject()) {
        objects.push_back(root);
    } else {
        error = origin + ": expected a device object or an array of them";
        return false;
    }
    std::set<uint32_t> ids;
    std::map<std::string, std::string> names;  // by NameKey, the name as written
    out.clear();
    for (size_t i = 0; i < objects.size(); ++i) {
        DeviceConfig device;
        if (!CheckDevice(objects[i], static_cast<uint32_t>(i + 1), device, error)) {
            error = origin + ": device " + std::to_string(i + 1) + ": " + error;
            return false;
        }
        if (!ids.insert(device.data_id).second) {
            error = origin + ": device " + std::to_string(i + 1) + ": \"data_id\" " +
                    std::to_string(device.data_id) + " is used twice";
            return false;
        }
        const auto named = names.emplace(NameKey(device.name), device.name);
        if (!named.second) {
            error = origin + ": device " + std::to_string(i + 1) + ": \"name\" " +
                    QuoteText(device.name) + " is the name of another device (" +
                    QuoteText(named.first->second) +
                    "); names must differ by more than case and trailing spaces";
            return false;
        }
        out.push_back(device);
    }
    return true;
}

bool DeviceConfigFromFlags(const Json::Value& flags, DeviceConfig& out, std::string& error) {
    return CheckDevice(flags, 1, out, error);
}

bool LoadDeviceConfigFile(const std::string& path, std::vector<DeviceConfig>& out,
                          ProgramConfig& program, std::string& error) {
    std::string text;
    if (!ReadRegularFile(path, "the configuration file", kMaxConfigBytes, text, error)) {
        error = path + ": " + error;
        return false;
    }
    return ParseConfig(text, path, out, program, error);
}

}  // namespace vimo
