// vimohost's configuration file, parsed from any text. Properties: no exception
// escapes; a refusal is one line that begins with the file's name; each device of an
// accepted file (an empty "devices" list waits for a reload) has a name, an object of
// settings and its own id.
#include <set>
#include <string>
#include <vector>

#include "config/device_config.h"
#include "fuzz/fuzz_input.h"

using novexfuzz::Fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<vimo::DeviceConfig> devices;
    vimo::ProgramConfig program;
    std::string error;
    bool accepted = false;
    try {
        accepted = vimo::ParseConfig(text, "ups.json", devices, program, error);
    } catch (...) {
        Fail("an exception escaped the configuration parser");
    }
    if (!accepted) {
        if (error.compare(0, 10, "ups.json: ") != 0) Fail("a refusal that names no file");
        if (error.find_first_of("\r\n") != std::string::npos) Fail("a refusal of several lines");
        return 0;
    }
    std::set<uint32_t> ids;
    for (const vimo::DeviceConfig& device : devices) {
        if (device.name.empty()) Fail("a device without a name");
        if (!device.settings.isObject()) Fail("a device whose settings are no object");
        if (!ids.insert(device.data_id).second) Fail("a data id used twice");
    }
    return 0;
}
