// Topic names. A device's name becomes one topic level as it is, unless MQTT cannot
// carry it there: a name that is empty, holds '+', '#', '/' or NUL, or starts with '$'
// (the broker's own topics) has each such byte replaced by '_' and "-" and eight hex
// digits of a hash of the whole name appended, so that "ups+1" and "ups#1" stay apart
// ("ups_1-1c4f0a2e"). Home Assistant's ids (node_id, object_id, unique_id) allow only
// letters, digits, '_' and '-': the same rule with that alphabet.
#pragma once

#include <string>

#include "mqtt/settings.h"

namespace vimo {
namespace mqtt {

// `name` as one topic level (see above).
std::string TopicLevel(const std::string& name);
// `text` as a Home Assistant id (see above).
std::string DiscoveryId(const std::string& text);

// The topics of one bridge and its devices.
struct Topics {
    std::string prefix;
    // <prefix>/status: "online" while connected, the will's "offline" otherwise.
    std::string Bridge() const { return prefix + "/status"; }
    std::string Device(const std::string& device) const { return prefix + "/" + TopicLevel(device); }
    std::string State(const std::string& device) const { return Device(device) + "/state"; }
    std::string Availability(const std::string& device) const { return Device(device) + "/availability"; }
    std::string Event(const std::string& device) const { return Device(device) + "/event"; }
};

}  // namespace mqtt
}  // namespace vimo
