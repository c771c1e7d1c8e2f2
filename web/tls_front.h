// HTTPS in front of the embedded HTTP server: a thread of its own that accepts TLS
// connections on the public address, does the handshake and reads the request head
// without blocking anyone, and relays each whole request, and its answer, to the HTTP
// server on a loopback port. A client that trickles its handshake or its head holds
// no thread of the HTTP server, and its deadline runs from its connection. Debian's
// build of the HTTP library loads OpenSSL 1.1 names at run time and cannot do TLS
// with OpenSSL 3, hence this front; it also keeps handshakes off the HTTP workers.
//
// Each request reaching the HTTP server carries a header with a secret of this
// process and the client's address, so that the server knows the client and refuses
// whatever reaches its loopback port without passing here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tls/server_tls.h"

namespace novex {
namespace web {

// The header the front adds: "<secret> <address>".
constexpr const char* kFrontHeader = "X-Vimohost-Front";

struct FrontOptions {
    std::string address;  // IPv4 to listen on
    int port = 0;         // 0: any free
    int backend_port = 0;  // the HTTP server on 127.0.0.1
    // Connections held at once: in all, from one address, from one prefix (an IPv4 /24,
    // all of loopback: access/address_prefix.h). A newcomer to a full one takes the
    // place of the longest-waiting connection there whose request has not been passed
    // on yet; only when every one there is being answered is the newcomer refused.
    size_t max_connections = 64;
    size_t max_per_address = 16;
    size_t max_per_prefix = 32;
    // Requests passed on to the HTTP server at once (each holds one of its threads
    // while it is answered), from one address and from one prefix; the rest wait here,
    // holding no thread. Only a whole request head is passed on.
    size_t relayed_per_address = 2;
    size_t relayed_per_prefix = 4;
    int request_timeout_ms = 10000;  // the handshake and the whole request head, from the connection
    int idle_timeout_ms = 15000;     // nothing relayed this long while answering: closed
};

class TlsFront {
public:
    using Log = std::function<void(const std::string&)>;
    // Null with one line in `error` when the address cannot be bound.
    static std::unique_ptr<TlsFront> Start(const FrontOptions& options, std::shared_ptr<tls::ServerTls> tls,
                                           Log log, std::string& error);
    ~TlsFront();  // stops the thread, closes every connection
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

    int port() const { return port_; }
    const std::string& secret() const { return secret_; }

private:
    struct Loop;
    TlsFront() = default;
    void Run();

    FrontOptions options_;
    std::shared_ptr<tls::ServerTls> tls_;
    Log log_;
    std::string secret_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
};

}  // namespace web
}  // namespace novex
