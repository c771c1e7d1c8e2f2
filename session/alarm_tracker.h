// The state of each boolean alarm rule of one device, so that a raise and a clear are
// reported once each, however often the device repeats the state.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vimo {

class AlarmTracker {
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
