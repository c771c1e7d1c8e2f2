#include "web/tls_front.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "access/address_prefix.h"
#include "common/accept_pause.h"
#include "common/thread_name.h"

namespace novex {
namespace web {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes held per direction before a side is no longer read from.
constexpr size_t kBufferBytes = 64 * 1024;
// A request head longer than this never reaches the HTTP server, which refuses far less.
constexpr size_t kMaxHead = 16 * 1024;
constexpr unsigned char kTlsHandshakeRecord = 0x16;

const char kPlainBody[] = "This port speaks HTTPS, not HTTP.\n";
std::string PlainRefusal() {
    return "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
           std::to_string(sizeof kPlainBody - 1) + "\r\nConnection: close\r\n\r\n" + kPlainBody;
}

// A connection's way: the first byte looked at, the handshake, the request head read
// whole, waiting for a relay slot of its address and prefix, relayed.
enum class Stage { kSniff, kHandshake, kHead, kQueued, kRelay };

struct Conn {
    int client = -1;
    int backend = -1;
    std::string address;
    std::string prefix;  // access/address_prefix.h
    SSL* ssl = nullptr;
    Stage stage = Stage::kSniff;
    bool wants_write = false;    // OpenSSL waits for the client socket to take bytes
    bool header_added = false;
    bool client_done = false;
    bool backend_done = false;
    bool dead = false;
    std::string to_backend, to_client;
    Clock::time_point accepted;
    Clock::time_point deadline;
    ~Conn() {
        if (ssl) {
            if (stage == Stage::kRelay) SSL_shutdown(ssl);
            SSL_free(ssl);
            ERR_clear_error();
        }
        if (client >= 0) close(client);
        if (backend >= 0) close(backend);
    }
};

std::string Reason() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? reason : "connection closed";
}

}  // namespace

std::unique_ptr<TlsFront> TlsFront::Start(const FrontOptions& options, std::shared_ptr<tls::ServerTls> tls,
                                          Log log, std::string& error) {
    std::unique_ptr<TlsFront> front(new TlsFront());
    front->options_ = options;
    front->tls_ = std::move(tls);
    front->log_ = std::move(log);
    unsigned char random[16];
    if (RAND_bytes(random, sizeof random) != 1) {
        error = "no random bytes for the HTTPS front";
        return nullptr;
    }
    static const char kHex[] = "0123456789abcdef";
    for (const unsigned char b : random) front->secret_ += {kHex[b >> 4], kHex[b & 15]};

    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(options.port));
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    socklen_t size = sizeof at;
    const bool ok = fd >= 0 && inet_pton(AF_INET, options.address.c_str(), &at.sin_addr) == 1 &&
                    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                    bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 && listen(fd, 64) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) == 0 &&
                    pipe2(front->wake_, O_NONBLOCK | O_CLOEXEC) == 0;
    if (!ok) {
        error = "listen " + options.address + ":" + std::to_string(options.port) + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return nullptr;
    }
    front->listen_fd_ = fd;
    front->port_ = ntohs(at.sin_port);
    front->thread_ = std::thread([f = front.get()] {
        vimo::NameThisThread("tls");
        f->Run();
    });
    return front;
}

TlsFront::~TlsFront() {
    if (thread_.joinable()) {
        const char byte = 0;
        (void)!write(wake_[1], &byte, 1);
        thread_.join();
    }
    for (const int fd : {listen_fd_, wake_[0], wake_[1]})
        if (fd >= 0) close(fd);
}

// The front's thread: every connection's state, and what is done to it when its
// sockets are ready.
struct TlsFront::Loop {
    TlsFront& front;
    const FrontOptions& options;
    const std::chrono::milliseconds idle;
    std::vector<std::unique_ptr<Conn>> conns;
    std::set<std::string> failure_logged;  // addresses whose handshakes failed since one did not
    std::set<std::string> limit_logged;    // scopes found full since they were last not
    vimo::AcceptPause accept_pause{"HTTPS"};

