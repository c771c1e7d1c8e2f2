// The Modbus TCP server: one thread, poll() over the listening socket and every
// client, framing done here (mbap.h) and the answers by Answer() from the units'
// snapshots. A client holds up nobody: each has its own input and output buffer, a
// request rate, an idle and a request deadline; polling never waits for the server.
//
// libmodbus's modbus_receive() reads one whole request from one socket and blocks
// until it has it, so with it each client needs a thread of its own, and a client
// that sends half a frame holds that thread until libmodbus's own timeout; its
// modbus_reply() answers from one flat mapping, which knows neither units that
// go stale one by one nor the 0B and 02 rules. The MBAP frame is seven bytes of
// header, so it is read here, non-blocking, with every check in one place.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mbserver/allow_list.h"
#include "mbserver/units.h"
#include "tls/server_tls.h"

namespace novex {
namespace mbserver {

struct ServerOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 502;               // 0: any free port (see Server::port())
    AllowList allow;                   // empty: every address
    size_t max_clients = 32;           // more are accepted and closed at once
    double requests_per_second = 100;  // per connection; more wait (are not read)
    double request_burst = 50;         // requests a connection may send at once
    int idle_timeout_ms = 60000;       // no request and nothing sent for this long: closed
    int request_timeout_ms = 5000;     // a frame begun and not complete by then: closed
    size_t max_output = 64 * 1024;     // answers a client leaves unread: stop reading it
    // Modbus/TCP Security: TLS from the first byte, client certificates required and
    // verified (null: plain Modbus TCP). A TLS handshake has the request deadline.
    std::shared_ptr<tls::ServerTls> tls;
    // The roles (the certificate's role extension, OID 1.3.6.1.4.1.50316.802.1) that
    // may read; empty: any verified client, with or without a role.
    std::vector<std::string> roles;
};

// "ADDR:PORT", ":PORT" or "PORT" (127.0.0.1), "[V6ADDR]:PORT"; ADDR alone takes port
// 502, or 802 for `secure` (Modbus/TCP Security).
bool ParseListen(const std::string& text, ServerOptions& options, std::string& error,
                 bool secure = false);

// The role of a client certificate (the UTF8String of its role extension); "" for
// none.
std::string CertificateRole(const std::string& pem);

// What the server has done since it started.
struct ServerStats {
    uint64_t clients = 0;      // connected now
    uint64_t connections = 0;  // accepted in all
    uint64_t refused = 0;      // connections refused: allow-list or client limit
    uint64_t requests = 0;     // requests answered
    uint64_t exceptions = 0;   // answers that were exceptions
    uint64_t errors = 0;       // connections closed for a bad frame or a deadline
};

class Server {
public:
    using Log = std::function<void(const std::string&)>;
    // `units` must outlive the server; `log` (may be empty) gets one line per notable
    // event, on the server's thread.
    Server(const Units& units, ServerOptions options, Log log);
    ~Server();  // Stop()
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens, then serves on a thread of its own. False with a one-line
    // error when the address cannot be used.
    bool Start(std::string& error);
    uint16_t port() const { return port_; }
    const std::string& address() const { return options_.address; }
    void Stop();
    ServerStats Stats() const;

private:
    struct Loop;
    struct Counters {
        std::atomic<uint64_t> clients{0}, connections{0}, refused{0}, requests{0},
            exceptions{0}, errors{0};
    };
    const Units& units_;
    ServerOptions options_;
    Log log_;
    Counters counters_;
    uint16_t port_ = 0;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace mbserver
}  // namespace novex
