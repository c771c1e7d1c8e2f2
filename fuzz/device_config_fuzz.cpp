// vimohost's configuration file, parsed from any text, and a reload from one file to
// another: the input is the running file, a form feed, then the file read at the reload.
// Properties: no exception escapes; a refusal is one line that begins with the file's
// name; each device of an accepted file (an empty "devices" list waits for a reload)
// has a name every face can carry, an object of settings and its own id; a reload plan
// stops or keeps each running line once, and keeps or starts each wanted line once.
#include <set>
#include <string>
#include <vector>

#include "config/device_config.h"
#include "config/device_names.h"
#include "fuzz/fuzz_input.h"
#include "poll/reload_plan.h"

using novexfuzz::Fail;

namespace {

// Parses one file; false when it is refused (after checking the refusal).
bool Parse(const std::string& text, std::vector<vimo::DeviceConfig>& devices) {
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
        return false;
    }
    std::set<uint32_t> ids;
    std::string why;
    for (const vimo::DeviceConfig& device : devices) {
        if (!vimo::CheckDeviceName(device.name, why)) Fail("a name no face can carry");
        if (!device.settings.isObject()) Fail("a device whose settings are no object");
        if (!ids.insert(device.data_id).second) Fail("a data id used twice");
    }
    return true;
}

// Each index below `count` exactly once in `a` and `b` together.
bool EachOnce(const std::vector<size_t>& a, const std::vector<size_t>& b, size_t count) {
    std::vector<int> seen(count, 0);
    for (const std::vector<size_t>* list : {&a, &b})
        for (size_t i : *list) {
            if (i >= count) return false;
            ++seen[i];
        }
    for (int n : seen)
        if (n != 1) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    novexfuzz::Input input(data, size);
    const std::string before = input.Until('\f');
    const bool reload = !input.empty();
    const std::string after = input.Rest();
    std::vector<vimo::DeviceConfig> running_devices, wanted_devices;
    if (!Parse(before, running_devices) || !reload || !Parse(after, wanted_devices)) return 0;
    const std::vector<vimo::LineConfig> running = vimo::GroupByLine(running_devices);
    const std::vector<vimo::LineConfig> wanted = vimo::GroupByLine(wanted_devices);
    const vimo::ReloadPlan plan = vimo::PlanReload(running, wanted);
    if (!EachOnce(plan.keep, plan.stop, running.size())) Fail("a running line kept or stopped twice");
    if (plan.keep.size() + plan.start.size() != wanted.size())
        Fail("a wanted line neither kept nor started");
    for (size_t k : plan.keep) {
        bool found = false;
        for (const vimo::LineConfig& line : wanted) found = found || line.key == running[k].key;
        if (!found) Fail("a kept line the new file does not have");
    }
    return 0;
}
