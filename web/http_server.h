// The HTTP listener: the router behind an embedded server with fixed limits. It binds
// 127.0.0.1 unless another address is given, serves only what the router answers and
// never reads a file after start (the token file is read once, at start).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "web/state_source.h"

struct mg_context;

namespace novex {
namespace web {

class Router;
class WebAccess;
class TlsFront;
struct FrontContext;

struct ServerOptions {
    std::string listen = "127.0.0.1:8080";  // ADDR:PORT, or PORT for 127.0.0.1; port 0: any free
    std::string token_file;                 // empty: no token
    int threads = 8;                // connections served at once
    int queued_connections = 32;    // accepted connections waiting for a thread
    int request_timeout_ms = 10000; // to receive a request and send the answer
    int max_request_bytes = 8192;   // request line and headers
    int connections_per_address = 4;  // held at once by one client address; the rest are ended
    std::string web_config;         // --web-config: TLS, users, headers; empty: none
    std::function<void(const std::string&)> log;  // notable events (wrong credentials)
};

// Splits "ADDR:PORT" (ADDR an IPv4 address) or "PORT"; false with a one-line error.
bool ParseListen(const std::string& text, std::string& address, int& port, std::string& error);

// Reads the token: the file's first line, without surrounding blanks. Refused when the
// file is readable or writable by others than its owner, or holds no token.
bool ReadTokenFile(const std::string& path, std::string& token, std::string& error);

class HttpServer {
public:
    // Null with a one-line error when the options are bad or the address cannot be bound.
    static std::unique_ptr<HttpServer> Start(const StateSource& source,
                                             const ServerOptions& options, std::string& error);
    ~HttpServer();  // stops listening and waits for requests in progress
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }
    // Whether the address speaks HTTPS (a web configuration with tls_server_config).
    bool https() const { return front_ != nullptr; }
    // "ADDR:PORT" as bound, the port resolved when 0 was asked for.
    std::string address() const { return address_ + ":" + std::to_string(port_); }

    struct Guard;  // the per-address limit (http_server.cpp)

private:
    HttpServer() = default;
    // The users, token and limiter behind the router (web/web_access.h).
    bool StartAccess(const StateSource& source, const ServerOptions& options, const std::string& token,
                     std::string& error);
    std::unique_ptr<WebAccess> access_;
    // HTTPS (tls_server_config): the TLS front on the public address, relaying to the
    // library on loopback.
    bool StartTlsFront(const ServerOptions& options, std::string& error);
    std::unique_ptr<TlsFront> front_;
    std::unique_ptr<FrontContext> front_context_;
    int public_port_ = 0;
    std::unique_ptr<Router> router_;
    std::unique_ptr<Guard> guard_;
    mg_context* context_ = nullptr;
    std::string address_;
    int port_ = 0;
};

}  // namespace web
}  // namespace novex
