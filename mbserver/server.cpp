#include "mbserver/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "common/accept_pause.h"
#include "core/address.h"
#include "common/hints.h"
#include "mbserver/mbap.h"
#include "mbserver/responder.h"
#include "common/thread_name.h"

namespace novex {
namespace mbserver {

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kReadChunk = 4096;

std::string PeerAddress(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (peer.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof text);
    else if (peer.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, text, sizeof text);
    return text;
}

struct Client {
    int fd = -1;
    SSL* ssl = nullptr;
    bool handshaking = false;
    bool tls_wants_write = false;
    Clock::time_point accepted;
    std::string address;
    FrameReader reader;
    std::string out;
    Clock::time_point last_activity;
    Clock::time_point frame_started;  // when the bytes now waiting began to arrive
    double tokens = 0;
    Clock::time_point refilled;
    Clock::time_point held_until{};  // the rate limit's wait
    bool dropped = false;
};

std::string SslReason() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? reason : "connection closed";
}

std::string RoleOf(X509* cert) {
    std::string role;
    ASN1_OBJECT* oid = OBJ_txt2obj("1.3.6.1.4.1.50316.802.1", 1);
    const int at = cert && oid ? X509_get_ext_by_OBJ(cert, oid, -1) : -1;
    if (at >= 0) {
        ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(X509_get_ext(cert, at));
        const unsigned char* p = ASN1_STRING_get0_data(data);
        ASN1_UTF8STRING* text = d2i_ASN1_UTF8STRING(nullptr, &p, ASN1_STRING_length(data));
        if (text)
            role.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                        static_cast<size_t>(ASN1_STRING_length(text)));
        ASN1_UTF8STRING_free(text);
    }
    ASN1_OBJECT_free(oid);
    return role;
}

}  // namespace

std::string CertificateRole(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    const std::string role = RoleOf(cert);
    X509_free(cert);
    BIO_free(bio);
    ERR_clear_error();
    return role;
}

bool ParseListen(const std::string& text, ServerOptions& options, std::string& error, bool secure) {
    Endpoint endpoint;
    std::string why;
    constexpr EndpointUse kSecure = {true, 802, 0, "127.0.0.1"};
    if (!ParseEndpoint(text, secure ? kSecure : kModbusListener, endpoint, why)) {
        error = "listen address " + text + ": " + why;
        return false;
    }
    options.address = endpoint.host;
    options.port = static_cast<uint16_t>(endpoint.port);
    return true;
}

struct Server::Loop {
    Server& server;
    const ServerOptions& options;
    std::vector<std::unique_ptr<Client>> clients;
    bool limit_logged = false;
    vimo::AcceptPause accept_pause{"modbus"};
    // Refused for the allow-list: said once, then counted (anyone may knock).
    vimo::FailureNote refusals;

    explicit Loop(Server& s) : server(s), options(s.options_) {}

    void Log(const std::string& line) const {
        if (server.log_) server.log_(line);
    }

    void Drop(Client& c, const std::string& why) {
        if (!why.empty()) {
            Log("modbus client " + c.address + ": " + why);
            ++server.counters_.errors;
        }
        c.dropped = true;
    }

    void Accept() {
        for (;;) {
            sockaddr_storage peer{};
            socklen_t size = sizeof peer;
            const int fd = accept4(server.listen_fd_, reinterpret_cast<sockaddr*>(&peer), &size,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                const std::string line = accept_pause.Failed(errno, Clock::now());
                if (!line.empty()) Log(line);
                return;
            }
            const std::string recovered = accept_pause.Worked();
            if (!recovered.empty()) Log(recovered);
            if (!options.allow.Allows(peer)) {
                close(fd);
                ++server.counters_.refused;
                const std::string line = refusals.Failed(
                    "modbus: clients not on the allow-list refused",
                    "the last " + PeerAddress(peer), Clock::now());
                if (!line.empty()) Log(line);
                continue;
            }
            if (clients.size() >= options.max_clients) {
                close(fd);
                ++server.counters_.refused;
                if (!limit_logged) Log("modbus: client limit reached, refusing connections");
                limit_logged = true;
                continue;
            }
            limit_logged = false;
            auto c = std::make_unique<Client>();
            c->fd = fd;
            c->address = PeerAddress(peer);
            c->last_activity = c->refilled = c->accepted = Clock::now();
            c->tokens = options.request_burst;
            if (options.tls && !BeginTls(*c)) {
                close(fd);
                continue;
            }
            clients.push_back(std::move(c));
            ++server.counters_.connections;
        }
    }

