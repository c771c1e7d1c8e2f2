// A UPS's ratings as the configuration gives them ("ratings" of a device), which the
// UPS does not report: the nominal values of the UPS MIB's upsConfig group.
#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

namespace vimo {
namespace snmp {

// Columns: key inside "ratings", the largest value it takes, what it is (for the
// docs and the error lines). Each is a positive number.
struct RatingKey {
    const char* key;
    double max;
    const char* help;
};
constexpr size_t kRatingCount = 6;
extern const RatingKey kRatingKeys[kRatingCount];

// A device's "ratings" object (null: none); false with a one-line error.
bool CheckRatings(const Json::Value& ratings, std::string& error);

}  // namespace snmp
}  // namespace vimo
