// Home Assistant MQTT discovery: one device per UPS and its entities, each a retained
// configuration at <discovery_prefix>/<component>/<node_id>/<object_id>/config that
// reads the device's state document (mqtt/state_json.h). Every entity is available
// while both the bridge (<prefix>/status) and the UPS (<prefix>/<device>/availability)
// say "online"; the communication sensor follows the bridge alone, so that it can show
// the communication lost.
//
// Ids: node_id = DiscoveryId(prefix) "_" DiscoveryId(device), unique_id = node_id "_"
// key, object_id (in the topic and in default_entity_id) = DiscoveryId(device) "_" key:
// the prefix (which names the instance
// for a fleet) keeps two sites' ups1 apart.
#pragma once

#include <string>
#include <vector>

#include "monitor/measures.h"
#include "mqtt/settings.h"

namespace vimo {
namespace mqtt {

// One kind of entity. Columns: key (a measure id of the unit, one entity per phase or
// string; or a condition of the state document); Home Assistant component;
// device_class, state_class and unit (nullptr: none; a measure's unit when nullptr and
// unit_from_measure); the name of a condition (a measure takes its register's English
// name).
struct EntityRow {
    const char* key;
    const char* component;
    const char* device_class;
    const char* state_class;
    const char* unit;
    const char* name;
};
extern const EntityRow kMeasureEntities[20];
extern const EntityRow kConditionEntities[5];

struct DeviceIdentity {
    std::string name;
    std::string manufacturer;  // "": left out
    std::string model;         // "": left out
};

struct DiscoveryMessage {
    std::string topic;
    std::string payload;  // JSON; empty removes the entity
};

// Every configuration of one device.
std::vector<DiscoveryMessage> DiscoveryConfigs(const MqttSettings& settings, const DeviceIdentity& device);

// A measure's English name, from registers/ups_registers.h ("Input voltage, phase A").
std::string EnglishName(const novex::monitor::Measure& measure);

}  // namespace mqtt
}  // namespace vimo
