// The MQTT face: each device's state, availability and events, and Home Assistant's
// discovery, published to one broker (docs/mqtt.md). A board subscriber with two
// queues of its own: the state keeps each device's latest update (a slow broker sees
// the newest state, never a backlog), the events keep every update that has any, in
// order. Publishing only queues in the client (mqtt/client.h), whose own thread sends,
// so no round waits for the broker.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/thread_annotations.h"
#include "config/device_config.h"
#include "board/board_queue.h"
#include "mqtt/client.h"
#include "mqtt/discovery.h"
#include "mqtt/settings.h"
#include "mqtt/topics.h"

namespace vimo {
namespace mqtt {

class MqttFace : public BoardSubscriber {
public:
    // Makes the client (a TLS file or the password file that cannot be read is an
    // error now), subscribes to the board and starts connecting. Null with one line.
    static std::unique_ptr<MqttFace> Start(const MqttSettings& settings, const std::vector<DeviceConfig>& devices,
                                           SnapshotBoard& board, std::string& error);
    // Handles what is queued, says "offline" for the bridge and disconnects.
    ~MqttFace() override;

    // The devices of the configuration now (a reload): a device that left it has its
    // discovery configurations, state and availability removed (empty retained messages).
    void SetDevices(const std::vector<DeviceConfig>& devices);

    void Take(const BoardUpdate& update) override;
    bool Drain(std::chrono::milliseconds timeout) override;

    MqttFace(const MqttFace&) = delete;
    MqttFace& operator=(const MqttFace&) = delete;

private:
    struct Device {
        DeviceIdentity identity;
        novex::monitor::LowBatteryLimits limits;
        bool discovered = false;   // its discovery configurations were published
        std::string availability;  // "online" or "offline" by the latest update; "": none yet
        std::string body;          // the latest state without its time
        std::string state;         // the whole of it
        std::string sent_availability;  // as last published
        std::string sent_body;
        std::chrono::steady_clock::time_point sent{};  // when the state was last published
    };

    explicit MqttFace(const MqttSettings& settings);
    void HandleState(const BoardUpdate& update) EXCLUDES(mutex_);
    void HandleEvents(const BoardUpdate& update);
    // Everything known again, after a reconnect or Home Assistant's restart.
    void PublishAll() REQUIRES(mutex_);
    void PublishDevice(Device& device, bool again) REQUIRES(mutex_);
    void Remove(const Device& device) REQUIRES(mutex_);

    const MqttSettings settings_;
    const Topics topics_;
    std::unique_ptr<Client> client_;
    std::atomic<bool> republish_{false};  // set on a connect and by Home Assistant's "online"
    bool dropping_ = false;  // events are being dropped (the events queue's thread alone)
    // Held while publishing a device's retained topics, so that a removal never
    // crosses a republish of the same device.
    novex::Mutex mutex_;
    std::map<std::string, Device> devices_ GUARDED_BY(mutex_);  // by name
    // Last: their threads end, with what they hold handled, before the client goes.
    std::unique_ptr<QueuedSubscriber> state_;
    std::unique_ptr<QueuedSubscriber> events_;
};

}  // namespace mqtt
}  // namespace vimo
