// The MQTT face's settings: the "mqtt" section of the configuration file, with --mqtt
// and --mqtt-prefix replacing its "url" and "prefix". One table (kMqttKeys) holds the
// keys; the check of a file, the flags, --help and docs/mqtt.md read it.
#pragma once

#include <string>

#include <json/value.h>

namespace vimo {
namespace mqtt {

// Columns: key in the "mqtt" section; kind ("text", "number", "boolean"); the flag that
// replaces it (nullptr: none) and its value name; help; a number's range and default.
struct MqttKey {
    const char* key;
    const char* kind;
    const char* flag;
    const char* value_name;
    const char* help;
    int min;
    int max;
    int fallback;
};
extern const MqttKey kMqttKeys[17];

// The key's help with its range and default, for a number.
std::string MqttKeyHelp(const MqttKey& key);

enum class Protocol { kV311, kV5 };

struct MqttSettings {
    // From the URL: mqtt://[user@]host[:port] or mqtts://...
    std::string url;
    bool tls = false;
    std::string user;  // "": no login
    std::string host;
    int port = 0;      // 1883 for mqtt://, 8883 for mqtts:// unless given

    std::string prefix = "vimohost";
    std::string client_id;  // "": vimohost-<host name>-<prefix>
    int keepalive_s = 60;
    std::string ca_file;    // mqtts: the CAs the broker's certificate chains to; "": the system's
    std::string cert_file;  // the client certificate, with key_file
    std::string key_file;
    std::string password_file;  // its first line is the password; never logged
    Protocol protocol = Protocol::kV311;
    bool discovery = true;
    std::string discovery_prefix = "homeassistant";
    std::string manufacturer;  // a device's own "manufacturer" wins
    std::string model;         // a device's own "model" wins
    std::string page_url;      // the status page as people reach it; "": no link
    int state_interval_s = 60;  // a device's state at least this often, even unchanged
    int qos_events = 1;
    bool retain_state = true;
};

// Reads mqtt://[user@]host[:port] or mqtts://... into `out`. One line of error otherwise.
bool ParseMqttUrl(const std::string& url, MqttSettings& out, std::string& error);

// Checks the "mqtt" section (null: none) and reads it into `out`: unknown keys, kinds and
// ranges refused, "url" required. One line of error, without the file's name.
bool ParseMqttSection(const Json::Value& section, MqttSettings& out, std::string& error);

// The section with the flags' values over the file's: `flags` holds "url" and "prefix"
// when --mqtt and --mqtt-prefix were given.
Json::Value MqttWithFlags(const Json::Value& file, const Json::Value& flags);

// The password: the first line of `path`, a regular file that neither group nor others
// may read. The error names the file, never what it holds.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error);

// The client id used when none is given: "vimohost-<host name>-<prefix>", each part made
// of letters, digits, '-' and '_'.
std::string DefaultClientId(const std::string& prefix);

}  // namespace mqtt
}  // namespace vimo
