// The AgentX address and context name checks, which the configuration and the command
// line read also in a build without SNMP.
#include "snmp/address.h"

#include <cctype>
#include <string>

namespace vimo {
namespace snmp {

bool CheckAgentxAddress(const std::string& address, std::string& error) {
    const bool path = !address.empty() && address[0] == '/';
    const bool unix_socket = address.rfind("unix:/", 0) == 0;
    const bool tcp = address.rfind("tcp:", 0) == 0 && address.find(':', 4) != std::string::npos &&
                     address.find(':', 4) > 4 && address.find(':', 4) + 1 < address.size();
    bool plain = true;
    for (const char c : address) plain = plain && c > 0x20 && c != 0x7f;
    if ((path || unix_socket || tcp) && plain) return true;
    error = "the AgentX master's address is a socket path (/var/agentx/master), unix:PATH "
            "or tcp:HOST:PORT, not \"" + address + "\"";
    return false;
}

bool ContextNameOk(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
            return false;
    return true;
}

}  // namespace snmp
}  // namespace vimo
