#include "core/address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace novex {

namespace {

bool AllOf(const std::string& text, const char* chars) {
    return !text.empty() && text.find_first_not_of(chars) == std::string::npos;
}

}  // namespace

bool ParseEndpoint(const std::string& text, const EndpointUse& use, Endpoint& out,
                   std::string& why) {
    out = Endpoint();
    std::string host = text, port;
    bool has_port = false;
    if (AllOf(text, "0123456789")) {
        host.clear();
        port = text;
        has_port = true;
    } else if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) {
            why = "expected [IPV6]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        has_port = close + 1 < text.size();
        if (has_port) port = text.substr(close + 2);
        in6_addr v6{};
        if (host.empty()) {
            why = "no host";
            return false;
        }
        if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) {
            why = "not an IPv6 address in the brackets";
            return false;
        }
        out.ipv6 = out.numeric = true;
    } else {
        const size_t colon = text.find(':');
        if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos) {
            why = "an IPv6 address goes in brackets, as [::1]:502";
            return false;
        }
        if (colon != std::string::npos) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
            has_port = true;
        }
    }
    if (!out.ipv6 && !host.empty()) {
        in_addr v4{};
        out.numeric = inet_pton(AF_INET, host.c_str(), &v4) == 1;
        // Digits and dots alone would be looked up as a name when they are no address.
        if (!out.numeric && AllOf(host, "0123456789.")) {
            why = "not an IPv4 address";
            return false;
        }
        if (!out.numeric && !AllOf(host, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                         "0123456789.-_")) {
            why = "not a host name";
            return false;
        }
    }
    if (host.empty()) {
        if (!use.default_host) {
            why = "no host";
            return false;
        }
        host = use.default_host;
        out.numeric = true;
    }
    const std::string range = std::to_string(use.min_port) + "..65535";
    if (!has_port && !use.port_optional) {
        why = "no :PORT";
        return false;
    }
    int value = use.default_port;
    if (has_port) {
        if (!AllOf(port, "0123456789") || port.size() > 5 ||
            (value = std::stoi(port)) < use.min_port || value > 65535) {
            why = "the port must be " + range;
            return false;
        }
    }
    out.host = host;
    out.port = value;
    return true;
}

int BindFailure(const std::string& host, int port) {
    if (port <= 0) return 0;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints,
                    &found) != 0 ||
        !found)
        return 0;
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    const int on = 1;
    int failure = 0;
    if (fd < 0) failure = errno;
    else if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
             bind(fd, found->ai_addr, found->ai_addrlen) != 0)
        failure = errno;
    if (fd >= 0) close(fd);
    freeaddrinfo(found);
    return failure;
}

int OpenListener(const std::string& host, int port, int backlog, int& bound_port, int& failure,
                 std::string& error) {
    failure = 0;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        error = gai_strerror(rc);
        return -1;
    }
    const int fd = socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, backlog) == 0;
    freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    ok = ok && getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) == 0;
    if (!ok) {
        failure = errno;
        error = std::strerror(failure);
        if (fd >= 0) close(fd);
        return -1;
    }
    bound_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                   : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    return fd;
}

}  // namespace novex
