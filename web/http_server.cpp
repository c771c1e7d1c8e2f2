#include "web/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <civetweb.h>
#include <openssl/crypto.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "web/router.h"
#include "web/tls_front.h"
#include "web/web_access.h"

namespace novex {
namespace web {

struct FrontContext {
    const Router* router;
    std::string secret;
};

namespace {

constexpr size_t kMaxTokenFileBytes = 4096;

// Writes `response` whole; HEAD gets the headers only. Every answer closes the
// connection (keep-alive is off), so a client holds a thread for one request only.
void Send(mg_connection* connection, const Request& request, const Response& response) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       StatusText(response.status) + "\r\nContent-Type: " + response.content_type +
                       "\r\nContent-Length: " + std::to_string(response.body.size()) +
                       "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                       "Referrer-Policy: no-referrer\r\nConnection: close\r\n";
    for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
    head += "\r\n";
    mg_write(connection, head.data(), head.size());
    if (request.method != "HEAD" && !response.body.empty())
        mg_write(connection, response.body.data(), response.body.size());
}

// Answers one request from `peer`.
int Serve(mg_connection* connection, const Router& router, const std::string& peer) {
    const mg_request_info* info = mg_get_request_info(connection);
    Request request;
    request.method = info->request_method ? info->request_method : "";
    request.path = info->local_uri_raw ? info->local_uri_raw : "";
    request.query = info->query_string ? info->query_string : "";
    const char* authorization = mg_get_header(connection, "Authorization");
    request.authorization = authorization ? authorization : "";
    request.peer = peer;
    Response response;
    if (request.path.empty() || request.path[0] != '/') {
        response = ErrorResponse(400, "bad request target");
    } else if (info->content_length > 0 && (request.method == "GET" || request.method == "HEAD")) {
        // Nothing here takes a body; refusing it keeps a large one from being read.
        response = ErrorResponse(400, "no request body is taken");
    } else {
        try {
            response = router.Handle(request, static_cast<int64_t>(std::time(nullptr)));
        } catch (const std::exception& e) {
            response = ErrorResponse(500, e.what());
        }
    }
    Send(connection, request, response);
    return response.status;
}

int Handle(mg_connection* connection, void* data) {
    return Serve(connection, *static_cast<const Router*>(data), mg_get_request_info(connection)->remote_addr);
}

// Behind the HTTPS front: only requests that passed it are served, from the address
// it names; anything else reaching the loopback port (a local user skipping TLS and
// its client certificates) is refused.
int HandleFromFront(mg_connection* connection, void* data) {
    const FrontContext& front = *static_cast<const FrontContext*>(data);
    const char* header = mg_get_header(connection, kFrontHeader);
    const std::string value = header ? header : "";
    const size_t space = value.find(' ');
    // Compared in constant time: a local user timing answers learns nothing of it.
    if (space == std::string::npos || front.secret.size() != space ||
        CRYPTO_memcmp(value.data(), front.secret.data(), space) != 0) {
        Send(connection, Request{}, ErrorResponse(403, "HTTPS only"));
        return 403;
    }
    return Serve(connection, *front.router, value.substr(space + 1));
}

// The library's own messages (a client that went away, a timeout) are not ours to print.
int Quiet(const mg_connection*, const char*) { return 1; }

// Errors the library finds itself (a request too large or malformed) are answered in
// the API's JSON like every other error. Writing them here also keeps the library's
// own error page out, which formats its Date header with gmtime(), unsafe across threads.
int LibraryError(mg_connection* connection, int status, const char* message) {
    Request request;
    Response response = ErrorResponse(status, message ? message : StatusText(status));
    Send(connection, request, response);
    return 0;
}

}  // namespace

bool ParseListen(const std::string& text, std::string& address, int& port, std::string& error) {
    const size_t colon = text.rfind(':');
    address = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const std::string digits = colon == std::string::npos ? text : text.substr(colon + 1);
    in_addr parsed{};
    bool ok = !digits.empty() && digits.size() <= 5 && inet_pton(AF_INET, address.c_str(), &parsed) == 1;
    for (const char c : digits) ok = ok && std::isdigit(static_cast<unsigned char>(c));
    port = ok ? std::atoi(digits.c_str()) : -1;
    if (!ok || port > 65535) {
        error = "listen: expected ADDR:PORT with an IPv4 address, or PORT: " + text;
        return false;
    }
    return true;
}

bool ReadTokenFile(const std::string& path, std::string& token, std::string& error) {
    // Non-blocking, so that a FIFO in its place cannot hold up the start.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st{};
    std::string text(kMaxTokenFileBytes, '\0');
    ssize_t got = -1;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & (S_IRWXG | S_IRWXO)) == 0)
        got = read(fd, text.data(), text.size());
    if (fd >= 0) close(fd);
    if (fd >= 0 && S_ISREG(st.st_mode) && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        error = "token file " + path + ": open to others than its owner (chmod 600 it)";
        return false;
    }
    if (got < 0) {
        error = "token file " + path + ": not a readable file";
        return false;
    }
    text.resize(static_cast<size_t>(got));
    text = text.substr(0, text.find('\n'));
    const size_t first = text.find_first_not_of(" \t\r");
    const size_t last = text.find_last_not_of(" \t\r");
    token = first == std::string::npos ? "" : text.substr(first, last - first + 1);
    if (token.empty()) {
        error = "token file " + path + ": holds no token";
        return false;
    }
    return true;
}

