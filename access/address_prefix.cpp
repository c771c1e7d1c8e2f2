#include "access/address_prefix.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

namespace novex {
namespace access {

namespace {

std::string Ipv4Prefix(const unsigned char* a) {
    if (a[0] == 127) return "loopback";
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + ".0/24";
}

}  // namespace

std::string AddressPrefix(const std::string& address) {
    unsigned char bytes[16];
    if (inet_pton(AF_INET, address.c_str(), bytes) == 1) return Ipv4Prefix(bytes);
    if (inet_pton(AF_INET6, address.c_str(), bytes) != 1) return address;
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(bytes, kMapped, sizeof kMapped) == 0) return Ipv4Prefix(bytes + 12);
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (std::memcmp(bytes, kLoopback, sizeof kLoopback) == 0) return "loopback";
    std::memset(bytes + 8, 0, 8);
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, bytes, text, sizeof text);
    return std::string(text) + "/64";
}

}  // namespace access
}  // namespace novex
