#include "mbserver/feed.h"

#include "common/console.h"

namespace novex {
namespace mbserver {

uint8_t UnitOf(const vimo::DeviceConfig& device) {
    const Json::Value& s = device.settings;
    for (const char* key : {"modbus_unit", "slave"})
        if (s[key].isInt() && s[key].asInt() >= 1 && s[key].asInt() <= 247)
            return static_cast<uint8_t>(s[key].asInt());
    return 1;
}

std::unique_ptr<ModbusFeed> ModbusFeed::Create(const std::string& listen, const std::string& allow,
                                               const std::string& rtu_line, std::string& error) {
    std::unique_ptr<ModbusFeed> feed(new ModbusFeed());
    feed->tcp_ = !listen.empty();
    if (feed->tcp_ && !ParseListen(listen, feed->options_, error)) return nullptr;
    if (!rtu_line.empty() && !ParseRtuLine(rtu_line, feed->rtu_line_, error)) return nullptr;
    if (!feed->options_.allow.Parse(allow.empty() ? "127.0.0.0/8 ::1/128" : allow, error)) {
        error = "allow-list: " + error;
        return nullptr;
    }
    return feed;
}

ModbusFeed::~ModbusFeed() { Stop(); }

bool ModbusFeed::AddDevice(const vimo::DeviceConfig& device, std::string& error) {
    const uint8_t unit = UnitOf(device);
    MutexLock lock(mutex_);
    for (const auto& [data_id, taken] : unit_of_)
        if (taken == unit && data_id != device.data_id) {
            error = "device " + device.name + " would answer as unit " + std::to_string(unit) +
                    ", which another device has; give it \"modbus_unit\"";
            return false;
        }
    unit_of_[device.data_id] = unit;
    return true;
}

void ModbusFeed::RemoveDevice(uint32_t data_id) {
    MutexLock lock(mutex_);
    const auto found = unit_of_.find(data_id);
    if (found == unit_of_.end()) return;
    units_.Set(found->second, nullptr);
    unit_of_.erase(found);
}

void ModbusFeed::Take(const vimo::Snapshot& snapshot) {
    if (!snapshot) return;
    MutexLock lock(mutex_);
    const auto found = unit_of_.find(snapshot->data_id);
    if (found != unit_of_.end()) units_.Set(found->second, snapshot);
}

bool ModbusFeed::Start(vimo::PublishedState& board, const std::vector<vimo::DeviceConfig>& devices,
                       std::string& error) {
    for (const vimo::DeviceConfig& device : devices)
        if (!AddDevice(device, error)) return false;
    for (const vimo::Snapshot& s : board.Snapshots()) Take(s);
    board.Subscribe([this](const vimo::Snapshot& now, const vimo::Snapshot&) { Take(now); });
    if (!rtu_line_.device.empty()) {
        rtu_ = std::make_unique<RtuSlave>(units_);
        if (!rtu_->Start(rtu_line_, error)) return false;
    }
    if (!tcp_) return true;
    server_ = std::make_unique<Server>(units_, options_, [](const std::string& line) {
        vimo::Say(vimo::Level::kWarning, "vimohost: " + line);
    });
    return server_->Start(error);
}

void ModbusFeed::Stop() {
    if (server_) server_->Stop();
    if (rtu_) rtu_->Stop();
}

ServerStats ModbusFeed::Stats() const {
    ServerStats s = server_ ? server_->Stats() : ServerStats();
    if (rtu_) s.requests += rtu_->requests();
    return s;
}

std::string ModbusFeed::Address() const {
    if (!tcp_) return "";
    const std::string host = options_.address.find(':') != std::string::npos ? "[" + options_.address + "]" : options_.address;
    return host + ":" + std::to_string(server_ ? server_->port() : options_.port);
}

}  // namespace mbserver
}  // namespace novex
