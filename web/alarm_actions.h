// What an operator does about a condition the status page shows: one short English line
// per alarm kind that can be acted on (the run states, communication loss, the battery,
// load, temperature and mains alarms), by alarm id; a module's alarm ("module3.fan_fault")
// reads as its kind. The rest get a line by their severity. Kept apart from the alarm
// table, which says what an alarm is, not what to do.
#pragma once

#include <string>

namespace novex {
namespace web {

// The action line for `alarm_id` of `severity` ("critical", "warning", "info").
std::string ActionFor(const std::string& alarm_id, const std::string& severity);

}  // namespace web
}  // namespace novex
