// The devices to poll: each one's JSON object, as its InitSetting will receive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "config/program_settings.h"
#include "monitor/battery_low.h"

namespace vimo {

// The keys of a device object that the host reads itself; the line settings
// (kLineSettings) come on top. Columns: key, kind of value, one line of help.
struct DeviceKey {
    const char* key;
    const char* kind;
    const char* help;
};
extern const DeviceKey kDeviceKeys[15];
constexpr int kMaxChargeLow = 100;  // "battery_charge_low", percent
constexpr int kMaxRuntimeSeconds = 86400;  // "battery_runtime_low" and the "forced_shutdown" times
// The keys inside a device's "appSetting" that the device reads.
extern const DeviceKey kAppSettingKeys[1];
// A configuration file larger than this is refused unread: a few hundred devices take
// well under a tenth of it, and a wrong path (a log, a disk image) is caught at once.
constexpr size_t kMaxConfigBytes = size_t{1} << 20;

struct DeviceConfig {
    uint32_t data_id = 1;
    std::string name;      // for messages
    Json::Value settings;  // the whole object, handed to Init
};

// Reads a configuration text (one device object, a non-empty array of them, or the
// top-level object whose "devices" holds either, or an empty array: no devices yet) and checks what the host itself owns:
// the known keys, "data_id" (unique), "name", "transport", "port", the keys inside
// "appSetting" and the vimohost-wide keys; names unique by NameKey; no HOST:PORT on a
// serial line. The runtime checks the ranges of the port
// keys when the device is initialised. `origin` prefixes the error, which is one line.
bool ParseConfig(const std::string& text, const std::string& origin,
                 std::vector<DeviceConfig>& out, ProgramConfig& program, std::string& error);
// The same, for callers that want the devices alone.
bool ParseDeviceConfigs(const std::string& text, const std::string& origin,
                        std::vector<DeviceConfig>& out, std::string& error);

// Checks one device object given on the command line (or built by --simulate).
bool DeviceConfigFromFlags(const Json::Value& flags, DeviceConfig& out, std::string& error);

// The device's "battery_charge_low" and "battery_runtime_low" (checked by ParseConfig),
// or their defaults.
novex::monitor::LowBatteryLimits BatteryLimitsOf(const DeviceConfig& config);

// Reads FILE (a regular file of at most kMaxConfigBytes) and parses it as above; the
// error names the file.
bool LoadDeviceConfigFile(const std::string& path, std::vector<DeviceConfig>& out,
                          ProgramConfig& program, std::string& error);

// What makes two device names the same: UPS protocol clients, metric queries and people
// read "UPS1", "ups1" and "ups1 " as one UPS, so names are compared with ASCII letters
// folded to lower case and trailing spaces and tabs removed. Two devices of one
// configuration must not share this key.
std::string NameKey(const std::string& name);

// "HOST:PORT" with a port 1..65535 and a host that is an IPv4 address, a name, or an
// IPv6 address in brackets; false, with what is wrong in `why` if given, otherwise.
bool SplitHostPort(const std::string& text, std::string& host, std::string& port,
                   std::string* why = nullptr);

}  // namespace vimo
