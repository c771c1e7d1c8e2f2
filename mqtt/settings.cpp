#include "mqtt/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "common/regular_file.h"

namespace vimo {
namespace mqtt {

const MqttKey kMqttKeys[17] = {
    {"url", "text", "--mqtt", "URL",
     "the broker: mqtt://[user@]host[:port] (default port 1883) or mqtts://... (TLS, default "
     "port 8883); required in the section",
     0, 0, 0},
    {"prefix", "text", "--mqtt-prefix", "PREFIX",
     "the first topic levels of everything published, e.g. \"site-a/vimohost\" (default "
     "\"vimohost\"); give each instance its own",
     0, 0, 0},
    {"client_id", "text", nullptr, nullptr,
     "the MQTT client id (default \"vimohost-<host name>-<prefix>\")", 0, 0, 0},
    {"keepalive_s", "number", nullptr, nullptr, "seconds between keep-alive pings", 5, 3600, 60},
    {"protocol", "text", nullptr, nullptr, "\"3.1.1\" (the default) or \"5\"", 0, 0, 0},
    {"password_file", "text", nullptr, nullptr,
     "the file whose first line is the password of the URL's user (not readable by group or "
     "others; never logged)",
     0, 0, 0},
    {"ca_file", "text", nullptr, nullptr,
     "mqtts: the PEM CAs the broker's certificate must chain to (default: the system's)", 0, 0, 0},
    {"cert_file", "text", nullptr, nullptr, "a PEM client certificate, with key_file", 0, 0, 0},
    {"key_file", "text", nullptr, nullptr,
     "the client certificate's PEM private key (not readable by group or others)", 0, 0, 0},
    {"discovery", "boolean", nullptr, nullptr,
     "publish Home Assistant discovery configurations (default true)", 0, 0, 0},
    {"discovery_prefix", "text", nullptr, nullptr,
     "Home Assistant's discovery prefix (default \"homeassistant\")", 0, 0, 0},
    {"manufacturer", "text", nullptr, nullptr,
     "the devices' maker in Home Assistant, unless a device has its own \"manufacturer\"", 0, 0, 0},
    {"model", "text", nullptr, nullptr,
     "the devices' model in Home Assistant, unless a device has its own \"model\"", 0, 0, 0},
    {"page_url", "text", nullptr, nullptr,
     "the status page as people reach it, e.g. \"https://ups.example.net:8443/\": each device "
     "links to its view there (default: the top-level \"page_url\", else no link)",
     0, 0, 0},
    {"state_interval_s", "number", nullptr, nullptr,
     "a device's state is published when it changes and at least this often", 1, 86400, 60},
    {"qos_events", "number", nullptr, nullptr, "the QoS of the event topic", 0, 2, 1},
    {"retain_state", "boolean", nullptr, nullptr,
     "retain the state and availability topics (default true)", 0, 0, 0},
};

std::string MqttKeyHelp(const MqttKey& k) {
    if (std::strcmp(k.kind, "number") != 0) return k.help;
    return std::string(k.help) + ", " + std::to_string(k.min) + ".." + std::to_string(k.max) +
           " (default " + std::to_string(k.fallback) + ")";
}

namespace {

const MqttKey* FindKey(const std::string& key) {
    for (const MqttKey& k : kMqttKeys)
        if (key == k.key) return &k;
    return nullptr;
}

bool PlainText(const Json::Value& v) { return v.isString() && !v.asString().empty(); }

// A topic prefix: levels without wildcards, NUL or an empty level, not starting with
// '$' (the broker's own topics).
bool CheckPrefix(const std::string& prefix, std::string& error) {
    const bool bad = prefix.empty() || prefix.find_first_of(std::string("+#\0", 3)) != std::string::npos ||
                     prefix.front() == '/' || prefix.back() == '/' ||
                     prefix.find("//") != std::string::npos || prefix.front() == '$';
    if (bad) error = "must be topic levels without + or #, an empty level or a leading $, e.g. \"site-a/vimohost\"";
    return !bad;
}

}  // namespace

bool ParseMqttUrl(const std::string& url, MqttSettings& out, std::string& error) {
    const auto fail = [&](const std::string& why) {
        error = "MQTT URL " + url + ": " + why + " (mqtt://[user@]host[:port] or mqtts://...)";
        return false;
    };
    std::string rest;
    if (url.compare(0, 7, "mqtt://") == 0) {
        out.tls = false;
        rest = url.substr(7);
    } else if (url.compare(0, 8, "mqtts://") == 0) {
        out.tls = true;
        rest = url.substr(8);
    } else {
        return fail("unknown scheme");
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find_first_of("/?#") != std::string::npos) return fail("no path or query");
    const size_t at = rest.rfind('@');
    out.user.clear();
    if (at != std::string::npos) {
        out.user = rest.substr(0, at);
        if (out.user.empty() || out.user.find(':') != std::string::npos)
            return fail(out.user.empty() ? "empty user" : "a password belongs in password_file");
        rest = rest.substr(at + 1);
    }
    std::string port;
    if (!rest.empty() && rest[0] == '[') {  // [v6 address]
        const size_t close = rest.find(']');
        if (close == std::string::npos) return fail("no ] after the address");
        out.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return fail("port expected after ]");
            port = rest.substr(close + 2);
        }
    } else {
        const size_t colon = rest.rfind(':');
        out.host = rest.substr(0, colon);
        if (colon != std::string::npos) port = rest.substr(colon + 1);
        if (out.host.find(':') != std::string::npos) return fail("an IPv6 address goes in [ ]");
    }
    if (out.host.empty()) return fail("no host");
    out.port = out.tls ? 8883 : 1883;
    if (!port.empty() || (rest.size() > 0 && rest.back() == ':')) {
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return fail("the port must be a number from 1 to 65535");
        out.port = std::stoi(port);
        if (out.port < 1 || out.port > 65535) return fail("the port must be a number from 1 to 65535");
    }
    out.url = url;
    return true;
}

bool ParseMqttSection(const Json::Value& section, MqttSettings& out, std::string& error) {
    if (!section.isObject()) {
        error = "\"mqtt\" must be a JSON object, e.g. {\"url\": \"mqtt://broker.lan\"}";
        return false;
    }
    for (const std::string& key : section.getMemberNames()) {
        const MqttKey* k = FindKey(key);
        const Json::Value& v = section[key];
        const std::string where = "\"" + key + "\" in \"mqtt\"";
        if (!k) {
            error = "unknown key \"" + key + "\" in \"mqtt\"";
            return false;
        }
        if (std::strcmp(k->kind, "text") == 0 && !PlainText(v)) {
            error = where + " must be a non-empty text";
            return false;
        }
        if (std::strcmp(k->kind, "boolean") == 0 && !v.isBool()) {
            error = where + " must be true or false";
            return false;
        }
        if (std::strcmp(k->kind, "number") == 0 && (!v.isInt() || v.asInt() < k->min || v.asInt() > k->max)) {
            error = where + " must be a whole number from " + std::to_string(k->min) + " to " +
                    std::to_string(k->max);
            return false;
        }
    }
    const Json::Value& url = section["url"];
    if (url.isNull()) {
        error = "\"mqtt\" needs \"url\", e.g. \"mqtt://broker.lan\"";
        return false;
    }
    if (!ParseMqttUrl(url.asString(), out, error)) return false;
    const auto text = [&section](const char* key, std::string& target) {
        if (section.isMember(key)) target = section[key].asString();
    };
    text("prefix", out.prefix);
    text("client_id", out.client_id);
    text("ca_file", out.ca_file);
    text("cert_file", out.cert_file);
    text("key_file", out.key_file);
    text("password_file", out.password_file);
    text("discovery_prefix", out.discovery_prefix);
    text("manufacturer", out.manufacturer);
    text("model", out.model);
    text("page_url", out.page_url);
    for (const MqttKey& k : kMqttKeys) {
        if (std::strcmp(k.kind, "number") != 0) continue;
        const int value = section.isMember(k.key) ? section[k.key].asInt() : k.fallback;
        if (std::strcmp(k.key, "keepalive_s") == 0) out.keepalive_s = value;
        if (std::strcmp(k.key, "state_interval_s") == 0) out.state_interval_s = value;
        if (std::strcmp(k.key, "qos_events") == 0) out.qos_events = value;
    }
    out.discovery = section.get("discovery", true).asBool();
    out.retain_state = section.get("retain_state", true).asBool();
    const std::string protocol = section.get("protocol", "3.1.1").asString();
    if (protocol != "3.1.1" && protocol != "5") {
        error = "\"protocol\" in \"mqtt\" must be \"3.1.1\" or \"5\"";
        return false;
    }
    out.protocol = protocol == "5" ? Protocol::kV5 : Protocol::kV311;
    if (!CheckPrefix(out.prefix, error)) {
        error = "\"prefix\" in \"mqtt\" " + error;
        return false;
    }
    if (!CheckPrefix(out.discovery_prefix, error)) {
        error = "\"discovery_prefix\" in \"mqtt\" " + error;
        return false;
    }
    if (out.cert_file.empty() != out.key_file.empty()) {
        error = "\"cert_file\" and \"key_file\" in \"mqtt\" go together";
        return false;
    }
    if (!out.tls && (!out.ca_file.empty() || !out.cert_file.empty())) {
        error = "\"ca_file\", \"cert_file\" and \"key_file\" in \"mqtt\" are for an mqtts:// URL";
        return false;
    }
    if (!out.password_file.empty() && out.user.empty()) {
        error = "\"password_file\" in \"mqtt\" needs a user in the URL (mqtt://user@host)";
        return false;
    }
    if (out.client_id.empty()) out.client_id = DefaultClientId(out.prefix);
    return true;
}

Json::Value MqttWithFlags(const Json::Value& file, const Json::Value& flags) {
    Json::Value out = file.isObject() ? file : Json::Value(flags.isObject() ? Json::objectValue : Json::nullValue);
    if (flags.isObject())
        for (const std::string& key : flags.getMemberNames()) out[key] = flags[key];
    return out;
}

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error) {
    std::string text;
    struct stat info {};
    if (!ReadRegularFile(path, "the MQTT password file", 4096, text, error, &info)) {
        error = path + ": " + error;
        return false;
    }
    if (info.st_mode & (S_IRWXG | S_IRWXO)) {
        error = path + ": the MQTT password file may be read by group or others (chmod 600 it)";
        return false;
    }
    password = text.substr(0, text.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty()) {
        error = path + ": the MQTT password file's first line is empty";
        return false;
    }
    return true;
}

std::string DefaultClientId(const std::string& prefix) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "localhost");
    std::string id = "vimohost-" + std::string(host) + "-" + prefix;
    for (char& c : id)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
    return id;
}

}  // namespace mqtt
}  // namespace vimo
