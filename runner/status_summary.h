// The short human summary of one round, read from the device's status document.
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

namespace vimo {

// "state 市电状态 | in 220.0/220.1/219.9 V | out ... | load 37/35/36 % | battery 100 % ..."
// Parts the document lacks are left out; `alarms` are named after "alarms".
std::string SummarizeDocument(const Json::Value& document);

// Names of the active alarms the document shows: the unit alarm sections' and the
// modules' "AlertArray" members that are true, in key order, each name once (the
// bit and the register sections name some alarms alike).
std::vector<std::string> DocumentAlarms(const Json::Value& document);

}  // namespace vimo