    bool Held(const Client& c, Clock::time_point now) const { return c.held_until > now; }

    bool BeginTls(Client& c) {
        std::string note;
        const std::shared_ptr<SSL_CTX> ctx = options.tls->Context(note);
        if (!note.empty()) Log(note);
        c.ssl = ctx ? SSL_new(ctx.get()) : nullptr;
        if (c.ssl == nullptr || SSL_set_fd(c.ssl, c.fd) != 1) {
            Log("modbus client " + c.address + ": TLS: " + SslReason());
            if (c.ssl) SSL_free(c.ssl);
            c.ssl = nullptr;
            return false;
        }
        c.handshaking = true;
        return true;
    }

    // The client's role may read, when roles are asked for.
    bool RoleAllowed(Client& c) {
        if (options.roles.empty()) return true;
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
        X509* cert = SSL_get1_peer_certificate(c.ssl);
#else
        X509* cert = SSL_get_peer_certificate(c.ssl);
#endif
        const std::string role = RoleOf(cert);
        X509_free(cert);
        if (std::find(options.roles.begin(), options.roles.end(), role) != options.roles.end()) return true;
        Drop(c, role.empty() ? "certificate without a role, refused" : "certificate role \"" + role + "\" may not read, refused");
        return false;
    }

    void Handshake(Client& c) {
        ERR_clear_error();
        c.tls_wants_write = false;
        const int r = SSL_accept(c.ssl);
        if (r == 1) {
            c.handshaking = false;
            c.last_activity = Clock::now();
            RoleAllowed(c);
            return;
        }
        const int e = SSL_get_error(c.ssl, r);
        if (e == SSL_ERROR_WANT_READ) return;
        if (e == SSL_ERROR_WANT_WRITE) {
            c.tls_wants_write = true;
            return;
        }
        Drop(c, "TLS handshake failed: " + SslReason());
    }

    // Reads what TLS has decrypted, while the frames waiting stay few.
    void ReceiveTls(Client& c) {
        if (c.handshaking) Handshake(c);
        if (c.handshaking || c.dropped) return;
        c.tls_wants_write = false;
        char buffer[kReadChunk];
        while (c.reader.Pending() < kReadChunk) {
            ERR_clear_error();
            const int n = SSL_read(c.ssl, buffer, sizeof buffer);
            if (n > 0) {
                if (!c.reader.Partial()) c.frame_started = Clock::now();
                c.reader.Feed(buffer, static_cast<size_t>(n));
                c.last_activity = Clock::now();
                continue;
            }
            const int e = SSL_get_error(c.ssl, n);
            if (e == SSL_ERROR_WANT_WRITE) c.tls_wants_write = true;
            else if (e != SSL_ERROR_WANT_READ) Drop(c, "");
            break;
        }
        ERR_clear_error();
        if (!c.dropped) Answer(c);
    }

    // Decrypted bytes that poll() cannot announce, and that may be read now.
    bool TlsPending(const Client& c, Clock::time_point now) const {
        return c.ssl && !c.handshaking && !c.dropped && Reading(c, now) && SSL_pending(c.ssl) > 0;
    }

