#include "device_config.h"

#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include <json/reader.h>

#include "command_line.h"
#include "line_settings.h"

namespace vimo {

// Unknown keys are refused, so that a misspelt "buad" is not silently polled at the
// default speed.
const DeviceKey kDeviceKeys[6] = {
    {"data_id", "number", "the device's data id (default: its position, 1 for the first)"},
    {"name", "text", "label in messages (default \"ups<data_id>\")"},
    {"transport", "text", "\"rtu\" (serial line, the default) or \"tcp\""},
    {"port", "text", "serial device path, or HOST:PORT for tcp (required)"},
    {kParityKey, "text", "\"N\", \"E\" or \"O\" (default \"N\")"},
    {"appSetting", "object",
     "the device's own settings: {\"b_mode\": 0} switches its alarm rule reporting on; its "
     "default, 1, switches it off"},
};

namespace {

bool CheckDevice(const Json::Value& object, uint32_t default_id, DeviceConfig& out,
                 std::string& error) {
    if (!object.isObject()) {
        error = "a device must be a JSON object";
        return false;
    }
    for (const std::string& key : object.getMemberNames()) {
        bool known = FindLineSetting(key) != nullptr;
        for (const DeviceKey& k : kDeviceKeys) known = known || key == k.key;
        if (!known) {
            error = "unknown key \"" + key + "\"";
            return false;
        }
    }
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
    if (!name.isNull() && (!name.isString() || name.asString().empty())) {
        error = "\"name\" must be a non-empty text";
        return false;
    }
    out.name = name.isString() ? name.asString() : "ups" + std::to_string(out.data_id);
    const Json::Value& transport = object["transport"];
    if (!transport.isNull() && !(transport.isString() && (transport.asString() == "rtu" ||
                                                          transport.asString() == "tcp"))) {
        error = "\"transport\" must be \"rtu\" or \"tcp\"";
        return false;
    }
    const Json::Value& port = object["port"];
    if (port.isNull()) {
        error = "\"port\" is missing (a serial device, or HOST:PORT for tcp)";
        return false;
    }
    if (!port.isString() || port.asString().empty()) {
        error = "\"port\" must be a non-empty text";
        return false;
    }
    std::string host, service;
    if (transport.isString() && transport.asString() == "tcp" &&
        !SplitHostPort(port.asString(), host, service)) {
        error = "\"port\" of a tcp device must be HOST:PORT with a port from 1 to 65535, not \"" +
                port.asString() + "\"";
        return false;
    }
    out.settings = object;
    return true;
}

}  // namespace

bool SplitHostPort(const std::string& text, std::string& host, std::string& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    port = text.substr(colon + 1);
    int64_t n = 0;
    return !host.empty() && novexcli::ParseWhole(port, 1, 65535, n);
}

bool ParseDeviceConfigs(const std::string& text, const std::string& origin,
                        std::vector<DeviceConfig>& out, std::string& error, Json::Value* history) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["rejectDupKeys"] = true;
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
        // The reader's report is several lines; the first names the place.
        const std::string first = parse_error.substr(0, parse_error.find('\n'));
        error = origin + ": not valid JSON: " + first;
        return false;
    }
    if (root.isObject() && root.isMember("devices")) {
        for (const std::string& key : root.getMemberNames())
            if (key != "devices" && key != "history") {
                error = origin + ": unknown key \"" + key + "\" beside \"devices\"";
                return false;
            }
        if (history) *history = root["history"];
        root = Json::Value(root["devices"]);
    }
    std::vector<Json::Value> objects;
    if (root.isArray()) {
        if (root.empty()) {
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
        out.push_back(device);
    }
    return true;
}

bool DeviceConfigFromFlags(const Json::Value& flags, DeviceConfig& out, std::string& error) {
    return CheckDevice(flags, 1, out, error);
}

bool LoadDeviceConfigFile(const std::string& path, std::vector<DeviceConfig>& out,
                          std::string& error, Json::Value* history) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read the configuration file";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = path + ": cannot read the configuration file";
        return false;
    }
    return ParseDeviceConfigs(text.str(), path, out, error, history);
}

}  // namespace vimo
