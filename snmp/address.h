// What an AgentX master's address and an SNMP context name may be; the configuration
// reads these in every build, with SNMP or without.
#pragma once

#include <string>

namespace vimo {
namespace snmp {

// "/var/agentx/master", "unix:/path", "tcp:HOST:PORT": what --snmp-agentx takes; false
// with a one-line error for anything else.
bool CheckAgentxAddress(const std::string& address, std::string& error);

// Whether `name` can be an SNMP context: 1 to 32 letters, digits, '.', '_' or '-'.
bool ContextNameOk(const std::string& name);

}  // namespace snmp
}  // namespace vimo
