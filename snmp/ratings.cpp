#include "snmp/ratings.h"

#include <cmath>
#include <cstdio>

namespace vimo {
namespace snmp {

const RatingKey kRatingKeys[kRatingCount] = {
    {"input_voltage", 1000, "nominal input voltage (V)"},
    {"input_frequency", 400, "nominal input frequency (Hz)"},
    {"output_voltage", 1000, "nominal output voltage (V)"},
    {"output_frequency", 400, "nominal output frequency (Hz)"},
    {"output_va", 1e8, "rated output apparent power (VA)"},
    {"output_power", 1e8, "rated output real power (W)"},
};

bool CheckRatings(const Json::Value& ratings, std::string& error) {
    if (ratings.isNull()) return true;
    if (!ratings.isObject()) {
        error = "\"ratings\" must be a JSON object, e.g. {\"output_va\": 30000}";
        return false;
    }
    for (const std::string& key : ratings.getMemberNames()) {
        const RatingKey* found = nullptr;
        for (const RatingKey& k : kRatingKeys)
            if (key == k.key) found = &k;
        if (found == nullptr) {
            error = "unknown key \"" + key + "\" in \"ratings\"";
            return false;
        }
        const Json::Value& v = ratings[key];
        if (!v.isNumeric() || !std::isfinite(v.asDouble()) || v.asDouble() <= 0 ||
            v.asDouble() > found->max) {
            char max[32];
            std::snprintf(max, sizeof max, "%.0f", found->max);
            error = "\"" + key + "\" in \"ratings\" must be a number above 0, at most " + max;
            return false;
        }
    }
    return true;
}

}  // namespace snmp
}  // namespace vimo
