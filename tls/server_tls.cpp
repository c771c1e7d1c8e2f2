#include "tls/server_tls.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>

namespace novex {
namespace tls {

namespace {

// A PEM file larger than this is no certificate, key or CA list of ours.
constexpr size_t kMaxPemBytes = 1 << 20;
constexpr int kLookEverySeconds = 1;

// Columns: the name in configuration files, the OpenSSL version.
struct VersionRow {
    const char* name;
    int version;
};
const VersionRow kVersions[] = {
    {"TLS12", TLS1_2_VERSION},
    {"TLS13", TLS1_3_VERSION},
};
static_assert(sizeof kVersions / sizeof kVersions[0] == 2, "TLS 1.2 and 1.3 only");

// Columns: the name in configuration files, the setting, whether a certificate is
// asked for, whether one is required, whether it must chain to client_ca_file.
struct ClientAuthRow {
    const char* name;
    ClientAuth auth;
    bool ask;
    bool require;
    bool verify;
};
const ClientAuthRow kClientAuths[] = {
    {"NoClientCert", ClientAuth::kNone, false, false, false},
    {"RequestClientCert", ClientAuth::kRequest, true, false, false},
    {"RequireAnyClientCert", ClientAuth::kRequireAny, true, true, false},
    {"VerifyClientCertIfGiven", ClientAuth::kVerifyIfGiven, true, false, true},
    {"RequireAndVerifyClientCert", ClientAuth::kRequireAndVerify, true, true, true},
};
static_assert(sizeof kClientAuths / sizeof kClientAuths[0] == 5, "one row per ClientAuth");

const ClientAuthRow& RowOf(ClientAuth auth) {
    for (const ClientAuthRow& row : kClientAuths)
        if (row.auth == auth) return row;
    return kClientAuths[0];
}

// OpenSSL's reason for the last failure, and its queue emptied, so that the next
// call on this thread reads no stale error.
std::string SslReason() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? reason : "not understood";
}

// Non-blocking, so that a FIFO in a file's place cannot hold the start; capped, so that
// an endless device cannot fill memory.
bool ReadPem(const std::string& path, bool secret, std::string& text, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st{};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) error = path + ": not a regular file";
    if (ok && secret && (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        error = path + ": holds a private key but group or others may use it (chmod 600 it)";
        ok = false;
    }
    text.assign(kMaxPemBytes + 1, '\0');
    size_t got = 0;
    while (ok && got < text.size()) {
        const ssize_t n = read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = path + ": " + std::strerror(errno);
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (ok && got > kMaxPemBytes) {
        error = path + ": larger than any certificate file (1 MiB)";
        ok = false;
    }
    text.resize(got);
    return ok;
}

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
Bio MemoryBio(const std::string& text) {
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), &BIO_free);
}

// Never asks for a pass phrase: vimohost runs unattended, and a prompt would hang it.
int NoPassPhrase(char*, int, int, void*) { return 0; }

bool LoadCertificates(SSL_CTX* ctx, const TlsSettings& settings, std::string& error) {
    std::string text;
    if (!ReadPem(settings.cert_file, settings.cert_file == settings.key_file, text, error))
        return false;
    Bio bio = MemoryBio(text);
    X509* leaf = PEM_read_bio_X509_AUX(bio.get(), nullptr, NoPassPhrase, nullptr);
    if (leaf == nullptr || SSL_CTX_use_certificate(ctx, leaf) != 1) {
        if (leaf) X509_free(leaf);
        error = settings.cert_file + ": holds no certificate (" + SslReason() + ")";
        return false;
    }
    X509_free(leaf);
    while (X509* chain = PEM_read_bio_X509(bio.get(), nullptr, NoPassPhrase, nullptr))
        if (SSL_CTX_add0_chain_cert(ctx, chain) != 1) X509_free(chain);
    ERR_clear_error();  // the end of the file reads as an error
    const X509* cert = SSL_CTX_get0_certificate(ctx);
    if (X509_cmp_current_time(X509_get0_notAfter(cert)) <= 0) {
        error = settings.cert_file + ": the certificate has expired";
        return false;
    }
    if (X509_cmp_current_time(X509_get0_notBefore(cert)) >= 0) {
        error = settings.cert_file + ": the certificate is not valid yet";
        return false;
    }

    if (settings.key_file != settings.cert_file && !ReadPem(settings.key_file, true, text, error))
        return false;
    bio = MemoryBio(text);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassPhrase, nullptr);
    if (key == nullptr) {
        error = settings.key_file + ": holds no private key without pass phrase (" + SslReason() + ")";
        return false;
    }
    const bool used = SSL_CTX_use_PrivateKey(ctx, key) == 1;
    EVP_PKEY_free(key);
    if (!used || SSL_CTX_check_private_key(ctx) != 1) {
        error = settings.key_file + ": the key does not match the certificate in " +
                settings.cert_file;
        ERR_clear_error();
        return false;
    }
    return true;
}

// Accepts whatever certificate the client shows, for the modes that ask for one
// without checking it.
int AcceptAny(int, X509_STORE_CTX*) { return 1; }

