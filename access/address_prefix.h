// The prefix a client address counts under, for the caps that one host must not be
// able to spread over many addresses (connections, password attempts):
//   - an IPv4 address: its /24 ("10.1.2.0/24");
//   - an IPv6 address: its /64 ("2001:db8:1:2::/64"); an IPv4-mapped one as IPv4;
//   - every loopback address (127/8 and ::1): the one prefix "loopback". Any local user
//     may use all of 127/8, so a loopback address tells local users apart no better
//     than the machine itself does.
// Anything else (not an address) counts as a prefix of its own.
#pragma once

#include <string>

namespace novex {
namespace access {

std::string AddressPrefix(const std::string& address);

}  // namespace access
}  // namespace novex
