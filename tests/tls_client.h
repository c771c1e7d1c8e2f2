// A blocking loopback client that speaks TLS, for the listeners' tests: either from
// the first byte (HTTPS) or after a plain line exchange (the UPS protocol's STARTTLS).
// Reads give up after two seconds.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <string>

namespace tls_client {

class Client {
public:
    explicit Client(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{2, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~Client() {
        if (ssl_) SSL_free(ssl_);
        if (ctx_) SSL_CTX_free(ctx_);
        close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    void SendPlain(const std::string& text) { (void)!send(fd_, text.data(), text.size(), MSG_NOSIGNAL); }
    // One line read byte by byte, so that nothing after it is taken from the socket.
    std::string ReadPlainLine() {
        std::string line;
        char c;
        while (recv(fd_, &c, 1, 0) == 1) {
            line += c;
            if (c == '\n') break;
        }
        return line;
    }
    // The handshake, checking the server's certificate against `ca_file` and the name
    // 127.0.0.1; a client certificate when `cert_file` is given. "" or the reason.
    std::string Handshake(const std::string& ca_file, const std::string& cert_file = "",
                          const std::string& key_file = "") {
        ctx_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
        if (SSL_CTX_load_verify_locations(ctx_, ca_file.c_str(), nullptr) != 1) return "bad CA file";
        if (!cert_file.empty() && (SSL_CTX_use_certificate_file(ctx_, cert_file.c_str(), SSL_FILETYPE_PEM) != 1 ||
                                   SSL_CTX_use_PrivateKey_file(ctx_, key_file.c_str(), SSL_FILETYPE_PEM) != 1))
            return "bad client certificate";
        ssl_ = SSL_new(ctx_);
        SSL_set_fd(ssl_, fd_);
        SSL_set1_host(ssl_, "127.0.0.1");
        ERR_clear_error();
        if (SSL_connect(ssl_) == 1) return "";
        const unsigned long code = ERR_peek_last_error();
        const char* reason = code ? ERR_reason_error_string(code) : nullptr;
        ERR_clear_error();
        return reason ? reason : "handshake failed";
    }
    void Send(const std::string& text) { SSL_write(ssl_, text.data(), static_cast<int>(text.size())); }
    // Reads until `lines` line ends arrived, the server closed or two seconds passed.
    std::string Read(size_t lines) {
        std::string text;
        char buffer[4096];
        while (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) < lines) {
            const int n = SSL_read(ssl_, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
        }
        ERR_clear_error();
        return text;
    }
    // Reads until `count` bytes arrived, the server closed or two seconds passed.
    std::string ReadBytes(size_t count) {
        std::string bytes;
        char buffer[4096];
        while (bytes.size() < count) {
            const int n = SSL_read(ssl_, buffer, sizeof buffer);
            if (n <= 0) break;
            bytes.append(buffer, static_cast<size_t>(n));
        }
        ERR_clear_error();
        return bytes;
    }
    std::string version() const { return ssl_ ? SSL_get_version(ssl_) : ""; }

private:
    int fd_ = -1;
    bool connected_ = false;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

}  // namespace tls_client
