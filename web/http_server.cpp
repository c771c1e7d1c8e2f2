#include "web/http_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <civetweb.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "access/address_prefix.h"
#include "core/address.h"
#include "common/hints.h"
#include "core/thread_annotations.h"
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

// Runs once the request line and headers are in, before any body byte is read. Other
// methods and any request with a body are answered here, and the library is told
// (by a negative return) to close at once: for an answer it counts as given (a
// positive one) it would first read and drop the body, so a client that trickles a
// huge Content-Length would keep the thread as long as it liked.
void Answering(const mg_connection* connection);  // below, with the guard

int BeforeBody(mg_connection* connection) {
    Answering(connection);
    const mg_request_info* info = mg_get_request_info(connection);
    const std::string method = info && info->request_method ? info->request_method : "";
    Request request;
    request.method = method;
    Response response;
    // POST too, on the page's one button's path; like the others it takes no body.
    const bool post = method == "POST" && info->local_uri_raw && std::strcmp(info->local_uri_raw, kNotifyTestPath) == 0;
    if (method != "GET" && method != "HEAD" && !post)
        response = MethodNotAllowedResponse();
    else if (info->content_length > 0 || mg_get_header(connection, "Transfer-Encoding"))
        response = ErrorResponse(413, "no request body is taken: the server is read-only");
    else
        return 0;  // on to Handle
    Send(connection, request, response);
    return -1;
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
    const char* accept_encoding = mg_get_header(connection, "Accept-Encoding");
    request.accept_encoding = accept_encoding ? accept_encoding : "";
    request.peer = peer;
    const char* requested_with = mg_get_header(connection, "X-Requested-With");
    request.requested_with = requested_with ? requested_with : "";
    Response response;
    if (request.path.empty() || request.path[0] != '/') {
        response = ErrorResponse(400, "bad request target");
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
    // The library refuses methods it does not know (TRACE, ...) as a bad request; for a
    // read-only server the method alone is the reason.
    const mg_request_info* info = mg_get_request_info(connection);
    const std::string method = info && info->request_method ? info->request_method : "";
    if (status == 400 && !method.empty() && method != "GET" && method != "HEAD")
        response = MethodNotAllowedResponse();
    Send(connection, request, response);
    return 0;
}

// Whether another socket holds ADDR:PORT, which the library's error does not say in
// a form to test.
bool Taken(const std::string& address, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    const bool parsed = inet_pton(AF_INET, address.c_str(), &where.sin_addr) == 1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const bool taken = parsed && port > 0 &&
                       bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 &&
                       errno == EADDRINUSE;
    close(fd);
    return taken;
}

}  // namespace

// The per-address limit. The library has no hook between accepting a connection and
// reading from it, and a thread that reads a request line byte by byte is held until
// the request deadline: enough such connections from one client would hold every
// thread. So while enough threads are busy that one address could hold too many,
// every connection a thread takes up first looks over the server's connections (its
// sockets by their local port) and shuts down those of any address, or any prefix
// (access/address_prefix.h: a /24, or all of loopback), beyond its limit:
// their threads see the end at once. It works on a duplicate of each descriptor,
// checked again before the shutdown, so that a number the library closed and reused
// meanwhile is never touched.
struct HttpServer::Guard {
    std::atomic<int> port{0};  // 0 until bound: nothing is swept
    int per_address = 4;
    int per_prefix = 4;  // many addresses of one host hold no more threads than this
    std::atomic<int> busy{0};  // connections a thread has taken up
    novex::Mutex sweeping;  // one sweep at a time: two would shut down the same excess twice
    // The connections the last sweep saw, by peer address and port: since when, and
    // whether their request was read whole (then it is being answered, and kept).
    struct Held {
        std::chrono::steady_clock::time_point since;
        bool answering = false;
    };
    novex::Mutex held_mutex;
    std::map<uint64_t, Held> held GUARDED_BY(held_mutex);
};

namespace {

struct Peer {
    int fd;
    sockaddr_in address;
};

uint64_t PeerKey(uint32_t address, uint16_t port) { return (uint64_t{address} << 16) | port; }

// Whether `fd` is a connection accepted on `port`, with its peer.
bool ServerConnection(int fd, int port, sockaddr_in& peer) {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
        local.sin_family != AF_INET || ntohs(local.sin_port) != port)
        return false;
    size = sizeof peer;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
           peer.sin_family == AF_INET;  // the listening socket has no peer
}

