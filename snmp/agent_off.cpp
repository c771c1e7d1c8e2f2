// A build without net-snmp's agent library: the settings are still read, and asking
// for the agent says why there is none.
#include "snmp/address.h"
#include "snmp/agent.h"

namespace vimo {
namespace snmp {

bool SnmpBuilt() { return false; }

std::unique_ptr<SnmpAgent> SnmpAgent::Start(const std::string& address, SnapshotBoard&,
                                            const std::vector<DeviceConfig>&, std::string& error) {
    // The address is judged as in a build with SNMP, so a wrong one reads the same.
    if (!CheckAgentxAddress(address, error)) return nullptr;
    error = "this vimohost was built without SNMP (net-snmp's agent library was not found)";
    return nullptr;
}

}  // namespace snmp
}  // namespace vimo