    explicit Loop(TlsFront& f)
        : front(f), options(f.options_), idle(std::chrono::milliseconds(f.options_.idle_timeout_ms)) {}

    void Log(const std::string& line) const {
        if (front.log_) front.log_(line);
    }

    void Handshake(Conn& c) {
        ERR_clear_error();
        c.wants_write = false;
        const int r = SSL_accept(c.ssl);
        if (r == 1) {
            failure_logged.erase(c.address);
            c.stage = Stage::kHead;  // the deadline from the connection runs on
            return;
        }
        const int e = SSL_get_error(c.ssl, r);
        if (e == SSL_ERROR_WANT_READ) return;
        if (e == SSL_ERROR_WANT_WRITE) {
            c.wants_write = true;
            return;
        }
        const std::string reason = Reason();
        if (failure_logged.insert(c.address).second) Log("TLS handshake from " + c.address + " failed: " + reason);
        c.dead = true;
    }

    // Passes waiting requests on, in the order their connections came, while their
    // address and prefix hold fewer relayed requests than allowed.
    void RelayWaiting() {
        std::map<std::string, size_t> by_address, by_prefix;
        for (const auto& c : conns)
            if (!c->dead && c->stage == Stage::kRelay) ++by_address[c->address], ++by_prefix[c->prefix];
        for (const auto& c : conns) {
            if (c->dead || c->stage != Stage::kQueued || by_address[c->address] >= options.relayed_per_address ||
                by_prefix[c->prefix] >= options.relayed_per_prefix)
                continue;
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<uint16_t>(options.backend_port));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            c->backend = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (c->backend < 0 || (connect(c->backend, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
                                   errno != EINPROGRESS)) {
                c->dead = true;
                continue;
            }
            c->stage = Stage::kRelay;
            c->deadline = Clock::now() + idle;
            ++by_address[c->address], ++by_prefix[c->prefix];
        }
    }

    // Makes room for a newcomer from `address`: in each full scope (the address, its
    // prefix, all), the connection there that has waited longest without its request
    // passed on is closed. False when every one there is being answered.
    bool MakeRoom(const std::string& address, const std::string& prefix) {
        // Columns: the scope as logged, its limit, whether a connection is in it.
        struct Scope {
            std::string what;
            size_t limit;
            std::function<bool(const Conn&)> in;
        };
        const Scope scopes[] = {
            {"address " + address, options.max_per_address, [&](const Conn& c) { return c.address == address; }},
            {"prefix " + prefix, options.max_per_prefix, [&](const Conn& c) { return c.prefix == prefix; }},
            {"all addresses", options.max_connections, [](const Conn&) { return true; }},
        };
        for (const Scope& scope : scopes) {
            size_t held = 0;
            Conn* victim = nullptr;
            for (const auto& c : conns) {
                if (c->dead || !scope.in(*c)) continue;
                ++held;
                if (c->stage != Stage::kRelay && (!victim || c->accepted < victim->accepted)) victim = c.get();
            }
            if (held < scope.limit) {
                limit_logged.erase(scope.what);
                continue;
            }
            const bool first = limit_logged.insert(scope.what).second;
            if (victim == nullptr) {
                if (first) Log("HTTPS: " + std::to_string(held) + " connections from " + scope.what +
                               ", all being answered: refusing more");
                return false;
            }
            if (first)
                Log("HTTPS: " + std::to_string(held) + " connections from " + scope.what +
                    ": each newcomer takes the place of the one waiting longest for its request");
            victim->dead = true;
        }
        return true;
    }

