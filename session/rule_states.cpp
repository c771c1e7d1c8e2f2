#include "session/rule_states.h"

namespace vimo {

RuleStates::Change RuleStates::Observe(const std::string& rule_id, const std::string& rule,
                                           bool active) {
    bool& state = states_[{rule_id, rule}];
    if (state == active) return Change::kNone;
    state = active;
    return active ? Change::kRaised : Change::kCleared;
}

void RuleStates::Restore(const std::string& rule_id, const std::string& rule, bool active) {
    states_[{rule_id, rule}] = active;
}

}  // namespace vimo