std::unique_ptr<HttpServer> HttpServer::Start(const StateSource& source,
                                              const ServerOptions& options, std::string& error) {
    std::string address;
    int port = 0;
    if (!ParseListen(options.listen, address, port, error)) return nullptr;
    std::string token;
    if (!options.token_file.empty() && !ReadTokenFile(options.token_file, token, error))
        return nullptr;

    std::unique_ptr<HttpServer> server(new HttpServer());
    if (!server->StartAccess(source, options, token, error)) return nullptr;
    // With HTTPS, the library listens on loopback only, behind the TLS front.
    server->address_ = address;
    server->public_port_ = port;
    const std::string ports = server->access_->initial().tls ? std::string("127.0.0.1:0")
                                                             : address + ":" + std::to_string(port);
    const std::string threads = std::to_string(options.threads);
    const std::string queue = std::to_string(options.queued_connections);
    const std::string timeout = std::to_string(options.request_timeout_ms);
    const std::string request_bytes = std::to_string(options.max_request_bytes);
    // No document_root: the library serves no file; every request reaches Handle.
    const char* config[] = {
        "listening_ports", ports.c_str(),
        "num_threads", threads.c_str(),
        "connection_queue", queue.c_str(),
        "listen_backlog", queue.c_str(),
        "request_timeout_ms", timeout.c_str(),
        "max_request_size", request_bytes.c_str(),
        "enable_keep_alive", "no",
        "access_control_allow_origin", "",
        "enable_directory_listing", "no",
        nullptr,
    };
    static std::once_flag library;
    std::call_once(library, [] { mg_init_library(0); });
    mg_callbacks callbacks{};
    callbacks.log_message = Quiet;
    callbacks.http_error = LibraryError;
    mg_init_data init{&callbacks, nullptr, config};
    char text[256] = "";
    unsigned code = 0;
    mg_error_data failure{&code, text, sizeof text};
    server->context_ = mg_start2(&init, &failure);
    if (server->context_ == nullptr) {
        error = "listen " + ports + ": " + (text[0] ? text : "cannot start the HTTP server");
        return nullptr;
    }
    mg_set_request_handler(server->context_, "/", Handle, server->router_.get());
    mg_server_port bound[1];
    if (mg_get_server_ports(server->context_, 1, bound) != 1) {
        error = "listen " + ports + ": no port bound";
        return nullptr;
    }
    server->port_ = bound[0].port;
    if (!server->StartTlsFront(options, error)) return nullptr;
    return server;
}

bool HttpServer::StartAccess(const StateSource& source, const ServerOptions& options,
                             const std::string& token, std::string& error) {
    access_ = WebAccess::Create(token, options.web_config, options.log, error);
    if (!access_) return false;
    router_ = std::make_unique<Router>(source, *access_);
    return true;
}

bool HttpServer::StartTlsFront(const ServerOptions& options, std::string& error) {
    if (!access_->initial().tls) return true;
    auto tls = tls::ServerTls::Create(access_->initial().tls_settings, error);
    if (!tls) {
        error = options.web_config + ": " + error;
        return false;
    }
    FrontOptions front;
    front.address = address_;
    front.port = public_port_;
    front.backend_port = port_;
    front.handshake_timeout_ms = options.request_timeout_ms;  // the request's deadline, TLS included
    front_ = TlsFront::Start(front, std::move(tls), options.log, error);
    if (!front_) return false;
    front_context_ = std::make_unique<FrontContext>(FrontContext{router_.get(), front_->secret()});
    mg_set_request_handler(context_, "/", HandleFromFront, front_context_.get());
    port_ = front_->port();
    return true;
}

HttpServer::~HttpServer() {
    front_.reset();  // no new connections to relay
    if (context_ != nullptr) mg_stop(context_);
}

}  // namespace web
}  // namespace novex