    // Whether a request may be answered now: the connection's bucket holds a token.
    // Otherwise it is held until one has come back.
    bool Allowed(Client& c, Clock::time_point now) {
        const double seconds = std::chrono::duration<double>(now - c.refilled).count();
        c.tokens = std::min(options.request_burst, c.tokens + seconds * options.requests_per_second);
        c.refilled = now;
        if (c.tokens >= 1) return true;
        const double wait = (1 - c.tokens) / options.requests_per_second;
        c.held_until = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait));
        return false;
    }

    // Answers the whole frames received, while the answers waiting stay small.
    void Answer(Client& c) {
        const Clock::time_point now = Clock::now();
        if (Held(c, now)) return;
        const bool had = c.reader.Partial();
        Frame frame;
        std::string why;
        bool answered = false;
        while (c.out.size() < options.max_output && c.reader.Partial() && Allowed(c, now)) {
            const FrameReader::Result r = c.reader.Next(frame, why);
            if (r == FrameReader::Result::kBad) return Drop(c, "bad frame (" + why + "), closed");
            if (r == FrameReader::Result::kNeedMore) break;
            const UnitSnapshot unit = server.units_.Get(frame.unit);
            const std::string pdu = mbserver::Answer(
                unit.get(), reinterpret_cast<const uint8_t*>(frame.pdu.data()), frame.pdu.size(),
                static_cast<int64_t>(std::time(nullptr)));
            c.out += FrameAnswer(frame, pdu);
            ++server.counters_.requests;
            if (ExceptionOf(pdu) != 0) ++server.counters_.exceptions;
            answered = true;
            c.tokens -= 1;
        }
        if (answered || !had) c.frame_started = now;
    }

    void Receive(Client& c) {
        if (c.ssl) return ReceiveTls(c);
        char buffer[kReadChunk];
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n == 0) return Drop(c, "");
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Drop(c, "");
            return;
        }
        if (!c.reader.Partial()) c.frame_started = Clock::now();
        c.reader.Feed(buffer, static_cast<size_t>(n));
        c.last_activity = Clock::now();
        Answer(c);
    }

    void Send(Client& c) {
        while (c.ssl && !c.handshaking && !c.out.empty() && !c.dropped) {
            ERR_clear_error();
            const int n = SSL_write(c.ssl, c.out.data(), static_cast<int>(std::min<size_t>(c.out.size(), 1 << 16)));
            if (n <= 0) {
                const int e = SSL_get_error(c.ssl, n);
                if (e == SSL_ERROR_WANT_WRITE) c.tls_wants_write = true;
                else if (e != SSL_ERROR_WANT_READ) Drop(c, "");
                return;
            }
            c.out.erase(0, static_cast<size_t>(n));
            c.last_activity = Clock::now();
        }
        while (!c.ssl && !c.out.empty() && !c.dropped) {
            const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Drop(c, "");
                return;
            }
            c.out.erase(0, static_cast<size_t>(n));
            c.last_activity = Clock::now();
        }
    }

    bool Reading(const Client& c, Clock::time_point now) const {
        return !Held(c, now) && c.out.size() < options.max_output && c.reader.Pending() < kReadChunk;
    }

    Clock::time_point Deadline(const Client& c) const {
        Clock::time_point next = c.last_activity + std::chrono::milliseconds(options.idle_timeout_ms);
        if (c.reader.Partial()) next = std::min(next, c.frame_started + std::chrono::milliseconds(options.request_timeout_ms));
        return next;
    }

    int Timeout(Clock::time_point now) const {
        Clock::time_point next = Clock::time_point::max();
        for (const auto& c : clients) {
            next = std::min(next, Deadline(*c));
            if (Held(*c, now)) next = std::min(next, c->held_until);
            if (c->handshaking) next = std::min(next, c->accepted + std::chrono::milliseconds(options.request_timeout_ms));
            if (TlsPending(*c, now)) next = now;
        }
        if (accept_pause.RestsUntil() > now) next = std::min(next, accept_pause.RestsUntil());
        if (next == Clock::time_point::max()) return -1;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        return static_cast<int>(std::clamp<long long>(ms + 1, 0, 60000));
    }

    void Check(Client& c, Clock::time_point now) {
        if (c.dropped) return;
        if (c.held_until != Clock::time_point{} && !Held(c, now)) {
            c.held_until = {};
            Answer(c);  // the frames the rate held back
            Send(c);
        }
        if (!c.dropped && c.reader.Partial() && !Held(c, now) && c.out.size() < options.max_output) {
            Answer(c);  // frames left while the answers waiting were large
            Send(c);
        }
        if (c.dropped) return;
        if (c.handshaking && now - c.accepted > std::chrono::milliseconds(options.request_timeout_ms))
            return Drop(c, "TLS handshake not completed in time, closed");
        // A frame held back by the rate or by unread answers is not late.
        const bool waiting = Held(c, now) || c.out.size() >= options.max_output;
        if (c.reader.Partial() && !waiting &&
            now - c.frame_started > std::chrono::milliseconds(options.request_timeout_ms))
            return Drop(c, "request not complete in time, closed");
        if (now - c.last_activity > std::chrono::milliseconds(options.idle_timeout_ms))
            Drop(c, c.out.empty() ? "idle, closed" : "does not read its answers, closed");
    }

    // A TLS connection says goodbye if the socket takes it at once; never waits.
    static void Close(Client& c) {
        if (c.ssl) {
            ERR_clear_error();
            if (!c.handshaking) SSL_shutdown(c.ssl);
            SSL_free(c.ssl);
            ERR_clear_error();
        }
        close(c.fd);
    }

    void Run() {
        vimo::NameThisThread("modbus");
        // OpenSSL writes with write(): a client gone turns into an error, not SIGPIPE.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        std::vector<pollfd> fds;
        for (;;) {
            const Clock::time_point now = Clock::now();
            fds.clear();
            fds.push_back({server.wake_[0], POLLIN, 0});
            fds.push_back({accept_pause.PollFd(server.listen_fd_, now), POLLIN, 0});
            for (const auto& c : clients) {
                short events = 0;
                if (!c->out.empty() || c->tls_wants_write) events |= POLLOUT;
                if (c->handshaking || Reading(*c, now)) events |= POLLIN;
                fds.push_back({c->fd, events, 0});
            }
            if (poll(fds.data(), fds.size(), Timeout(now)) < 0 && errno != EINTR) {
                Log(std::string("modbus server: poll: ") + std::strerror(errno));
                break;
            }
            if (fds[0].revents) break;
            const size_t known = clients.size();
            for (size_t i = 0; i < known; ++i) {
                Client& c = *clients[i];
                const short revents = fds[i + 2].revents;
                if (revents & (POLLIN | POLLHUP | POLLERR) || (c.tls_wants_write && (revents & POLLOUT)) ||
                    TlsPending(c, Clock::now()))
                    Receive(c);
                if (!c.dropped && (revents & POLLNVAL)) Drop(c, "");
                if (!c.dropped && (revents & POLLOUT)) Send(c);
                if (!c.dropped && !c.out.empty() && !(revents & POLLOUT)) Send(c);
                Check(c, Clock::now());
            }
            if (fds[1].revents & POLLIN) Accept();
            for (auto& c : clients)
                if (c->dropped) {
                    Close(*c);
                    c.reset();
                }
            clients.erase(std::remove(clients.begin(), clients.end(), nullptr), clients.end());
            server.counters_.clients = clients.size();
        }
        for (auto& c : clients) Close(*c);
        clients.clear();
        server.counters_.clients = 0;
    }
};

