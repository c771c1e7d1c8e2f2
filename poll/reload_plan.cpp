#include "poll/reload_plan.h"

namespace vimo {

namespace {

bool SameDevices(const LineConfig& a, const LineConfig& b) {
    if (a.key != b.key || a.devices.size() != b.devices.size()) return false;
    for (size_t i = 0; i < a.devices.size(); ++i) {
        const DeviceConfig& x = a.devices[i];
        const DeviceConfig& y = b.devices[i];
        if (x.data_id != y.data_id || x.name != y.name || x.settings != y.settings) return false;
    }
    return true;
}

}  // namespace

std::vector<LineConfig> GroupByLine(const std::vector<DeviceConfig>& devices) {
    std::vector<LineConfig> lines;
    for (size_t i = 0; i < devices.size(); ++i) {
        const Json::Value& s = devices[i].settings;
        const std::string key = s.get("transport", "rtu").asString() + " " + s["port"].asString();
        LineConfig* line = nullptr;
        for (LineConfig& l : lines)
            if (l.key == key) line = &l;
        if (!line) {
            lines.push_back(LineConfig{key, {}, {}});
            line = &lines.back();
        }
        line->devices.push_back(devices[i]);
        line->positions.push_back(i + 1);
    }
    return lines;
}

ReloadPlan PlanReload(const std::vector<LineConfig>& running, const std::vector<LineConfig>& wanted) {
    ReloadPlan plan;
    std::vector<bool> wanted_kept(wanted.size(), false);
    for (size_t r = 0; r < running.size(); ++r) {
        bool kept = false;
        for (size_t w = 0; w < wanted.size() && !kept; ++w) {
            if (!wanted_kept[w] && SameDevices(running[r], wanted[w])) {
                wanted_kept[w] = true;
                kept = true;
            }
        }
        (kept ? plan.keep : plan.stop).push_back(r);
    }
    for (size_t w = 0; w < wanted.size(); ++w)
        if (!wanted_kept[w]) plan.start.push_back(w);
    return plan;
}

}  // namespace vimo
