// HTTPS through --web-config, with curl as the client: client certificates under
// RequireAndVerifyClientCert, basic-auth users, configured headers, plain HTTP on the
// HTTPS port, a wrong CA, garbage and a stalled handshake.
#include <crypt.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/test_certs.h"
#include "tests/web_support.h"
#include "web/http_server.h"

namespace {

using namespace web_test;

std::string Bcrypt(const std::string& password) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_gensalt_rn("$2y$", 4, nullptr, 0, salt, sizeof salt);
    crypt_data data{};
    return crypt_r(password.c_str(), salt, &data);
}

// curl's exit code and what it printed: "-w %{http_code}" then the headers asked for.
std::pair<int, std::string> Curl(const std::string& args) {
    FILE* out = popen(("curl -s -o /dev/null -D - -w '%{http_code}' --max-time 5 " + args + " 2>/dev/null").c_str(), "r");
    std::string text;
    char buffer[4096];
    size_t n;
    while (out && (n = fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, n);
    const int status = out ? pclose(out) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

class WebTls : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("curl --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs curl";
        ASSERT_TRUE(certs.ok()) << "openssl could not make the test certificates";
        const std::string config = certs.Path("web.yml");
        std::ofstream(config) << "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n"
                                 "  client_auth_type: RequireAndVerifyClientCert\n"
                                 "  client_ca_file: ca.pem\n"
                                 "basic_auth_users:\n  prom: " << Bcrypt("secret") << "\n"
                                 "http_server_config:\n  headers:\n"
                                 "    Strict-Transport-Security: max-age=31536000\n";
        chmod(config.c_str(), 0600);
        options_.listen = "127.0.0.1:0";
        options_.threads = 2;
        options_.request_timeout_ms = 1000;
        options_.web_config = config;
        std::string error;
        server_ = novex::web::HttpServer::Start(source_, options_, error);
        ASSERT_TRUE(server_) << error;
        url_ = "https://127.0.0.1:" + std::to_string(server_->port());
    }
    test_certs::Certs certs;
    FakeSource source_;
    novex::web::ServerOptions options_;
    std::unique_ptr<novex::web::HttpServer> server_;
    std::string url_;
};

TEST_F(WebTls, ClientCertificatesUsersAndPlainHttp) {
    const std::string ca = "--cacert " + certs.Path("ca.pem");
    const std::string cert = " --cert " + certs.Path("client.pem") + " --key " + certs.Path("client.key");
    // Columns: curl's arguments, its exit code (-1: any failure; under TLS 1.3 the refusal
    // of a missing certificate reaches curl as 55 or 56), the status (the last line), a
    // header the answer must carry ("" for none).
    struct Row {
        std::string args;
        int exit_code;
        const char* status;
        const char* header;
    };
    const Row rows[] = {
        {ca + cert + " -u prom:secret " + url_ + "/metrics", 0, "200", "Strict-Transport-Security: max-age"},
        {ca + cert + " -u prom:wrong " + url_ + "/metrics", 0, "401", "WWW-Authenticate"},
        {ca + cert + " " + url_ + "/healthz", 0, "200", ""},
        {ca + " -u prom:secret " + url_ + "/metrics", -1, "000", ""},   // no client certificate
        {"--cacert " + certs.Path("other-ca.pem") + cert + " " + url_ + "/", 60, "000", ""},
        {"http://127.0.0.1:" + std::to_string(server_->port()) + "/metrics", 0, "400", ""},
        {ca + cert + " --tls-max 1.1 " + url_ + "/", 35, "000", ""},  // TLS 1.1 is not offered
    };
    static_assert(sizeof rows / sizeof rows[0] == 7, "rows of the table");
    for (const Row& row : rows) {
        const auto [code, out] = Curl(row.args);
        if (row.exit_code >= 0) EXPECT_EQ(code, row.exit_code) << row.args << "\n" << out;
        else EXPECT_NE(code, 0) << row.args << "\n" << out;
        EXPECT_EQ(out.substr(out.size() >= 3 ? out.size() - 3 : 0), row.status) << row.args << "\n" << out;
        EXPECT_NE(out.find(row.header), std::string::npos) << row.args << "\n" << out;
    }
}

// Garbage instead of a hello and a client that starts TLS and stalls are closed; a
// request meanwhile is answered.
TEST_F(WebTls, GarbageAndStalledHandshakesAreClosed) {
    const std::string hello_start("\x16\x03\x01\x00\xff\x01\x00\x00", 8);
    const std::pair<std::string, int> rows[] = {
        {std::string(64, '\x16') + std::string(64, '\xff'), 3000},
        {hello_start, 3000},  // never finished: closed by the handshake deadline
    };
    for (const auto& [send, within_ms] : rows) {
        bool closed = false;
        std::thread bad([&] { RawExchange(server_->port(), send, within_ms, &closed); });
        const auto [code, out] = Curl("--cacert " + certs.Path("ca.pem") + " --cert " + certs.Path("client.pem") +
                                      " --key " + certs.Path("client.key") + " " + url_ + "/healthz");
        EXPECT_EQ(out.substr(out.size() >= 3 ? out.size() - 3 : 0), "200") << out;
        bad.join();
        EXPECT_TRUE(closed) << "not closed within " << within_ms << " ms";
    }
}

}  // namespace
