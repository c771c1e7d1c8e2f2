#include "protocol/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "access/address_prefix.h"
#include "common/accept_pause.h"
#include "core/address.h"
#include "common/hints.h"
#include "protocol/session.h"
#include "common/thread_name.h"

namespace novex {
namespace protocol {

namespace {

using Clock = std::chrono::steady_clock;

// A client whose unsent answers reach this size is not read from until they drain:
// a flood of requests from a client that does not read its answers only slows it.
constexpr size_t kPauseReading = 64 * 1024;

struct Client {
    int fd = -1;
    std::string address;
    std::string prefix;  // access/address_prefix.h
    std::unique_ptr<Session> session;
    std::string in;
    std::string out;
    bool closing = false;  // close once `out` is sent
    bool dropped = false;
    // Accepted, or its last whole request: what idle means. Stray bytes renew nothing.
    Clock::time_point last_activity;
    Clock::time_point held_until{};  // a password check waits for the attempt limiter
    // TLS, once STARTTLS was answered: starting once "OK STARTTLS" is sent, then the
    // handshake (done by handshake_deadline), then every byte through `ssl`.
    bool tls_starting = false;
    SSL* ssl = nullptr;
    bool handshaking = false;
    bool tls_wants_write = false;  // OpenSSL waits for the socket to take bytes
    Clock::time_point handshake_deadline{};
    ~Client() {
        if (ssl) SSL_free(ssl);
    }
};

// The reason OpenSSL gives for the last failure on this thread, its queue emptied.
std::string SslReason() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? reason : "connection closed";
}

std::string PeerAddress(const sockaddr_storage& peer) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (peer.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof text);
    else if (peer.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, text, sizeof text);
    return text;
}


}  // namespace

bool ParseListen(const std::string& text, ServerOptions& options, std::string& error) {
    novex::Endpoint endpoint;
    std::string why;
    if (!novex::ParseEndpoint(text, novex::kProtocolListener, endpoint, why)) {
        error = "listen address " + text + ": " + why;
        return false;
    }
    options.address = endpoint.host;
    options.port = static_cast<uint16_t>(endpoint.port);
    return true;
}

struct Server::Loop {
    Server& server;
    LoginTable logins;
    SessionContext context;
    std::vector<std::unique_ptr<Client>> clients;
    vimo::AcceptPause accept_pause{"protocol"};
    std::set<std::string> full_logged;  // scopes found full since they were last not
    std::set<std::string> tls_failure_logged;    // addresses whose handshakes failed since one did not

    explicit Loop(Server& s)
        : server(s),
          context{s.directory_, s.users_, logins, s.options_.version, s.log_, &s.limiter_,
                  s.options_.tls != nullptr, s.options_.require_tls} {}

    void Log(const std::string& line) const {
        if (server.log_) server.log_(line);
    }

