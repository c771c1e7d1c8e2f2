// A build without libmosquitto: the settings are still read and checked, and asking for
// MQTT says why there is none.
#include "mqtt/client.h"

namespace vimo {
namespace mqtt {

bool MqttBuilt() { return false; }

std::unique_ptr<Client> Client::Create(const MqttSettings&, Handlers, std::string& error) {
    error = "this vimohost was built without MQTT (libmosquitto was not found)";
    return nullptr;
}

}  // namespace mqtt
}  // namespace vimo
