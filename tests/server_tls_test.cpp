// The listeners' TLS context from PEM files: what is refused at start, with which
// line, and how a renewed certificate is taken without a restart.
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include "tests/test_certs.h"
#include "tls/server_tls.h"

namespace {

using novex::tls::ClientAuth;
using novex::tls::ServerTls;
using novex::tls::TlsSettings;

TEST(ServerTls, RefusesBadFilesWithOneLine) {
    test_certs::Certs certs;
    ASSERT_TRUE(certs.ok());
    const std::string open_key = certs.Path("open.key");
    std::filesystem::copy_file(certs.Path("server.key"), open_key);
    chmod(open_key.c_str(), 0644);
    std::ofstream(certs.Path("empty.pem")) << "no certificate here\n";
    std::filesystem::copy_file(certs.Path("server.pem"), certs.Path("nokey.pem"));
    chmod(certs.Path("nokey.pem").c_str(), 0600);
    // Columns: certificate file, key file, client CA file (RequireAndVerifyClientCert when
    // given), what the error must say ("" when it starts).
    struct Row {
        const char* cert;
        const char* key;
        const char* ca;
        const char* error;
    };
    const Row rows[] = {
        {"server.pem", "server.key", "", ""},
        {"both.pem", "both.pem", "ca.pem", ""},
        {"missing.pem", "server.key", "", "missing.pem: No such file"},
        {"server.pem", "missing.key", "", "missing.key: No such file"},
        {"server.pem", "open.key", "", "open.key: holds a private key but group or others"},
        {"empty.pem", "server.key", "", "empty.pem: holds no certificate"},
        {"server.pem", "ca.key", "", "ca.key: the key does not match"},
        {"server.pem", "nokey.pem", "", "nokey.pem: holds no private key"},
        {"expired.pem", "server.key", "", "expired.pem: the certificate has expired"},
        {"server.pem", "server.key", "empty.pem", "empty.pem: holds no certificate"},
        {"/dev/zero", "server.key", "", "/dev/zero: not a regular file"},
        {"server.pem", "server.key", "-", "RequireAndVerifyClientCert needs client_ca_file"},
    };
    static_assert(sizeof rows / sizeof rows[0] == 12, "rows of the table");
    for (const Row& row : rows) {
        TlsSettings settings;
        settings.cert_file = row.cert[0] == '/' ? row.cert : certs.Path(row.cert);
        settings.key_file = certs.Path(row.key);
        if (row.ca[0] != '\0') settings.client_auth = ClientAuth::kRequireAndVerify;
        if (row.ca[0] != '\0' && row.ca[0] != '-') settings.client_ca_file = certs.Path(row.ca);
        std::string error;
        const auto tls = ServerTls::Create(settings, error);
        EXPECT_EQ(tls != nullptr, row.error[0] == '\0') << row.cert << " " << row.key << ": " << error;
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

std::string SubjectOf(const std::shared_ptr<SSL_CTX>& ctx) {
    char name[256] = "";
    X509_NAME_oneline(X509_get_subject_name(SSL_CTX_get0_certificate(ctx.get())), name, sizeof name);
    return name;
}

// A renewed certificate is taken for new connections; a broken one is reported and
// the one in use stays.
TEST(ServerTls, TakesRenewedFilesAndKeepsTheOldOnesWhenBroken) {
    test_certs::Certs certs;
    ASSERT_TRUE(certs.ok());
    TlsSettings settings;
    settings.cert_file = certs.Path("cert.pem");
    settings.key_file = certs.Path("key.pem");
    std::filesystem::copy_file(certs.Path("server.pem"), settings.cert_file);
    std::filesystem::copy_file(certs.Path("server.key"), settings.key_file);
    std::string error, note;
    auto tls = ServerTls::Create(settings, error);
    ASSERT_TRUE(tls) << error;
    EXPECT_EQ(SubjectOf(tls->Context(note)), "/CN=localhost");
    // Columns: the certificate and key to put in place, the note to expect, the subject
    // new connections then see.
    struct Step {
        const char* cert;
        const char* key;
        const char* note;
        const char* subject;
    };
    const Step steps[] = {
        {"ca.pem", "ca.key", "certificate files read again", "/CN=test-ca"},
        {"expired.pem", "server.key", "refused, the previous ones stay: ", "/CN=test-ca"},
        {"server.pem", "server.key", "certificate files read again", "/CN=localhost"},
    };
    for (const Step& step : steps) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // looked at once a second
        std::filesystem::copy_file(certs.Path(step.cert), settings.cert_file,
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(certs.Path(step.key), settings.key_file,
                                   std::filesystem::copy_options::overwrite_existing);
        note.clear();
        EXPECT_EQ(SubjectOf(tls->Context(note)), step.subject) << step.cert;
        EXPECT_NE(note.find(step.note), std::string::npos) << step.cert << ": " << note;
    }
}

}  // namespace
