// The devices to poll: each one's JSON object, as its InitSetting will receive it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

namespace vimo {

// The keys of a device object that the host reads itself; the line settings
// (kLineSettings) come on top. Columns: key, kind of value, one line of help.
struct DeviceKey {
    const char* key;
    const char* kind;
    const char* help;
};
extern const DeviceKey kDeviceKeys[6];

struct DeviceConfig {
    uint32_t data_id = 1;
    std::string name;      // for messages
    Json::Value settings;  // the whole object, handed to Init
};

// Reads a configuration text (one device object or a non-empty array of them) and checks
// what the host itself owns: the known keys, "data_id" (unique), "name", "transport" and
// "port". The runtime checks the ranges of the port keys when the device is initialised.
// `origin` prefixes the error, which is one line.
// The text may also be a program object, {"devices": <object or array>, "history":
// {...}}; then `history`, if given, receives the "history" object (checked by
// ParseRetention).
bool ParseDeviceConfigs(const std::string& text, const std::string& origin,
                        std::vector<DeviceConfig>& out, std::string& error,
                        Json::Value* history = nullptr);

// Checks one device object given on the command line (or built by --simulate).
bool DeviceConfigFromFlags(const Json::Value& flags, DeviceConfig& out, std::string& error);

// Reads FILE and parses it as above; the error names the file.
bool LoadDeviceConfigFile(const std::string& path, std::vector<DeviceConfig>& out,
                          std::string& error, Json::Value* history = nullptr);

// "HOST:PORT" with a non-empty host and a port 1..65535 (IPv6 hosts in brackets).
bool SplitHostPort(const std::string& text, std::string& host, std::string& port);

}  // namespace vimo