    void Drop(Client& c, const std::string& why) {
        if (!why.empty()) Log("protocol client " + c.address + ": " + why);
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
            const std::string address = PeerAddress(peer);
            const std::string prefix = access::AddressPrefix(address);
            if (!MakeRoom(address, prefix)) {
                close(fd);
                continue;
            }
            auto c = std::make_unique<Client>();
            c->fd = fd;
            c->address = address;
            c->prefix = prefix;
            c->session = std::make_unique<Session>(context, c->address);
            c->last_activity = Clock::now();
            clients.push_back(std::move(c));
        }
    }

    // One address, one prefix and all clients may each hold only so many connections.
    // In a scope that is full, the newcomer takes the place of the longest idle
    // connection not logged in, so that idle or dripping connections cannot lock out
    // upsc, and upsmon, logged in, is never the one closed. False (the newcomer is
    // refused) when every connection there is logged in. Logged once per burst a scope.
    bool MakeRoom(const std::string& address, const std::string& prefix) {
        // Columns: the scope as logged, its limit, whether a client is in it.
        struct Scope {
            std::string what;
            size_t limit;
            std::function<bool(const Client&)> in;
        };
        const Scope scopes[] = {
            {"address " + address, server.options_.max_clients_per_address,
             [&](const Client& c) { return c.address == address; }},
            {"prefix " + prefix, server.options_.max_clients_per_prefix,
             [&](const Client& c) { return c.prefix == prefix; }},
            {"all addresses", server.options_.max_clients, [](const Client&) { return true; }},
        };
        for (const Scope& scope : scopes) {
            size_t held = 0;
            Client* victim = nullptr;
            for (const auto& c : clients) {
                if (c->dropped || !scope.in(*c)) continue;
                ++held;
                if (!c->session->LoggedIn() && (!victim || c->last_activity < victim->last_activity))
                    victim = c.get();
            }
            if (held < scope.limit) {
                full_logged.erase(scope.what);
                continue;
            }
            const bool first = full_logged.insert(scope.what).second;
            if (victim == nullptr) {
                if (first) Log("protocol: " + std::to_string(held) + " connections from " + scope.what +
                               ", all logged in: refusing more");
                return false;
            }
            if (first)
                Log("protocol: " + std::to_string(held) + " connections from " + scope.what +
                    ": each newcomer takes the place of the longest idle one not logged in");
            Drop(*victim, "");
        }
        return true;
    }

    // How long `c` may go without a whole request.
    std::chrono::milliseconds IdleLimit(const Client& c) const {
        const int idle = server.options_.idle_timeout_ms;
        return std::chrono::milliseconds(c.session->LoggedIn() ? idle : std::min(idle, server.options_.request_timeout_ms));
    }

    static bool Held(const Client& c, Clock::time_point now) { return c.held_until > now; }

    // Answers the complete lines received, while the answers waiting stay small.
    void Answer(Client& c) {
        if (Held(c, Clock::now())) return;
        c.held_until = {};
        size_t end;
        while (!c.closing && c.out.size() < kPauseReading &&
               (end = c.in.find('\n')) != std::string::npos) {
            if (end > server.options_.max_line) return Drop(c, "request line too long");
            const Reply reply = c.session->Handle(c.in.substr(0, end));
            if (reply.hold.count() > 0) {  // the same line again once the wait is over
                c.held_until = Clock::now() + reply.hold;
                return;
            }
            c.last_activity = Clock::now();
            c.in.erase(0, end + 1);
            c.out += reply.text;
            c.closing = reply.close;
            if (reply.start_tls) {
                // Anything sent after STARTTLS and before the handshake would later pass
                // for protected input: such a client is closed.
                if (!c.in.empty()) return Drop(c, "sent more after STARTTLS");
                c.tls_starting = true;
                return;
            }
        }
        if (c.in.find('\n') == std::string::npos && c.in.size() > server.options_.max_line)
            return Drop(c, "request line too long");
        if (c.out.size() > server.options_.max_output) Drop(c, "does not read its answers");
    }

    void Handshake(Client& c) {
        ERR_clear_error();
        c.tls_wants_write = false;
        const int r = SSL_accept(c.ssl);
        if (r == 1) {
            c.handshaking = false;
            c.session->TlsStarted();
            tls_failure_logged.erase(c.address);
            return;
        }
        const int e = SSL_get_error(c.ssl, r);
        if (e == SSL_ERROR_WANT_READ) return;
        if (e == SSL_ERROR_WANT_WRITE) {
            c.tls_wants_write = true;
            return;
        }
        // A client with the wrong CA, or one sending garbage: logged once per burst.
        const std::string reason = SslReason();
        Drop(c, tls_failure_logged.insert(c.address).second ? "TLS handshake failed: " + reason : "");
    }

    void BeginTls(Client& c) {
        c.tls_starting = false;
        std::string note;
        const std::shared_ptr<SSL_CTX> ctx = server.options_.tls->Context(note);
        if (!note.empty()) Log(note);
        c.ssl = SSL_new(ctx.get());
        if (c.ssl == nullptr || SSL_set_fd(c.ssl, c.fd) != 1) return Drop(c, "TLS: " + SslReason());
        c.handshaking = true;
        c.handshake_deadline = Clock::now() + std::chrono::milliseconds(server.options_.handshake_timeout_ms);
        Handshake(c);
    }

    // Reads what TLS has decrypted, a bounded amount per call.
    void ReceiveTls(Client& c) {
        if (c.handshaking) return Handshake(c);
        c.tls_wants_write = false;
        char buffer[4096];
        for (int i = 0; i < 16; ++i) {
            ERR_clear_error();
            const int n = SSL_read(c.ssl, buffer, sizeof buffer);
            if (n > 0) {
                c.in.append(buffer, static_cast<size_t>(n));
                continue;
            }
            const int e = SSL_get_error(c.ssl, n);
            if (e == SSL_ERROR_WANT_WRITE) c.tls_wants_write = true;
            else if (e != SSL_ERROR_WANT_READ) Drop(c, e == SSL_ERROR_ZERO_RETURN ? "" : "TLS: " + SslReason());
            break;
        }
        ERR_clear_error();
        if (!c.dropped) Answer(c);
    }

    // Whether `c` holds decrypted bytes that poll() cannot announce.
    static bool TlsPending(const Client& c, Clock::time_point now) {
        return c.ssl && !c.handshaking && !c.closing && !Held(c, now) && c.out.size() < kPauseReading &&
               SSL_pending(c.ssl) > 0;
    }

    // Writes to TLS; false when nothing more can go now.
    bool SendTls(Client& c) {
        if (c.handshaking) return false;
        ERR_clear_error();
        const int n = SSL_write(c.ssl, c.out.data(), static_cast<int>(std::min<size_t>(c.out.size(), 1 << 16)));
        if (n > 0) {
            c.out.erase(0, static_cast<size_t>(n));
            return true;
        }
        const int e = SSL_get_error(c.ssl, n);
        if (e == SSL_ERROR_WANT_WRITE) c.tls_wants_write = true;
        else if (e != SSL_ERROR_WANT_READ) Drop(c, "");
        return false;
    }

    void Receive(Client& c) {
        if (c.ssl) return ReceiveTls(c);
        char buffer[4096];
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n == 0) return Drop(c, "");
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Drop(c, "");
            return;
        }
        c.in.append(buffer, static_cast<size_t>(n));
        Answer(c);
    }

    void Send(Client& c) {
        while (!c.out.empty() && !c.dropped && c.ssl) {
            if (!SendTls(c)) return;
            Answer(c);
        }
        while (!c.out.empty() && !c.dropped && !c.ssl) {
            const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Drop(c, "");
                return;
            }
            c.out.erase(0, static_cast<size_t>(n));
            Answer(c);  // lines held back while the answers were large
        }
        if (c.closing && c.out.empty()) Drop(c, "");
        if (c.tls_starting && c.out.empty() && !c.dropped) BeginTls(c);
    }

    int Timeout(Clock::time_point now) const {
        Clock::time_point next = Clock::time_point::max();
        for (const auto& c : clients) {
            next = std::min(next, c->last_activity + IdleLimit(*c));
            if (Held(*c, now)) next = std::min(next, c->held_until);
            if (c->handshaking) next = std::min(next, c->handshake_deadline);
            if (TlsPending(*c, now)) next = now;
        }
        if (accept_pause.RestsUntil() > now) next = std::min(next, accept_pause.RestsUntil());
        if (next == Clock::time_point::max()) return -1;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        return static_cast<int>(std::clamp<long long>(ms + 1, 0, 60000));
    }

    // A TLS connection says goodbye if the socket takes it at once; never waits.
    static void Close(Client& c) {
        if (c.ssl && !c.handshaking) {
            ERR_clear_error();
            SSL_shutdown(c.ssl);
            ERR_clear_error();
        }
        close(c.fd);
    }

    void Run() {
        // OpenSSL writes with write(), which raises SIGPIPE when a client has gone:
        // blocked on this thread, it turns into an error instead of ending the program.
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
                if (c->handshaking ||
                    (!c->closing && !c->tls_starting && !Held(*c, now) && c->out.size() < kPauseReading))
                    events |= POLLIN;
                // A client that hangs up while its guess is parked is gone at once: its
                // line must not take a slot of the attempt limiter later.
                if (Held(*c, now)) events |= POLLRDHUP;
                fds.push_back({c->fd, events, 0});
            }
            if (poll(fds.data(), fds.size(), Timeout(now)) < 0 && errno != EINTR) {
                Log(std::string("protocol server: poll: ") + std::strerror(errno));
                break;
            }
            if (fds[0].revents) break;
            const size_t known = clients.size();  // Accept() appends after these
            for (size_t i = 0; i < known; ++i) {
                Client& c = *clients[i];
                const short revents = fds[i + 2].revents;
                if ((revents & (POLLRDHUP | POLLHUP)) && Held(c, Clock::now())) Drop(c, "");
                else if (revents & (POLLIN | POLLHUP | POLLERR) ||
                    (c.tls_wants_write && (revents & POLLOUT)) || TlsPending(c, Clock::now()))
                    Receive(c);
                else if (!c.dropped && c.held_until != Clock::time_point{} && !Held(c, Clock::now())) {
                    c.held_until = {};
                    Answer(c);  // the line the limiter held back
                }
                if (!c.dropped && (revents & POLLNVAL)) Drop(c, "");
                if (!c.dropped) Send(c);
                if (!c.dropped && c.handshaking && Clock::now() > c.handshake_deadline)
                    Drop(c, "TLS handshake not completed in time");
                // Said for a logged-in client only: idle anonymous ones are common, and
                // a line each would let anyone fill the log.
                if (!c.dropped && Clock::now() - c.last_activity > IdleLimit(c))
                    Drop(c, c.session->LoggedIn() ? "idle, closed" : "");
            }
            if (fds[1].revents & POLLIN) Accept();
            for (auto& c : clients)
                if (c->dropped) {
                    Close(*c);
                    c.reset();
                }
            clients.erase(std::remove(clients.begin(), clients.end(), nullptr), clients.end());
        }
        for (auto& c : clients) Close(*c);
        clients.clear();
    }
};

Server::Server(UpsDirectory& directory, Users users, ServerOptions options, Log log)
    : directory_(directory), users_(std::move(users)), options_(std::move(options)), log_(std::move(log)),
      limiter_(options_.attempts) {}

Server::~Server() { Stop(); }

bool Server::Start(std::string& error) {
    const std::string where = "protocol server " + options_.address + ":" + std::to_string(options_.port);
    int bound = 0;
    int failure = 0;
    const int fd = novex::OpenListener(options_.address, options_.port, 128, bound, failure, error);
    if (fd < 0 || pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (fd >= 0) {
            failure = errno;
            error = std::strerror(failure);
            close(fd);
        }
        error = where + ": " + error;
        if (failure == EADDRINUSE)
            error += vimo::AddressInUseHint(options_.port, "--protocol-listen or \"protocol_listen\"");
        return false;
    }
    listen_fd_ = fd;
    port_ = static_cast<decltype(port_)>(bound);
    thread_ = std::thread([this] {
        vimo::NameThisThread("protocol");
        Loop(*this).Run();
    });
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

}  // namespace protocol
}  // namespace novex
