// The Modbus server (--modbus-listen) fed from the board: each device answers under
// its unit id ("modbus_unit", by default its slave id), from the snapshot of its last
// publish. The feed only swaps a pointer per publish: a round never waits for it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/thread_annotations.h"
#include "config/device_config.h"
#include "mbserver/rtu_slave.h"
#include "mbserver/server.h"
#include "mbserver/units.h"
#include "board/snapshot_board.h"

namespace novex {
namespace mbserver {

// The unit id a device answers under: "modbus_unit", else its "slave", else 1.
uint8_t UnitOf(const vimo::DeviceConfig& device);

class ModbusFeed : public vimo::BoardSubscriber {
public:
    // From the settings modbus_listen, modbus_allow (empty: loopback only),
    // modbus_rtu_port and modbus_tls_*: any of the listeners may be left out. Null
    // with a one-line error naming the setting.
    static std::unique_ptr<ModbusFeed> Create(const vimo::ProgramConfig& settings, std::string& error);
    ~ModbusFeed();  // Stop()
    ModbusFeed(const ModbusFeed&) = delete;
    ModbusFeed& operator=(const ModbusFeed&) = delete;

    // Gives each device of the board its unit, subscribes to the board and starts
    // listening. Before any line thread starts. False with a one-line error when two
    // devices would answer under one unit or the address cannot be used.
    bool Start(vimo::SnapshotBoard& board, const std::vector<vimo::DeviceConfig>& devices,
               std::string& error);
    // A device a reload started; false with a one-line error when its unit is taken.
    bool AddDevice(const vimo::DeviceConfig& device, std::string& error);
    // A device a reload removed: its unit answers 0B from now on.
    void RemoveDevice(uint32_t data_id);
    void Stop();
    // "127.0.0.1:1502", with the port chosen when 0 was asked for; "" without TCP.
    std::string Address() const;
    // The same for the Modbus/TCP Security listener.
    std::string SecureAddress() const;
    // The TCP server's, with the RTU slave's requests counted in.
    ServerStats Stats() const;

    // On the publishing line thread: swaps the unit's snapshot.
    void Take(const vimo::BoardUpdate& update) override { Take(update.now); }

private:
    ModbusFeed() = default;
    void Take(const vimo::Snapshot& snapshot);

    ServerOptions options_;
    ServerOptions secure_options_;
    bool tcp_ = false;
    bool secure_ = false;
    RtuLine rtu_line_;
    Units units_;
    Mutex mutex_;
    std::map<uint32_t, uint8_t> unit_of_ GUARDED_BY(mutex_);  // data id -> unit
    std::unique_ptr<Server> server_;
    std::unique_ptr<Server> secure_server_;
    std::unique_ptr<RtuSlave> rtu_;
};

}  // namespace mbserver
}  // namespace novex
