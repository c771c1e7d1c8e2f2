// The state of each of the plug-in's own alarm rules (CheckThresholdBool and batch
// checks) of one device, so that the host answers "changed" and stores a raise and a
// clear once each, however often the device repeats the state. These are the reports a
// controller would get; the alarms vimohost itself raises and clears from the record
// are the monitor's (board/device_monitor.h).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vimo {

class RuleStates {
public:
    enum class Change { kNone, kRaised, kCleared };

    // A rule never seen counts as clear: its first active report raises it.
    Change Observe(const std::string& rule_id, const std::string& rule, bool active);
    // Takes a state known from before (the history), without a change.
    void Restore(const std::string& rule_id, const std::string& rule, bool active);

private:
    std::map<std::pair<std::string, std::string>, bool> states_;
};

}  // namespace vimo
