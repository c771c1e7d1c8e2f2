// One configured device of a loaded plug-in, with the host side it talks to: created
// and initialised from its configuration, polled one round at a time over a line,
// asked for its status document, or handed a stored round.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/device_config.h"
#include "session/device_services.h"
#include "modbus/modbus_line.h"

namespace vimo {

class HistoryStore;
class PluginLibrary;
struct StoredRound;

struct RoundResult {
    bool completed = false;
    bool port_unavailable = false;  // nothing was exchanged: the port could not be opened
    std::string error;
    double seconds = 0.0;  // RefreshStatus to the end of the round (or its failure)
    double wire_seconds = 0.0;  // what its exchanges take on a serial line's wire, once each
    // `stop` came between two exchanges (or, as the poller sees it, before a failed
    // exchange ended): neither completed nor failed.
    bool stopped = false;
};

class DeviceSession {
public:
    // Creates the device, sets its data id and initialises it with its configuration.
    // Null with a one-line error when the device refuses the configuration.
    static std::unique_ptr<DeviceSession> Create(const PluginLibrary& plugin,
                                                 const DeviceConfig& config,
                                                 HistoryStore* history, std::string& error);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // One poll round: RefreshStatus, then each request the device asks for, performed
    // on `line` after the device's call has returned, until the round completes, an
    // exchange fails (then on_error) or `stop`, if given, is set (the device is left
    // as it is).
    RoundResult Poll(ModbusLine& line, const std::atomic<bool>* stop = nullptr);

    // Offers a stored round through LoadFromCache. The round completion that follows
    // stores nothing, reports no alarm, and stamps the record with the stored time.
    bool Replay(const StoredRound& round, std::string& error);

    // The status document text (command 801), growing the buffer when told to.
    bool Document(std::string& text, std::string& error);

    LineSettings Line() const;
    int slave() const { return device_->port_settings.slave; }
    int interval_ms() const { return device_->port_settings.interval_ms; }
    const DeviceConfig& config() const { return config_; }
    DeviceServices& services() { return *services_; }
    SPModbus& device() { return *device_; }

private:
    DeviceSession() = default;

    DeviceConfig config_;
    std::unique_ptr<DeviceServices> services_;
    std::shared_ptr<VimoController> controller_;
    SPModbus* device_ = nullptr;  // owned: deleted by the destructor
    size_t document_size_ = 0;  // of the last status document
    uint8_t bits_[SPModbus::kMaxBits] = {};
    uint16_t registers_[SPModbus::kMaxRegisters] = {};
};

}  // namespace vimo
