// TLS for vimohost's listeners (the UPS protocol server's STARTTLS, HTTPS): an OpenSSL
// server context with TLS 1.2 and 1.3 only, OpenSSL's default ciphers for them, no
// compression and no renegotiation, built from PEM files that are read again when
// they change, so that a renewed certificate needs no restart.
#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "core/thread_annotations.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace novex {
namespace tls {

// Whether and how a client proves itself with a certificate. The names are those of
// the Prometheus exporters' web configuration.
enum class ClientAuth { kNone, kRequest, kRequireAny, kVerifyIfGiven, kRequireAndVerify };

struct TlsSettings {
    std::string cert_file;       // PEM: the certificate, then any chain
    std::string key_file;        // PEM: its private key; may be cert_file itself
    ClientAuth client_auth = ClientAuth::kNone;
    std::string client_ca_file;  // PEM: the CAs client certificates must chain to
    int min_version = 0;         // an OpenSSL TLS1_x_VERSION; 0: TLS 1.2
    int max_version = 0;         // 0: the highest OpenSSL knows
    std::string ciphers;         // OpenSSL's cipher list for TLS 1.2; empty: its default
    std::string groups;          // OpenSSL's group list ("P-256:X25519"); empty: its default
    bool prefer_server_order = true;  // the server's order of ciphers wins
};

// "TLS12" -> TLS1_2_VERSION; false for anything but TLS12 and TLS13.
bool ParseTlsVersion(const std::string& name, int& version, std::string& error);
// "RequireAndVerifyClientCert" -> ClientAuth::kRequireAndVerify.
bool ParseClientAuth(const std::string& name, ClientAuth& auth, std::string& error);

// Refuses a file that holds a secret when its group or others may read it, or that is
// not a regular file. Empty when it is fine, else one line naming the file.
std::string CheckSecretFile(const std::string& path);

class ServerTls {
public:
    // Reads the files and builds the first context: null with one line in `error` when a
    // file is missing, unreadable, open to others (the key), holds no certificate or
    // key, the key does not match, the certificate has expired or is not valid yet.
    static std::unique_ptr<ServerTls> Create(const TlsSettings& settings, std::string& error);

    // The context a new connection is to use. At most once a second it looks whether a
    // file changed; if so it builds a new context, and when the new files are bad it
    // keeps the one it has and sets `note` to the reason (once per change). A note is
    // also set when the new files were taken. Thread-safe.
    std::shared_ptr<SSL_CTX> Context(std::string& note);

private:
    ServerTls() = default;
    // What tells a changed file: device, inode, size and modification time of each.
    std::string Stamp() const;

    TlsSettings settings_;
    novex::Mutex mutex_;
    std::shared_ptr<SSL_CTX> context_ GUARDED_BY(mutex_);
    std::string stamp_ GUARDED_BY(mutex_);  // of the files the context was built from, or last refused
    time_t last_look_ GUARDED_BY(mutex_) = 0;
};

// Builds a context from `settings`; null with one line in `error`.
std::shared_ptr<SSL_CTX> BuildContext(const TlsSettings& settings, std::string& error);

}  // namespace tls
}  // namespace novex