void ShutDown(const Peer& p, int port) {
    const int copy = fcntl(p.fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return;
    sockaddr_in peer{};
    if (ServerConnection(copy, port, peer) && peer.sin_addr.s_addr == p.address.sin_addr.s_addr &&
        peer.sin_port == p.address.sin_port)
        shutdown(copy, SHUT_RDWR);
    close(copy);
}

void Sweep(HttpServer::Guard& guard) {
    novex::MutexLock lock(guard.sweeping);
    const int port = guard.port.load();
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) return;
    std::vector<Peer> peers;
    while (const dirent* entry = readdir(folder)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        Peer p{static_cast<int>(fd), {}};
        if (*end == '\0' && end != entry->d_name && fd != dirfd(folder) &&
            ServerConnection(p.fd, port, p.address))
            peers.push_back(p);
    }
    closedir(folder);
    // Each connection's age counts from the first sweep that saw it. Those being
    // answered are kept first, then the newest: where an address or a prefix holds
    // too many, the ones that have waited longest without a whole request (idle or
    // trickling) make room for the newcomer.
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::pair<HttpServer::Guard::Held, Peer>> order;
    {
        novex::MutexLock held_lock(guard.held_mutex);
        std::map<uint64_t, HttpServer::Guard::Held> current;
        for (const Peer& p : peers) {
            const uint64_t key = PeerKey(p.address.sin_addr.s_addr, p.address.sin_port);
            const auto found = guard.held.find(key);
            const HttpServer::Guard::Held held = found == guard.held.end() ? HttpServer::Guard::Held{now, false}
                                                                          : found->second;
            current[key] = held;
            order.push_back({held, p});
        }
        guard.held.swap(current);  // the connections gone are forgotten
    }
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        if (a.first.answering != b.first.answering) return a.first.answering;
        return a.first.since > b.first.since;
    });
    std::map<uint32_t, int> seen;          // address -> connections kept so far
    std::map<std::string, int> in_prefix;  // prefix -> connections kept so far
    for (const auto& [held, p] : order) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &p.address.sin_addr, text, sizeof text);
        int& prefix = in_prefix[access::AddressPrefix(text)];
        int& address = seen[p.address.sin_addr.s_addr];
        if (address >= guard.per_address || prefix >= guard.per_prefix) {
            ShutDown(p, port);
            continue;
        }
        ++address;
        ++prefix;
    }
}

HttpServer::Guard& GuardOf(const mg_connection* connection) {
    return *static_cast<HttpServer::Guard*>(mg_get_user_data(mg_get_context(connection)));
}

// The connection's peer as the sweep finds it (network order), from the library's text.
uint64_t KeyOf(const mg_connection* connection) {
    const mg_request_info* info = mg_get_request_info(connection);
    in_addr address{};
    if (info == nullptr || inet_pton(AF_INET, info->remote_addr, &address) != 1) return 0;
    return PeerKey(address.s_addr, htons(static_cast<uint16_t>(info->remote_port)));
}

int TakeUp(const mg_connection* connection, void**) {
    HttpServer::Guard& guard = GuardOf(connection);
    if (guard.busy.fetch_add(1) + 1 > std::min(guard.per_address, guard.per_prefix)) Sweep(guard);
    return 0;
}

void Release(const mg_connection* connection) {
    HttpServer::Guard& guard = GuardOf(connection);
    {
        novex::MutexLock lock(guard.held_mutex);
        guard.held.erase(KeyOf(connection));
    }
    guard.busy.fetch_sub(1);
}

// The request was read whole: from now on the connection is being answered.
void Answering(const mg_connection* connection) {
    HttpServer::Guard& guard = GuardOf(connection);
    novex::MutexLock lock(guard.held_mutex);
    HttpServer::Guard::Held& held = guard.held[KeyOf(connection)];
    if (held.since == std::chrono::steady_clock::time_point{}) held.since = std::chrono::steady_clock::now();
    held.answering = true;
}

}  // namespace

bool ParseListen(const std::string& text, std::string& address, int& port, std::string& error) {
    Endpoint endpoint;
    std::string why;
    // The server library binds numeric IPv4 addresses only.
    if (ParseEndpoint(text, kWebListener, endpoint, why) && (endpoint.ipv6 || !endpoint.numeric))
        why = "the web server listens on an IPv4 address (names and IPv6 are not taken)";
    if (!why.empty()) {
        error = "listen: expected ADDR:PORT with an IPv4 address, or PORT: " + text + " (" + why + ")";
        return false;
    }
    address = endpoint.host;
    port = endpoint.port;
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
    server->guard_ = std::make_unique<Guard>();
    // Behind the TLS front every connection comes from loopback: the front holds each
    // client address to its own limit, so the library's guard stands aside.
    server->guard_->per_address = server->access_->initial().tls
                                      ? std::numeric_limits<int>::max()
                                      : std::max(1, options.connections_per_address);
    // A prefix (all of loopback is one) holds half the threads, and room for one more
    // client beside a greedy address of its own: a local user's many addresses leave
    // the other half to everyone else.
    server->guard_->per_prefix = server->access_->initial().tls
                                     ? std::numeric_limits<int>::max()
                                     : std::max(server->guard_->per_address + 1, options.threads / 2);
    mg_callbacks callbacks{};
    callbacks.log_message = Quiet;
    callbacks.http_error = LibraryError;
    callbacks.begin_request = BeforeBody;
    callbacks.init_connection = TakeUp;
    callbacks.connection_close = Release;
    mg_init_data init{&callbacks, server->guard_.get(), config};
    char text[256] = "";
    unsigned code = 0;
    mg_error_data failure{&code, text, sizeof text};
    server->context_ = mg_start2(&init, &failure);
    if (server->context_ == nullptr) {
        // The library's own text ("Failed to setup server ports") hides the cause.
        if (Taken(address, port))
            error = "listen " + ports + ": " + std::strerror(EADDRINUSE) +
                    vimo::AddressInUseHint(port, "--listen or \"listen\"");
        else
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
    server->guard_->port = bound[0].port;
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
    front.request_timeout_ms = options.request_timeout_ms;  // the request's deadline, TLS included
    // The relayed requests of one address or prefix hold at most their share of the threads.
    front.relayed_per_address = static_cast<size_t>(std::max(1, std::min(options.connections_per_address, options.threads / 4)));
    front.relayed_per_prefix = static_cast<size_t>(std::max(1, options.threads / 2));
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
