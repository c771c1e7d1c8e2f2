#include "mqtt/face.h"

#include "common/console.h"
#include "mqtt/state_json.h"

namespace vimo {
namespace mqtt {

namespace {

void Report(const std::string& line) { Say(Level::kWarning, "vimohost: " + line); }

std::string Text(const Json::Value& settings, const char* key) {
    const Json::Value& v = settings[key];
    return v.isString() ? v.asString() : "";
}

}  // namespace

MqttFace::MqttFace(const MqttSettings& settings) : settings_(settings), topics_{settings.prefix} {}

std::unique_ptr<MqttFace> MqttFace::Start(const MqttSettings& settings, const std::vector<DeviceConfig>& devices,
                                          SnapshotBoard& board, std::string& error) {
    std::unique_ptr<MqttFace> face(new MqttFace(settings));
    MqttFace* f = face.get();
    const std::string ha_status = settings.discovery_prefix + "/status";
    Client::Handlers handlers;
    handlers.connected = [f] { f->republish_ = true; };
    // Home Assistant says "online" on its start: it reads the discovery again then.
    handlers.message = [f, ha_status](const std::string& topic, const std::string& payload) {
        if (topic == ha_status && payload == "online") f->republish_ = true;
    };
    face->client_ = Client::Create(settings, std::move(handlers), error);
    if (!face->client_) return nullptr;
    face->SetDevices(devices);
    face->state_ = std::make_unique<QueuedSubscriber>(
        QueuedSubscriber::Options{"MQTT state", QueuedSubscriber::Kind::kLatest, 0, nullptr, Report},
        [f](const BoardUpdate& u) { f->HandleState(u); });
    face->events_ = std::make_unique<QueuedSubscriber>(
        QueuedSubscriber::Options{"MQTT events", QueuedSubscriber::Kind::kEvery, 4096,
                                  [](const BoardUpdate& u) {
                                      return !u.events.empty() || RunStateOf(*u.before) != RunStateOf(*u.now);
                                  },
                                  Report},
        [f](const BoardUpdate& u) { f->HandleEvents(u); });
    if (settings.discovery) face->client_->Subscribe(ha_status);
    if (!face->client_->Start(error)) return nullptr;
    board.Subscribe(*face);
    return face;
}

MqttFace::~MqttFace() {
    state_.reset();
    events_.reset();
    if (client_) client_->Stop(2000);
}

void MqttFace::Take(const BoardUpdate& update) {
    state_->Take(update);
    events_->Take(update);
}

bool MqttFace::Drain(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    return state_->Drain(timeout) &&
           events_->Drain(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
}

void MqttFace::SetDevices(const std::vector<DeviceConfig>& configs) {
    novex::MutexLock lock(mutex_);
    std::map<std::string, Device> now;
    for (const DeviceConfig& config : configs) {
        Device device;
        const auto found = devices_.find(config.name);
        if (found != devices_.end()) device = found->second;
        DeviceIdentity identity{config.name, Text(config.settings, "manufacturer"), Text(config.settings, "model")};
        if (identity.manufacturer != device.identity.manufacturer || identity.model != device.identity.model)
            device.discovered = false;
        device.identity = identity;
        device.limits = BatteryLimitsOf(config);
        now[config.name] = device;
    }
    for (const auto& [name, device] : devices_)
        if (now.count(name) == 0) Remove(device);
    devices_ = std::move(now);
}

void MqttFace::Remove(const Device& device) {
    const std::string& name = device.identity.name;
    if (settings_.discovery)
        for (const DiscoveryMessage& m : DiscoveryConfigs(settings_, device.identity))
            client_->Publish(m.topic, "", 1, true);
    client_->Publish(topics_.State(name), "", 1, true);
    client_->Publish(topics_.Availability(name), "", 1, true);
}

void MqttFace::PublishDevice(Device& d, bool again) {
    if (!client_->Connected()) return;
    const std::string& name = d.identity.name;
    if (settings_.discovery && (again || !d.discovered)) {
        for (const DiscoveryMessage& m : DiscoveryConfigs(settings_, d.identity))
            client_->Publish(m.topic, m.payload, 1, true);
        d.discovered = true;
    }
    if (!d.availability.empty() && (again || d.availability != d.sent_availability)) {
        client_->Publish(topics_.Availability(name), d.availability, 1, settings_.retain_state);
        d.sent_availability = d.availability;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!d.state.empty() &&
        (again || d.body != d.sent_body || now - d.sent >= std::chrono::seconds(settings_.state_interval_s))) {
        // QoS 0: the state is a latest value, sent again on every connect and at least
        // every state_interval_s; an acknowledgement per UPS and round would double the
        // traffic for nothing.
        client_->Publish(topics_.State(name), d.state, 0, settings_.retain_state);
        d.sent_body.swap(d.body);  // the latest body is made afresh by each update
        d.sent = now;
    }
}

void MqttFace::PublishAll() {
    for (auto& [name, device] : devices_) PublishDevice(device, true);
}

void MqttFace::HandleState(const BoardUpdate& update) {
    const novex::monitor::DeviceSnapshot& s = *update.now;
    novex::MutexLock lock(mutex_);
    const auto found = devices_.find(s.device_name);
    if (found != devices_.end()) {
        Device& d = found->second;
        d.availability = s.communication == novex::monitor::Communication::kLost ? "offline" : "online";
        d.body = StateBody(s, d.limits);
        d.state = WithTime(d.body, s.last_round_utc);
    }
    if (client_->Connected() && republish_.exchange(false)) {
        PublishAll();
        return;
    }
    if (found != devices_.end()) PublishDevice(found->second, false);
}

void MqttFace::HandleEvents(const BoardUpdate& update) {
    const novex::monitor::DeviceSnapshot& s = *update.now;
    const std::string topic = topics_.Event(s.device_name);
    std::vector<std::string> events;
    for (const AlarmEvent& e : update.events) events.push_back(EventJson(e));
    const std::string from = RunStateOf(*update.before), to = RunStateOf(s);
    if (!from.empty() && !to.empty() && from != to)
        events.push_back(RunStateEventJson(s.device_name, s.data_id, from, to, s.last_round_utc));
    for (const std::string& event : events) {
        const bool queued = client_->Publish(topic, event, settings_.qos_events, false);
        // Said once a run of drops, and once when they end.
        if (queued == dropping_)
            Say(queued ? Level::kNotice : Level::kError,
                queued ? std::string("vimohost: MQTT: events reach the broker again")
                       : settings_.qos_events == 0
                           ? std::string("vimohost: MQTT: events are dropped while there is no connection (qos_events 0)")
                           : "vimohost: MQTT: " + std::to_string(Client::kMaxQueued) +
                                 " messages wait for the broker; events are dropped until it is back");
        dropping_ = !queued;
    }
}

}  // namespace mqtt
}  // namespace vimo