bool LoadClientCas(SSL_CTX* ctx, const TlsSettings& settings, std::string& error) {
    const ClientAuthRow& row = RowOf(settings.client_auth);
    if (row.verify && settings.client_ca_file.empty()) {
        error = std::string(row.name) + " needs client_ca_file";
        return false;
    }
    if (!settings.client_ca_file.empty()) {
        std::string text;
        if (!ReadPem(settings.client_ca_file, false, text, error)) return false;
        Bio bio = MemoryBio(text);
        X509_STORE* store = SSL_CTX_get_cert_store(ctx);
        STACK_OF(X509_NAME)* names = sk_X509_NAME_new_null();
        int count = 0;
        while (X509* ca = PEM_read_bio_X509(bio.get(), nullptr, NoPassPhrase, nullptr)) {
            X509_STORE_add_cert(store, ca);
            if (X509_NAME* name = X509_NAME_dup(X509_get_subject_name(ca))) sk_X509_NAME_push(names, name);
            X509_free(ca);
            ++count;
        }
        ERR_clear_error();
        if (count == 0) {
            sk_X509_NAME_pop_free(names, X509_NAME_free);
            error = settings.client_ca_file + ": holds no certificate";
            return false;
        }
        SSL_CTX_set_client_CA_list(ctx, names);
    }
    if (row.ask)
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | (row.require ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0),
                           row.verify ? nullptr : AcceptAny);
    return true;
}

}  // namespace

bool ParseTlsVersion(const std::string& name, int& version, std::string& error) {
    for (const VersionRow& row : kVersions)
        if (name == row.name) {
            version = row.version;
            return true;
        }
    error = "TLS version \"" + name + "\": TLS12 or TLS13 (older ones are not offered)";
    return false;
}

bool ParseClientAuth(const std::string& name, ClientAuth& auth, std::string& error) {
    for (const ClientAuthRow& row : kClientAuths)
        if (name == row.name) {
            auth = row.auth;
            return true;
        }
    error = "client_auth_type \"" + name + "\": one of";
    for (const ClientAuthRow& row : kClientAuths) error += std::string(" ") + row.name;
    return false;
}

std::string CheckSecretFile(const std::string& path) {
    std::string text, error;
    return ReadPem(path, true, text, error) ? "" : error;
}

std::shared_ptr<SSL_CTX> BuildContext(const TlsSettings& settings, std::string& error) {
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), &SSL_CTX_free);
    if (!ctx) {
        error = "TLS: " + SslReason();
        return nullptr;
    }
    const int min = settings.min_version ? settings.min_version : TLS1_2_VERSION;
    if (SSL_CTX_set_min_proto_version(ctx.get(), min) != 1 ||
        (settings.max_version && SSL_CTX_set_max_proto_version(ctx.get(), settings.max_version) != 1)) {
        error = "TLS versions: " + SslReason();
        return nullptr;
    }
    if (settings.max_version && settings.max_version < min) {
        error = "TLS versions: max_version is below min_version";
        return nullptr;
    }
    // Compression leaks secrets (CRIME); renegotiation asked by a client costs the
    // server a handshake for free and has been the way into several attacks.
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                       (settings.prefer_server_order ? SSL_OP_CIPHER_SERVER_PREFERENCE : 0));
    // TLS 1.3's suites are not chosen (as in the exporters' format): these are TLS 1.2's.
    if (!settings.ciphers.empty() && SSL_CTX_set_cipher_list(ctx.get(), settings.ciphers.c_str()) != 1) {
        error = "cipher_suites: none of them can be offered (" + SslReason() + ")";
        return nullptr;
    }
    if (!settings.groups.empty() && SSL_CTX_set1_groups_list(ctx.get(), settings.groups.c_str()) != 1) {
        error = "curve_preferences: " + SslReason();
        return nullptr;
    }
    // Answers are sent from buffers that move and partly, as non-blocking sockets allow.
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_default_passwd_cb(ctx.get(), NoPassPhrase);
    if (!LoadCertificates(ctx.get(), settings, error) || !LoadClientCas(ctx.get(), settings, error))
        return nullptr;
    return ctx;
}

std::string ServerTls::Stamp() const {
    std::string stamp;
    for (const std::string* path : {&settings_.cert_file, &settings_.key_file, &settings_.client_ca_file}) {
        struct stat st{};
        if (path->empty() || stat(path->c_str(), &st) != 0) {
            stamp += "-;";
            continue;
        }
        stamp += std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
                 std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
                 std::to_string(st.st_mtim.tv_nsec) + ";";
    }
    return stamp;
}

std::unique_ptr<ServerTls> ServerTls::Create(const TlsSettings& settings, std::string& error) {
    std::unique_ptr<ServerTls> tls(new ServerTls());
    tls->settings_ = settings;
    {
        // Nobody else sees it yet; held so that every use of the fields is alike.
        novex::MutexLock lock(tls->mutex_);
        tls->stamp_ = tls->Stamp();
        tls->context_ = BuildContext(settings, error);
        if (!tls->context_) return nullptr;
        tls->last_look_ = time(nullptr);
    }
    return tls;
}

std::shared_ptr<SSL_CTX> ServerTls::Context(std::string& note) {
    novex::MutexLock lock(mutex_);
    const time_t now = time(nullptr);
    if (now - last_look_ < kLookEverySeconds && now >= last_look_) return context_;
    last_look_ = now;
    const std::string stamp = Stamp();
    if (stamp == stamp_) return context_;
    stamp_ = stamp;
    std::string error;
    std::shared_ptr<SSL_CTX> fresh = BuildContext(settings_, error);
    if (!fresh) {
        note = "new certificate files refused, the previous ones stay: " + error;
        return context_;
    }
    note = "certificate files read again: " + settings_.cert_file;
    context_ = fresh;
    return context_;
}

}  // namespace tls
}  // namespace novex
