// What a reload of the configuration (SIGHUP) stops and starts. One thread polls each
// line (a serial port or a TCP endpoint), so a line is what restarts: a line whose
// devices are the same, in the same order with the same settings, keeps polling
// undisturbed; every other running line stops, and every line of the new configuration
// that is not kept starts. A device added to, removed from or changed on a shared serial
// port thus restarts the port's other devices with it.
#pragma once

#include <string>
#include <vector>

#include "config/device_config.h"

namespace vimo {

// The devices of one line, in configuration order, with their place in the file
// (1-based, for messages).
struct LineConfig {
    std::string key;  // "rtu /dev/ttyUSB0", "tcp 10.0.0.5:502"
    std::vector<DeviceConfig> devices;
    std::vector<size_t> positions;
};

std::vector<LineConfig> GroupByLine(const std::vector<DeviceConfig>& devices);

// Indices into the running lines (keep, stop) and into the wanted ones (start).
struct ReloadPlan {
    std::vector<size_t> keep;
    std::vector<size_t> stop;
    std::vector<size_t> start;
};

ReloadPlan PlanReload(const std::vector<LineConfig>& running, const std::vector<LineConfig>& wanted);

}  // namespace vimo
