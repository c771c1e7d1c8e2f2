// Which client addresses may connect: IPv4 and IPv6 networks in CIDR form
// ("127.0.0.1/32", "10.0.0.0/8", "::1/128"; an address alone is its own network).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace novex {
namespace mbserver {

class AllowList {
public:
    // Comma- or space-separated networks; false with a one-line error.
    bool Parse(const std::string& text, std::string& error);
    // An empty list allows everyone.
    bool Allows(const sockaddr_storage& peer) const;
    bool empty() const { return networks_.empty(); }

private:
    struct Network {
        bool ipv6;
        uint8_t bytes[16];
        int prefix;
    };
    std::vector<Network> networks_;
};

}  // namespace mbserver
}  // namespace novex
