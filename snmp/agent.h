// The UPS MIB served through an AgentX master agent (snmpd), which keeps SNMP's
// versions, communities, users, views and access control: vimohost only answers the
// master. The agent runs on a thread of its own and reads published snapshots only, so
// no SNMP request can delay a poll round. The first device is served in the default
// context and every device under a context named after it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/device_config.h"
#include "board/snapshot_board.h"
#include "snmp/address.h"

namespace vimo {
namespace snmp {

// Whether this build serves SNMP at all (it needs net-snmp's agent library).
bool SnmpBuilt();

// Seconds between the agent's pings of the master, and between attempts to reach it
// while it is away.
constexpr int kAgentxPingSeconds = 5;

class SnmpAgent {
public:
    // Subscribes to the board (before any line thread starts) and starts the agent's
    // thread, which reaches the master by itself: a master that is absent is said
    // once and tried again every kAgentxPingSeconds. False with the error for an
    // address that cannot be one, or a build without SNMP.
    static std::unique_ptr<SnmpAgent> Start(const std::string& address, SnapshotBoard& board,
                                            const std::vector<DeviceConfig>& devices,
                                            std::string& error);
    virtual ~SnmpAgent() = default;
    virtual void Stop() = 0;
};

}  // namespace snmp
}  // namespace vimo
