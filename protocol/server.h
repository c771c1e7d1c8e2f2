// The UPS protocol server: one thread, poll() over the listening socket and every
// client. Each client has its own input line and output buffer, so a slow or silent
// client holds up nobody; answers come from the directory's published states, so no
// client can hold up polling either.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "access/attempt_limiter.h"
#include "core/address.h"
#include "tls/server_tls.h"
#include "protocol/directory.h"
#include "protocol/users.h"

namespace novex {
namespace protocol {

struct ServerOptions {
    std::string address = "127.0.0.1";
    uint16_t port = kUpsProtocolPort;  // 0: any free port (see Server::port())
    // Connections held at once: in all, from one address, from one prefix (an IPv4 /24,
    // an IPv6 /64, all of loopback: access/address_prefix.h). A newcomer to a full one
    // takes the place of its longest idle connection that is not logged in; only when
    // every one there is logged in is the newcomer closed at once.
    size_t max_clients = 64;
    size_t max_clients_per_address = 8;
    size_t max_clients_per_prefix = 16;
    size_t max_line = 1024;        // a longer request line closes the connection
    int idle_timeout_ms = 300000;  // a logged-in client without a whole request this long: closed
    int request_timeout_ms = 10000;  // the same for one not logged in (at most idle_timeout_ms)
    size_t max_output = 1 << 20;   // answers waiting for a client that does not read
    std::string version = "vimohost";  // the answer to VER
    access::LimiterSettings attempts;  // how wrong passwords are slowed down
    std::shared_ptr<tls::ServerTls> tls;  // null: STARTTLS is not offered
    bool require_tls = false;             // no password before STARTTLS
    int handshake_timeout_ms = 10000;     // a TLS handshake not done by then: closed
};

// "ADDR:PORT", "ADDR" (port kUpsProtocolPort), ":PORT" or "[V6ADDR]:PORT" into `options`.
bool ParseListen(const std::string& text, ServerOptions& options, std::string& error);

class Server {
public:
    using Log = std::function<void(const std::string&)>;
    // `directory` must outlive the server. `log` (may be empty) is called on the
    // server's thread with one line per notable event; it never sees a password.
    Server(UpsDirectory& directory, Users users, ServerOptions options, Log log);
    ~Server();  // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens, then serves on a thread of its own. False with a one-line
    // error when the address cannot be used.
    bool Start(std::string& error);
    // The port listened on (the chosen one when 0 was asked for).
    uint16_t port() const { return port_; }
    // Closes every connection and the listening socket; returns once the thread ended.
    void Stop();

private:
    struct Loop;
    UpsDirectory& directory_;
    Users users_;
    ServerOptions options_;
    Log log_;
    access::AttemptLimiter limiter_;
    uint16_t port_ = 0;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};  // a byte on the pipe ends the loop
    std::thread thread_;
};

}  // namespace protocol
}  // namespace novex