    void Sniff(Conn& c) {
        unsigned char first = 0;
        const ssize_t n = recv(c.client, &first, 1, MSG_PEEK);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) c.dead = true;
        if (n != 1) return;
        if (first != kTlsHandshakeRecord) {
            // Plain HTTP, most likely: told so in its own words, then closed.
            const std::string refusal = PlainRefusal();
            (void)!send(c.client, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            c.dead = true;
            return;
        }
        std::string note;
        const std::shared_ptr<SSL_CTX> ctx = front.tls_->Context(note);
        if (!note.empty()) Log(note);
        c.ssl = SSL_new(ctx.get());
        if (c.ssl == nullptr || SSL_set_fd(c.ssl, c.client) != 1) {
            c.dead = true;
            return;
        }
        c.stage = Stage::kHandshake;
        Handshake(c);
    }

    void ReadClient(Conn& c) {
        c.wants_write = false;
        char buffer[16384];
        while (!c.client_done && c.to_backend.size() < kBufferBytes) {
            ERR_clear_error();
            const int n = SSL_read(c.ssl, buffer, sizeof buffer);
            if (n > 0) {
                c.to_backend.append(buffer, static_cast<size_t>(n));
                // Only a request being answered earns more time; a head has its deadline.
                if (c.stage == Stage::kRelay) c.deadline = Clock::now() + idle;
                continue;
            }
            const int e = SSL_get_error(c.ssl, n);
            if (e == SSL_ERROR_WANT_WRITE) c.wants_write = true;
            else if (e != SSL_ERROR_WANT_READ) c.client_done = true;
            break;
        }
        ERR_clear_error();
        if (!c.header_added) {
            // The head goes to the HTTP server whole or not at all, with the client's
            // address after the request line.
            const size_t head_end = c.to_backend.find("\r\n\r\n");
            if (head_end == std::string::npos || head_end + 4 > kMaxHead) {
                if (c.to_backend.size() > kMaxHead || c.client_done) c.dead = true;
                return;
            }
            const size_t end = c.to_backend.find("\r\n");
            c.to_backend.insert(end + 2, std::string(kFrontHeader) + ": " + front.secret_ + " " + c.address + "\r\n");
            c.header_added = true;
            c.stage = Stage::kQueued;
        }
    }

