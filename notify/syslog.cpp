// Syslog: the local daemon's socket (/dev/log) or a remote collector over UDP, TCP
// (RFC 6587 octet counting) or TLS (RFC 5425, the same framing), each message an
// RFC 5424 line whose MSGID is the message's id. A stream is opened per message: a
// collector restarted between two outages costs nothing.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "notify/channel.h"

namespace vimo {
namespace notify {

namespace {

// RFC 5424 severities of ours: critical 2, warning 4, info 6.
const int kSyslogSeverity[] = {6, 4, 2};

// A structured data parameter's value: '"', '\' and ']' escaped.
std::string SdValue(const std::string& text) {
    std::string out;
    for (const char c : OneLine(text, 200)) {
        if (c == '"' || c == '\\' || c == ']') out += '\\';
        out += c;
    }
    return out;
}

// A header field: printable ASCII without spaces, at most `max`; "-" when empty.
std::string Field(const std::string& text, size_t max) {
    std::string out;
    for (const char c : text)
        if (c > ' ' && c <= '~' && out.size() < max) out += c;
    return out.empty() ? "-" : out;
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Waits for `events` on `fd` until the exchange's time limit.
bool Wait(int fd, short events, long seconds) {
    pollfd p{fd, events, 0};
    int n;
    do n = poll(&p, 1, static_cast<int>(seconds * 1000));
    while (n < 0 && errno == EINTR);
    return n > 0;
}

// A connected socket to host:port, or -1 with the error and its hint.
int Connect(const std::string& host, int port, int type, std::string& error) {
    addrinfo hints{};
    hints.ai_socktype = type;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        error = host + ": name not resolved (" + gai_strerror(rc) + "); check the host name and DNS";
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        int err = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (err == EINPROGRESS) {
            socklen_t len = sizeof err;
            err = Wait(fd, POLLOUT, kConnectTimeoutS) ? (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len), err)
                                                       : ETIMEDOUT;
        }
        if (err == 0) break;
        error = host + ":" + std::to_string(port) + ": " + std::strerror(err) +
                (err == ECONNREFUSED ? " (connection refused: is the collector listening on that port?)"
                 : err == ETIMEDOUT  ? " (no answer: a firewall, or the wrong host)"
                                     : "");
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

bool WriteAll(int fd, SSL* ssl, const std::string& data, std::string& error) {
    size_t done = 0;
    while (done < data.size()) {
        if (ssl) {
            const int n = SSL_write(ssl, data.data() + done, static_cast<int>(data.size() - done));
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            const int why = SSL_get_error(ssl, n);
            if ((why == SSL_ERROR_WANT_WRITE || why == SSL_ERROR_WANT_READ) &&
                Wait(fd, why == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, kExchangeTimeoutS))
                continue;
            error = "TLS write failed";
            return false;
        }
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!Wait(fd, POLLOUT, kExchangeTimeoutS)) {
                error = "the collector took no data for " + std::to_string(kExchangeTimeoutS) + " s";
                return false;
            }
        } else {
            error = std::string("send: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

std::string TlsErrors() {
    std::string out;
    while (const unsigned long e = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        out += (out.empty() ? "" : "; ") + std::string(text);
    }
    return out;
}

class SyslogSender : public Sender {
public:
    explicit SyslogSender(ChannelSettings settings) : settings_(std::move(settings)) {
        char name[256] = "";
        gethostname(name, sizeof name - 1);
        host_ = name;
    }
    ~SyslogSender() override {
        if (ctx_) SSL_CTX_free(ctx_);
    }

    bool Prepare(std::string& error) {
        if (settings_.transport != SyslogTransport::kTls) return true;
        ctx_ = SSL_CTX_new(TLS_client_method());
        if (!ctx_) {
            error = "TLS: " + TlsErrors();
            return false;
        }
        SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
        SSL_CTX_set_verify(ctx_, settings_.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
        const bool loaded = settings_.ca_file.empty() ? SSL_CTX_set_default_verify_paths(ctx_) == 1
                                                  : SSL_CTX_load_verify_locations(ctx_, settings_.ca_file.c_str(), nullptr) == 1;
        if (!loaded) {
            error = (settings_.ca_file.empty() ? std::string("the system's CAs") : settings_.ca_file) +
                    ": cannot be loaded: " + TlsErrors();
            return false;
        }
        return true;
    }

    SendResult Send(const Message& message) override {
        SendResult r;
        const std::string line = SyslogLine(settings_, message, host_);
        switch (settings_.transport) {
        case SyslogTransport::kLocal: r.sent = SendLocal(line, r.error); break;
        case SyslogTransport::kUdp: r.sent = SendUdp(line, r.error); break;
        case SyslogTransport::kTcp:
        case SyslogTransport::kTls: r.sent = SendStream(line, r.error); break;
        }
        return r;
    }

private:
    bool SendLocal(const std::string& line, std::string& error) {
        Fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, settings_.socket_path.c_str(), sizeof addr.sun_path - 1);
        if (fd.get() < 0 ||
            sendto(fd.get(), line.data(), line.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
                   sizeof addr) < 0) {
            error = settings_.socket_path + ": " + std::strerror(errno) + " (is the system's syslog daemon running?)";
            return false;
        }
        return true;
    }

    bool SendUdp(const std::string& line, std::string& error) {
        Fd fd(Connect(settings_.host, settings_.port, SOCK_DGRAM, error));
        if (fd.get() < 0) return false;
        if (send(fd.get(), line.data(), line.size(), MSG_NOSIGNAL) < 0) {
            error = settings_.host + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

    bool SendStream(const std::string& line, std::string& error) {
        Fd fd(Connect(settings_.host, settings_.port, SOCK_STREAM, error));
        if (fd.get() < 0) return false;
        // RFC 6587 octet counting: "LENGTH SP MESSAGE".
        const std::string frame = std::to_string(line.size()) + " " + line;
        if (settings_.transport == SyslogTransport::kTcp) return WriteAll(fd.get(), nullptr, frame, error);
        SSL* ssl = SSL_new(ctx_);
        if (!ssl) {
            error = "TLS: " + TlsErrors();
            return false;
        }
        SSL_set_fd(ssl, fd.get());
        SSL_set_tlsext_host_name(ssl, settings_.host.c_str());
        if (settings_.verify) SSL_set1_host(ssl, settings_.host.c_str());
        bool ok = false;
        for (;;) {
            const int n = SSL_connect(ssl);
            if (n == 1) {
                ok = true;
                break;
            }
            const int why = SSL_get_error(ssl, n);
            if ((why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) &&
                Wait(fd.get(), why == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, kExchangeTimeoutS))
                continue;
            const long verify = SSL_get_verify_result(ssl);
            error = verify != X509_V_OK
                        ? std::string("TLS verification failed: ") + X509_verify_cert_error_string(verify) +
                              " (give the collector's CA with ca=FILE)"
                        : "TLS handshake failed: " + TlsErrors();
            break;
        }
        ok = ok && WriteAll(fd.get(), ssl, frame, error);
        if (ok) SSL_shutdown(ssl);
        SSL_free(ssl);
        ERR_clear_error();
        return ok;
    }

    const ChannelSettings settings_;
    std::string host_;
    SSL_CTX* ctx_ = nullptr;
};

}  // namespace

std::string SyslogLine(const ChannelSettings& settings, const Message& message, const std::string& host) {
    const int pri = settings.facility * 8 + kSyslogSeverity[message.severity];
    // The time in UTC with milliseconds left out: "2026-12-09T10:40:01Z".
    const std::time_t t = static_cast<std::time_t>(message.created);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string line = "<" + std::to_string(pri) + ">1 " + stamp + " " + Field(host, 255) + " " +
                       Field(settings.app_name, 48) + " " + std::to_string(getpid()) + " " +
                       Field(message.id, 32) + " [vimo@32473 device=\"" + SdValue(message.device) +
                       "\" severity=\"" + SdValue(message.document["severity"].asString()) + "\"] ";
    std::string text = message.subject;
    size_t start = 0;
    // The body's lines after the subject, joined on one line.
    while (start < message.text.size()) {
        const size_t end = message.text.find('\n', start);
        const std::string part = message.text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!part.empty()) text += " | " + part;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return line + OneLine(text, 7000);
}

std::unique_ptr<Sender> MakeSyslogSender(const ChannelSettings& settings, std::string& error) {
    auto sender = std::make_unique<SyslogSender>(settings);
    if (!sender->Prepare(error)) return nullptr;
    return sender;
}

}  // namespace notify
}  // namespace vimo
