// The connection to the broker, through libmosquitto (Debian libmosquitto-dev): a C
// library kept by the broker's own project, in Debian and in every distribution, that
// speaks MQTT 3.1.1 and 5, TLS with client certificates, a last will, and queues QoS 1
// messages until the broker has them, across reconnects, without a C++ layer over it.
//
// The connection runs on a thread of its own that drives libmosquitto's loop and
// reconnects with backoff (1 s doubling to 60 s) after any failure, a name that does
// not resolve and a TLS failure included (libmosquitto's own loop thread gives up on
// those). Publish only queues (libmosquitto is used in its thread-safe mode), so no
// caller waits for the network. The will is "offline" on <prefix>/status, retained;
// "online" is published there on every connect.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "mqtt/settings.h"

namespace vimo {
namespace mqtt {

// Whether this build has MQTT at all (it needs libmosquitto).
bool MqttBuilt();

class Client {
public:
    struct Handlers {
        // On the connection's thread after each accepted connect (after "online" is out).
        std::function<void()> connected;
        // A message on a subscribed topic (Home Assistant's status), on that thread.
        std::function<void(const std::string& topic, const std::string& payload)> message;
    };
    // Checks the settings as libmosquitto takes them (TLS files, the password file) and
    // makes the client; nothing connects before Start. Null with a one-line error.
    static std::unique_ptr<Client> Create(const MqttSettings& settings, Handlers handlers,
                                          std::string& error);
    virtual ~Client() = default;

    virtual bool Start(std::string& error) = 0;
    // Queues a message; false (and the message dropped) when QoS 0 finds no connection,
    // or when `qos` > 0 and kMaxQueued messages were queued since the connection went.
    virtual bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain) = 0;
    virtual void Subscribe(const std::string& topic) = 0;
    virtual bool Connected() const = 0;
    // Messages of QoS 1 or 2 queued since the connection went; 0 while connected.
    virtual uint64_t Waiting() const = 0;
    // "offline" on the bridge topic, waits up to `wait_ms` for what is queued to reach
    // the broker, disconnects and ends the thread.
    virtual void Stop(int wait_ms) = 0;

    static constexpr uint64_t kMaxQueued = 100000;
};

}  // namespace mqtt
}  // namespace vimo
