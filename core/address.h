// The one grammar of a network address, for every listener (web, UPS protocol) and
// every Modbus TCP device: HOST:PORT, where HOST is an IPv4 address, an IPv6 address
// in brackets or a host name. What each use may leave out (the host, the port) and
// which ports it takes is a row of its own; the grammar does not change.
#pragma once

#include <string>

namespace novex {

struct Endpoint {
    std::string host;  // without brackets; "" when left out and the use has no default
    int port = -1;
    bool ipv6 = false;     // host is an IPv6 address (given in brackets)
    bool numeric = false;  // host is an IPv4 or IPv6 address, not a name
};

// What a use of the grammar takes. Columns of each row: whether the port may be left
// out (and then `default_port` applies), the smallest port, the host taken when only
// ":PORT" or "PORT" is given (nullptr: a host is required).
struct EndpointUse {
    bool port_optional;
    int default_port;
    int min_port;
    const char* default_host;
};
// The UPS network protocol's port, named here once: as text for help lines, as a number
// for the listener and its hints.
#define NOVEX_UPS_PROTOCOL_PORT "3493"
constexpr int PortNumber(const char* digits, int value = 0) {
    return *digits ? PortNumber(digits + 1, value * 10 + (*digits - '0')) : value;
}
inline constexpr int kUpsProtocolPort = PortNumber(NOVEX_UPS_PROTOCOL_PORT);
static_assert(kUpsProtocolPort > 0 && kUpsProtocolPort < 65536, "a port");

inline constexpr EndpointUse kTcpDevice = {false, 0, 1, nullptr};
inline constexpr EndpointUse kProtocolListener = {true, kUpsProtocolPort, 0, "127.0.0.1"};
inline constexpr EndpointUse kWebListener = {false, 0, 0, "127.0.0.1"};
inline constexpr EndpointUse kModbusListener = {true, 502, 0, "127.0.0.1"};

// Reads `text` for `use`. A text of digits alone is a port. False with what is wrong
// in `why` ("the port must be 1..65535", "an IPv6 address goes in brackets, as
// [::1]:502", ...).
bool ParseEndpoint(const std::string& text, const EndpointUse& use, Endpoint& out,
                   std::string& why);

// Whether a listener could bind `host`:`port` now: 0, or the errno of the bind
// (EADDRINUSE: another socket holds it). A port of 0 (any free one) is always free; a
// host that does not resolve is left to the listener, which says so.
int BindFailure(const std::string& host, int port);

// A non-blocking, close-on-exec TCP socket listening on `host`:`port` (port 0: any
// free one) with `backlog`: its descriptor, and the port it got in `bound_port`; -1
// with `error` (the resolver's or the system's text) and the errno in `failure` (0
// when the host does not resolve).
int OpenListener(const std::string& host, int port, int backlog, int& bound_port, int& failure,
                 std::string& error);

}  // namespace novex