Server::Server(const Units& units, ServerOptions options, Log log)
    : units_(units), options_(std::move(options)), log_(std::move(log)) {}

Server::~Server() { Stop(); }

bool Server::Start(std::string& error) {
    const std::string where = "modbus server " + options_.address + ":" + std::to_string(options_.port);
    int bound = 0;
    int failure = 0;
    const int fd = novex::OpenListener(options_.address, options_.port, 64, bound, failure, error);
    if (fd < 0 || pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (fd >= 0) {
            failure = errno;
            error = std::strerror(failure);
            close(fd);
        }
        error = where + ": " + error;
        if (failure == EADDRINUSE)
            error += vimo::AddressInUseHint(options_.port, "--modbus-listen or \"modbus_listen\"");
        if (failure == EACCES && options_.port < 1024)
            error += " (a port under 1024 needs CAP_NET_BIND_SERVICE)";
        return false;
    }
    listen_fd_ = fd;
    port_ = static_cast<decltype(port_)>(bound);
    thread_ = std::thread([this] { Loop(*this).Run(); });
    return true;
}

void Server::Stop() {
    if (thread_.joinable()) {
        const char byte = 0;
        (void)!write(wake_[1], &byte, 1);
        thread_.join();
    }
    for (int* fd : {&listen_fd_, &wake_[0], &wake_[1]})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

ServerStats Server::Stats() const {
    ServerStats s;
    s.clients = counters_.clients;
    s.connections = counters_.connections;
    s.refused = counters_.refused;
    s.requests = counters_.requests;
    s.exceptions = counters_.exceptions;
    s.errors = counters_.errors;
    return s;
}

}  // namespace mbserver
}  // namespace novex
