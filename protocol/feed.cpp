#include "protocol/feed.h"

#include <chrono>

#include "common/console.h"
#include "core/command_line.h"
#include "monitor/snapshot.h"

namespace novex {
namespace protocol {

namespace monitor = novex::monitor;

protocol::UpsFigures FiguresOf(const monitor::DeviceSnapshot& snapshot) {
    protocol::UpsFigures figures;
    const std::vector<monitor::Measure>& measures = monitor::Measures();
    for (size_t i = 0; i < snapshot.measures.size() && i < measures.size(); ++i) {
        const monitor::MeasureValue& v = snapshot.measures[i];
        if (!v.present) continue;
        if (measures[i].unit == monitor::Unit::kState)
            figures.run_state = monitor::FormatValue(measures[i], v);
        else
            figures.measures[measures[i].name] = {v.value, measures[i].decimals};
    }
    // A run state reaches the clients as the status words (OB, BYPASS), not as an alarm.
    for (monitor::AlarmIndex a : snapshot.active_alarms)
        if (monitor::Alarms()[a].run_state < 0) figures.alarms.push_back(monitor::Alarms()[a].id);
    return figures;
}

protocol::UpsIdentity IdentityOf(const vimo::DeviceConfig& config) {
    protocol::UpsIdentity identity;
    const Json::Value& s = config.settings;
    identity.manufacturer = s["manufacturer"].asString();
    identity.model = s["model"].asString();
    identity.battery_charge_low = s["battery_charge_low"].isInt() ? s["battery_charge_low"].asInt()
                                                                 : novex::monitor::kDefaultChargeLow;
    identity.battery_runtime_low = s["battery_runtime_low"].asInt();
    return identity;
}

std::unique_ptr<ProtocolFeed> ProtocolFeed::Create(const std::string& listen,
                                                   const std::string& users_file,
                                                   std::string& error) {
    std::unique_ptr<ProtocolFeed> feed(new ProtocolFeed());
    if (!protocol::ParseListen(listen, feed->options_, error)) return nullptr;
    if (!users_file.empty() && !protocol::Users::Load(users_file, feed->users_, error)) {
        return nullptr;
    }
    return feed;
}

bool ProtocolFeed::SetTls(const std::string& certfile, bool require_tls, std::string& error) {
    if (certfile.empty()) {
        if (!require_tls) return true;
        error = "TLS required, but no certificate file (protocol_certfile) for STARTTLS";
        return false;
    }
    novex::tls::TlsSettings settings;
    settings.cert_file = settings.key_file = certfile;
    options_.tls = novex::tls::ServerTls::Create(settings, error);
    options_.require_tls = require_tls;
    return options_.tls != nullptr;
}

ProtocolFeed::~ProtocolFeed() { Stop(); }

bool ProtocolFeed::AddDevice(const vimo::DeviceConfig& device, const std::string& line,
                             std::string& error) {
    if (device.name.empty() || device.name.find_first_of(" \t\r\n\"") != std::string::npos) {
        error = "device name \"" + device.name + "\" is no single word, which UPS "
                "protocol clients need";
        return false;
    }
    directory_.Add({device.name, line}, IdentityOf(device));
    ShutdownWatch watch;
    const Json::Value& rule = device.settings["forced_shutdown"];  // checked by ParseConfig
    watch.rule.low_battery = rule["low_battery"].asBool();
    if (rule.isMember("runtime_below_s")) watch.rule.runtime_below_s = rule["runtime_below_s"].asInt();
    if (rule.isMember("on_battery_for_s")) watch.rule.on_battery_for_s = rule["on_battery_for_s"].asInt();
    watch.identity = IdentityOf(device);
    novex::MutexLock lock(watch_mutex_);
    // A device a reload restarted keeps a forced shutdown already set, as the server does.
    const auto known = watches_.find(device.name);
    if (known != watches_.end()) watch.raised = known->second.raised;
    watches_[device.name] = watch;
    return true;
}

std::string ProtocolFeed::ShutdownReason(const std::string& name,
                                         const novex::protocol::UpsFigures& figures) {
    const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    novex::MutexLock lock(watch_mutex_);
    const auto it = watches_.find(name);
    if (it == watches_.end()) return "";
    ShutdownWatch& w = it->second;
    const bool on_battery = protocol::OnBattery(figures);
    if (!on_battery) w.on_battery_since = -1.0;
    else if (w.on_battery_since < 0) w.on_battery_since = now;
    if (w.raised) return "";
    const auto runtime = figures.measures.find("battery_runtime");
    std::string why;
    if (w.rule.low_battery && protocol::LowBattery(figures, w.identity)) why = "the battery is low";
    else if (w.rule.runtime_below_s >= 0 && on_battery && runtime != figures.measures.end() &&
             runtime->second.value <= w.rule.runtime_below_s)
        why = "runtime " + std::to_string(static_cast<long long>(runtime->second.value)) +
              " s, at or below " + std::to_string(w.rule.runtime_below_s) + " s";
    else if (w.rule.on_battery_for_s >= 0 && on_battery && now - w.on_battery_since >= w.rule.on_battery_for_s)
        why = "on battery for " + std::to_string(w.rule.on_battery_for_s) + " s";
    w.raised = !why.empty();
    return why;
}

bool ProtocolFeed::Start(vimo::SnapshotBoard& board, const std::vector<vimo::DeviceConfig>& devices,
                         std::string& error) {
    for (const vimo::Snapshot& s : board.Snapshots()) {
        vimo::DeviceConfig named;
        named.name = s->device_name;
        for (const vimo::DeviceConfig& device : devices)
            if (device.name == s->device_name) named = device;
        if (!AddDevice(named, s->line, error)) return false;
    }
    board.Subscribe(*this);
    options_.version = novex::VersionLine("vimohost");
    server_ = std::make_unique<protocol::Server>(directory_, users_, options_,
                                                 [](const std::string& line) { vimo::Say("vimohost: protocol server: " + line); });
    if (!server_->Start(error)) {
        server_.reset();
        return false;
    }
    return true;
}

void ProtocolFeed::Stop() {
    if (server_) server_->Stop();
}

std::string ProtocolFeed::Address() const {
    const std::string host =
        options_.address.find(':') == std::string::npos ? options_.address : "[" + options_.address + "]";
    return host + ":" + std::to_string(server_ ? server_->port() : options_.port);
}

// A round loaded from the history is no news of the UPS: it stays stale until a
// polled round completes.
void ProtocolFeed::Take(const vimo::BoardUpdate& update) {
    const monitor::DeviceSnapshot& s = *update.now;
    if (s.stale || s.rounds_completed == 0 || s.measures.empty()) {
        directory_.PublishStale(s.device_name);
        return;
    }
    const novex::protocol::UpsFigures figures = FiguresOf(s);
    // Set before the figures go out, so that the round that meets the condition is
    // read with FSD: secondaries shut down at once, with no primary to wait for.
    const std::string why = ShutdownReason(s.device_name, figures);
    if (!why.empty() && directory_.SetForcedShutdown(s.device_name))
        vimo::Say(vimo::Level::kWarning, "vimohost: [" + s.device_name + "] forced shutdown set for UPS protocol "
                             "clients: " + why + " (\"forced_shutdown\")");
    directory_.Publish(s.device_name, figures);
}

}  // namespace protocol
}  // namespace novex
