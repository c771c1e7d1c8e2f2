#include "mbserver/feed.h"

#include <sstream>

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

std::unique_ptr<ModbusFeed> ModbusFeed::Create(const vimo::ProgramConfig& settings, std::string& error) {
    std::unique_ptr<ModbusFeed> feed(new ModbusFeed());
    const auto fail = [&error](const char* key, const std::string& why) {
        error = std::string("\"") + key + "\": " + why;
        return nullptr;
    };
    feed->tcp_ = !settings.modbus_listen.empty();
    feed->secure_ = !settings.modbus_tls_listen.empty();
    if (feed->tcp_ && !ParseListen(settings.modbus_listen, feed->options_, error))
        return fail("modbus_listen", error);
    const std::string allow = settings.modbus_allow.empty() ? "127.0.0.0/8 ::1/128" : settings.modbus_allow;
    if (!feed->options_.allow.Parse(allow, error)) return fail("modbus_allow", error);
    if (!settings.modbus_rtu_port.empty() && !ParseRtuLine(settings.modbus_rtu_port, feed->rtu_line_, error))
        return fail("modbus_rtu_port", error);
    if (!feed->secure_) {
        if (!settings.modbus_tls_certfile.empty() || !settings.modbus_tls_ca.empty() || !settings.modbus_tls_roles.empty())
            return fail("modbus_tls_listen", "missing, while other modbus_tls_ settings are given");
        return feed;
    }
    ServerOptions& secure = feed->secure_options_;
    secure.allow = feed->options_.allow;
    if (!ParseListen(settings.modbus_tls_listen, secure, error, true)) return fail("modbus_tls_listen", error);
    if (settings.modbus_tls_certfile.empty() || settings.modbus_tls_ca.empty())
        return fail("modbus_tls_listen", "needs modbus_tls_certfile and modbus_tls_ca (client certificates are required)");
    tls::TlsSettings tls;
    tls.cert_file = tls.key_file = settings.modbus_tls_certfile;
    tls.client_auth = tls::ClientAuth::kRequireAndVerify;
    tls.client_ca_file = settings.modbus_tls_ca;
    secure.tls = tls::ServerTls::Create(tls, error);
    if (!secure.tls) return fail("modbus_tls_certfile", error);
    std::istringstream roles(settings.modbus_tls_roles);
    for (std::string role; roles >> role;) secure.roles.push_back(role);
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

bool ModbusFeed::Start(vimo::SnapshotBoard& board, const std::vector<vimo::DeviceConfig>& devices,
                       std::string& error) {
    for (const vimo::DeviceConfig& device : devices)
        if (!AddDevice(device, error)) return false;
    for (const vimo::Snapshot& s : board.Snapshots()) Take(s);
    board.Subscribe(*this);
    if (!rtu_line_.device.empty()) {
        rtu_ = std::make_unique<RtuSlave>(units_);
        if (!rtu_->Start(rtu_line_, error)) return false;
    }
    const auto log = [](const std::string& line) { vimo::Say(vimo::Level::kWarning, "vimohost: " + line); };
    if (secure_) {
        secure_server_ = std::make_unique<Server>(units_, secure_options_, log);
        if (!secure_server_->Start(error)) return false;
    }
    if (!tcp_) return true;
    server_ = std::make_unique<Server>(units_, options_, log);
    return server_->Start(error);
}

void ModbusFeed::Stop() {
    if (server_) server_->Stop();
    if (secure_server_) secure_server_->Stop();
    if (rtu_) rtu_->Stop();
}

ServerStats ModbusFeed::Stats() const {
    ServerStats s = server_ ? server_->Stats() : ServerStats();
    if (secure_server_) {
        const ServerStats t = secure_server_->Stats();
        s.clients += t.clients;
        s.connections += t.connections;
        s.refused += t.refused;
        s.requests += t.requests;
        s.exceptions += t.exceptions;
        s.errors += t.errors;
    }
    if (rtu_) s.requests += rtu_->requests();
    return s;
}

namespace {

std::string Where(const ServerOptions& options, const std::unique_ptr<Server>& server) {
    const std::string host = options.address.find(':') != std::string::npos ? "[" + options.address + "]" : options.address;
    return host + ":" + std::to_string(server ? server->port() : options.port);
}

}  // namespace

std::string ModbusFeed::Address() const { return tcp_ ? Where(options_, server_) : ""; }

std::string ModbusFeed::SecureAddress() const { return secure_ ? Where(secure_options_, secure_server_) : ""; }

}  // namespace mbserver
}  // namespace novex
