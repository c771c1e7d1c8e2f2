#include "history/retention.h"

#include "core/command_line.h"
#include "history/times.h"

namespace vimo {

bool ParseRetention(const Json::Value& history, RetentionSettings& out,
                    const RetentionGiven& given, std::string& error) {
    if (history.isNull()) return true;
    if (!history.isObject()) {
        error = "\"history\" must be an object";
        return false;
    }
    // The keys. Columns: key, a size (else a duration), the setting, set by a flag.
    struct Key {
        const char* key;
        bool size;
        int64_t* target;
        bool given;
    };
    const Key keys[] = {
        {"keep", false, &out.keep_seconds, given.keep},
        {"max_size", true, &out.max_bytes, given.max_size},
        {"keep_events", false, &out.keep_events_seconds, given.keep_events},
        {"keep_aggregates", false, &out.keep_aggregates_seconds, given.keep_aggregates},
    };
    static_assert(sizeof keys / sizeof keys[0] == 4, "retention keys");
    for (const std::string& name : history.getMemberNames()) {
        const Key* key = nullptr;
        for (const Key& k : keys)
            if (name == k.key) key = &k;
        if (!key) {
            error = "\"history\": unknown key " + novex::QuoteText(name) + " (keep, max_size, keep_events, keep_aggregates)";
            return false;
        }
        const Json::Value& v = history[name];
        int64_t n = 0;
        if (!v.isString() || (v.asString() != "0" && !(key->size ? ParseSize(v.asString(), n)
                                                              : ParseDuration(v.asString(), n)))) {
            error = "\"history\": \"" + name + "\" must be " +
                    (key->size ? kSizeForms : kDurationForms) + ", or \"0\"";
            return false;
        }
        if (!key->given) *key->target = n;
    }
    return true;
}

}  // namespace vimo
