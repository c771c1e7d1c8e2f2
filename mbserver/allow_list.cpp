#include "mbserver/allow_list.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <sstream>

namespace novex {
namespace mbserver {

namespace {

bool Matches(const uint8_t* a, const uint8_t* b, int prefix) {
    for (int bit = 0; bit < prefix; ++bit) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
        if ((a[bit / 8] & mask) != (b[bit / 8] & mask)) return false;
    }
    return true;
}

}  // namespace

bool AllowList::Parse(const std::string& text, std::string& error) {
    std::string spaced = text;
    for (char& c : spaced)
        if (c == ',') c = ' ';
    std::istringstream in(spaced);
    for (std::string item; in >> item;) {
        const size_t slash = item.find('/');
        const std::string address = item.substr(0, slash);
        Network n{};
        n.ipv6 = address.find(':') != std::string::npos;
        const int bits = n.ipv6 ? 128 : 32;
        n.prefix = bits;
        if (inet_pton(n.ipv6 ? AF_INET6 : AF_INET, address.c_str(), n.bytes) != 1) {
            error = "\"" + item + "\" is no IPv4 or IPv6 network (as 10.0.0.0/8 or ::1/128)";
            return false;
        }
        if (slash != std::string::npos) {
            const std::string prefix = item.substr(slash + 1);
            if (prefix.empty() || prefix.size() > 3 ||
                prefix.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(prefix) > bits) {
                error = "\"" + item + "\": the prefix length must be 0.." + std::to_string(bits);
                return false;
            }
            n.prefix = std::stoi(prefix);
        }
        networks_.push_back(n);
    }
    if (networks_.empty()) {
        error = "no network given";
        return false;
    }
    return true;
}

bool AllowList::Allows(const sockaddr_storage& peer) const {
    if (networks_.empty()) return true;
    uint8_t v4[4];
    const uint8_t* v6 = nullptr;
    bool ipv6 = peer.ss_family == AF_INET6;
    if (ipv6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        v6 = a.s6_addr;
        // An IPv4 client of a dual-stack socket is matched as IPv4.
        if (IN6_IS_ADDR_V4MAPPED(&a)) {
            std::memcpy(v4, v6 + 12, 4);
            ipv6 = false;
        }
    } else if (peer.ss_family == AF_INET) {
        std::memcpy(v4, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, 4);
    } else {
        return false;
    }
    for (const Network& n : networks_)
        if (n.ipv6 == ipv6 && Matches(n.bytes, ipv6 ? v6 : v4, n.prefix)) return true;
    return false;
}

}  // namespace mbserver
}  // namespace novex