    // A relayed connection: the client's bytes to the HTTP server, its answer back.
    void Relay(Conn& c, short client_events, short backend_events) {
        if (client_events & (POLLIN | POLLHUP | POLLERR) || (c.wants_write && (client_events & POLLOUT)) ||
            SSL_pending(c.ssl) > 0)
            ReadClient(c);
        if (!c.dead && (backend_events & POLLOUT) && c.header_added && !c.to_backend.empty()) {
            const ssize_t n = send(c.backend, c.to_backend.data(), c.to_backend.size(),
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) c.to_backend.erase(0, static_cast<size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR) c.dead = true;
        }
        if (!c.dead && (backend_events & (POLLIN | POLLHUP | POLLERR))) {
            char buffer[16384];
            const ssize_t n = recv(c.backend, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) c.to_client.append(buffer, static_cast<size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR)) c.backend_done = true;
        }
        while (!c.dead && !c.to_client.empty()) {
            ERR_clear_error();
            const int n = SSL_write(c.ssl, c.to_client.data(),
                                    static_cast<int>(std::min<size_t>(c.to_client.size(), 16384)));
            if (n > 0) {
                c.to_client.erase(0, static_cast<size_t>(n));
                c.deadline = Clock::now() + idle;
                continue;
            }
            const int e = SSL_get_error(c.ssl, n);
            if (e == SSL_ERROR_WANT_WRITE) c.wants_write = true;
            else if (e != SSL_ERROR_WANT_READ) c.dead = true;
            ERR_clear_error();
            break;
        }
        // The HTTP server closes after each answer: once it is passed on, done.
        if (c.backend_done && c.to_client.empty()) c.dead = true;
    }

    // One connection whose sockets poll() found ready, by its stage.
    void Step(Conn& c, short client_events, short backend_events) {
        if (c.stage == Stage::kSniff && client_events) Sniff(c);
        else if (c.stage == Stage::kHandshake && client_events) Handshake(c);
        // A head may have come with the handshake's last flight, already decrypted.
        if (c.stage == Stage::kHead && !c.dead && (client_events || SSL_pending(c.ssl) > 0)) ReadClient(c);
        else if (c.stage == Stage::kQueued && (client_events & (POLLHUP | POLLERR))) c.dead = true;
        else if (c.stage == Stage::kRelay) Relay(c, client_events, backend_events);
        if (!c.dead && Clock::now() > c.deadline) c.dead = true;
    }

    void Accept() {
        for (;;) {
            sockaddr_in peer{};
            socklen_t size = sizeof peer;
            const int fd = accept4(front.listen_fd_, reinterpret_cast<sockaddr*>(&peer), &size,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                const std::string line = accept_pause.Failed(errno, Clock::now());
                if (!line.empty()) Log(line);
                return;
            }
            const std::string recovered = accept_pause.Worked();
            if (!recovered.empty()) Log(recovered);
            char text[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
            const std::string prefix = access::AddressPrefix(text);
            if (!MakeRoom(text, prefix)) {
                close(fd);
                continue;
            }
            auto c = std::make_unique<Conn>();
            c->client = fd;
            c->address = text;
            c->prefix = prefix;
            c->accepted = Clock::now();
            c->deadline = c->accepted + std::chrono::milliseconds(options.request_timeout_ms);
            conns.push_back(std::move(c));
        }
    }

    // The sockets to wait for, two per connection after the wake-up pipe and the
    // listening socket; the wait's limit in ms (-1: none).
    int Wanted(std::vector<pollfd>& fds, Clock::time_point now) const {
        fds = {{front.wake_[0], POLLIN, 0}, {accept_pause.PollFd(front.listen_fd_, now), POLLIN, 0}};
        Clock::time_point next = Clock::time_point::max();
        if (accept_pause.RestsUntil() > now) next = accept_pause.RestsUntil();
        for (const auto& c : conns) {
            short client_events = 0, backend_events = 0;
            if (c->stage == Stage::kQueued) {
                // Nothing read meanwhile; a hang-up is still seen.
            } else if (c->stage != Stage::kRelay) {
                client_events = POLLIN | (c->wants_write ? POLLOUT : 0);
            } else {
                if (!c->client_done && c->to_backend.size() < kBufferBytes) client_events |= POLLIN;
                if (!c->to_client.empty() || c->wants_write) client_events |= POLLOUT;
                if (!c->backend_done && c->to_client.size() < kBufferBytes) backend_events |= POLLIN;
                if (c->header_added && !c->to_backend.empty()) backend_events |= POLLOUT;
            }
            fds.push_back({c->client, client_events, 0});
            fds.push_back({c->backend, backend_events, 0});  // -1 is skipped by poll()
            next = std::min(next, c->deadline);
            if (c->ssl && (c->stage == Stage::kRelay || c->stage == Stage::kHead) && SSL_pending(c->ssl) > 0)
                next = now;
        }
        if (next == Clock::time_point::max()) return -1;
        return static_cast<int>(std::clamp<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1, 0, 60000));
    }

    void Run() {
        // OpenSSL writes with write(): a client gone must be an error, not SIGPIPE.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        std::vector<pollfd> fds;
        for (;;) {
            const int timeout = Wanted(fds, Clock::now());
            if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
            if (fds[0].revents) break;
            for (size_t i = 0; i < conns.size(); ++i) Step(*conns[i], fds[2 + 2 * i].revents, fds[3 + 2 * i].revents);
            if (fds[1].revents & POLLIN) Accept();
            RelayWaiting();
            conns.erase(std::remove_if(conns.begin(), conns.end(), [](const auto& c) { return c->dead; }),
                        conns.end());
        }
        conns.clear();
    }
};

void TlsFront::Run() { Loop(*this).Run(); }

}  // namespace web
}  // namespace novex
