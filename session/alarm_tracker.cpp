#include "session/alarm_tracker.h"

namespace vimo {

AlarmTracker::Change AlarmTracker::Observe(const std::string& rule_id, const std::string& rule,
                                           bool active) {
    bool& state = states_[{rule_id, rule}];
    if (state == active) return Change::kNone;
    state = active;
    return active ? Change::kRaised : Change::kCleared;
}

void AlarmTracker::Restore(const std::string& rule_id, const std::string& rule, bool active) {
    states_[{rule_id, rule}] = active;
}

}  // namespace vimo
