// HTTPS through --web-config, with curl as the client: client certificates under
// RequireAndVerifyClientCert, basic-auth users, configured headers, plain HTTP on the
// HTTPS port, a wrong CA, garbage and a stalled handshake.
#include <arpa/inet.h>
#include <crypt.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "peer_skip.h"

#include "common/child_process.h"
#include "tests/test_certs.h"
#include "tests/tls_client.h"
#include "tests/web_support.h"
#include "web/http_server.h"
#include "web/web_config.h"

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
        NOVEX_NEED_PEER(std::system("curl --version >/dev/null 2>&1") == 0, "needs curl");
        ASSERT_TRUE(certs.ok()) << "openssl could not make the test certificates";
        const std::string config = certs.Path("web.yml");
        std::ofstream(config) << "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n"
                                 "  client_auth_type: RequireAndVerifyClientCert\n"
                                 "  client_ca_file: ca.pem\n"
                                 "basic_auth_users:\n  prom: " << Bcrypt("secret") << "\n"
                                 "http_server_config:\n  headers:\n"
                                 "    Strict-Transport-Security: max-age=31536000\n";
        chmod(config.c_str(), 0600);
        source_.state.version = "1.0.0";
        source_.state.devices.push_back(
            {Snapshot("ups1", 1, {{"battery_charge", 80}}, {}, std::time(nullptr), 2), 1e9, {}});
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
    for (const auto& row : rows) {
        // Named copies: a lambda may not capture a structured binding before C++20.
        const std::string& send = row.first;
        const int within_ms = row.second;
        bool closed = false;
        std::thread bad([&] { RawExchange(server_->port(), send, within_ms, &closed); });
        const auto [code, out] = Curl("--cacert " + certs.Path("ca.pem") + " --cert " + certs.Path("client.pem") +
                                      " --key " + certs.Path("client.key") + " " + url_ + "/healthz");
        EXPECT_EQ(out.substr(out.size() >= 3 ? out.size() - 3 : 0), "200") << out;
        bad.join();
        EXPECT_TRUE(closed) << "not closed within " << within_ms << " ms";
    }
}

// A TCP connection to loopback `port` from loopback address `from`, sending nothing.
int IdleConnection(int port, const char* from) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, from, &address.sin_addr);
    (void)!bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)!connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

// Clients that trickle their request head over TLS hold no thread of the HTTP server,
// and connections that send nothing cannot fill the front: each time, a request from
// another loopback address is answered at once. Columns: the case, connections made.
TEST_F(WebTls, TricklingAndIdleClientsLockNobodyOut) {
    const std::string ca = certs.Path("ca.pem"), cert = certs.Path("client.pem"), key = certs.Path("client.key");
    std::vector<std::unique_ptr<tls_client::Client>> trickling;
    for (int i = 0; i < 16; ++i) {
        trickling.push_back(std::make_unique<tls_client::Client>(server_->port()));
        ASSERT_EQ(trickling.back()->Handshake(ca, cert, key), "");
        trickling.back()->Send("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
    }
    const std::string probe = "--interface 127.0.0.9 --cacert " + ca + " --cert " + cert + " --key " + key + " " +
                              url_ + "/healthz";
    auto start = std::chrono::steady_clock::now();
    auto [code, out] = Curl(probe);
    EXPECT_EQ(out.substr(out.size() >= 3 ? out.size() - 3 : 0), "200") << out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900)) << "held up";
    trickling.clear();
    // 64 connections from four addresses that send nothing: the front is full.
    std::vector<int> idle;
    for (int i = 0; i < 64; ++i)
        idle.push_back(IdleConnection(server_->port(), ("127.0.0." + std::to_string(1 + i % 4)).c_str()));
    start = std::chrono::steady_clock::now();
    std::tie(code, out) = Curl(probe);
    EXPECT_EQ(out.substr(out.size() >= 3 ? out.size() - 3 : 0), "200") << out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900)) << "held up";
    for (const int fd : idle) close(fd);
}

bool Have(const char* program) {
    return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A real Prometheus scrapes over HTTPS with basic auth and its own client certificate:
// the target is up and the figures are there; with the wrong CA or password the
// target is down with Prometheus's reason. Columns: job, CA file, password, client
// certificate given, what the target's health must be, what its lastError must hold.
TEST_F(WebTls, PrometheusScrapesOverHttps) {
    NOVEX_NEED_PEER(access("/usr/bin/prometheus", X_OK) == 0, "needs prometheus (scripts/install-deps.sh --peers)");
    struct Job {
        const char* name;
        const char* ca;
        const char* password;
        bool client_cert;
        const char* health;
        const char* error;
    };
    const Job jobs[] = {
        {"good", "ca.pem", "secret", true, "up", ""},
        {"wrong_ca", "other-ca.pem", "secret", true, "down", "certificate signed by unknown authority"},
        {"wrong_password", "ca.pem", "guess", true, "down", "401 Unauthorized"},
        // With TLS 1.3 the server refuses after the client's side of the handshake: the
        // client reads the alert, or its first write meets the closed connection.
        {"no_client_cert", "ca.pem", "secret", false, "down",
         "certificate required|connection reset by peer"},
    };
    std::string config = "global: {scrape_interval: 1s}\nscrape_configs:\n";
    for (const Job& job : jobs) {
        config += std::string("  - job_name: ") + job.name + "\n    scheme: https\n" +
                  "    basic_auth: {username: prom, password: " + job.password + "}\n" +
                  "    tls_config: {ca_file: " + certs.Path(job.ca) +
                  (job.client_cert ? ", cert_file: " + certs.Path("client.pem") + ", key_file: " +
                                         certs.Path("client.key")
                                   : std::string()) +
                  "}\n    static_configs: [{targets: ['127.0.0.1:" + std::to_string(server_->port()) + "']}]\n";
    }
    std::ofstream(certs.Path("prometheus.yml")) << config;
    // A port the system just handed out and took back: free for Prometheus.
    int prometheus_port = 0;
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) == 0)
            prometheus_port = ntohs(at.sin_port);
        close(fd);
    }
    vimo::ChildProcess prometheus;
    vimo::ChildProcess::Options options;
    options.capture_stdout = false;
    options.stdout_file = certs.Path("prometheus.out");
    options.stderr_file = certs.Path("prometheus.err");
    std::string error;
    ASSERT_TRUE(prometheus.Start({"/usr/bin/prometheus", "--config.file=" + certs.Path("prometheus.yml"),
                                  "--storage.tsdb.path=" + certs.Path("data"),
                                  "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)},
                                 options, error))
        << error;
    std::string targets;
    const auto settled = [&] {
        targets = Get(prometheus_port, "/api/v1/targets").second;
        return std::count(targets.begin(), targets.end(), '"') > 0 &&
               targets.find("\"health\":\"unknown\"") == std::string::npos &&
               std::count_if(std::begin(jobs), std::end(jobs), [&](const Job& j) {
                   return targets.find(std::string("\"job\":\"") + j.name) != std::string::npos;
               }) == 4;
    };
    for (int i = 0; i < 100 && !settled(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (const Job& job : jobs) {
        // The target's entry in the answer: from its scrapePool to the next one.
        const size_t at = targets.find(std::string("\"scrapePool\":\"") + job.name + "\"");
        ASSERT_NE(at, std::string::npos) << job.name << ": " << targets << ReadAll(certs.Path("prometheus.err")).substr(0, 3000);
        const std::string entry = targets.substr(at, targets.find("\"scrapePool\"", at + 1) - at);
        EXPECT_NE(entry.find(std::string("\"health\":\"") + job.health), std::string::npos) << entry;
        // Any one of the reasons, separated by '|'.
        bool reason = false;
        for (size_t from = 0; from <= std::strlen(job.error);) {
            const char* bar = std::strchr(job.error + from, '|');
            const size_t to = bar ? static_cast<size_t>(bar - job.error) : std::strlen(job.error);
            reason = reason || entry.find(std::string(job.error + from, to - from)) != std::string::npos;
            from = to + 1;
        }
        EXPECT_TRUE(reason) << job.error << "\n" << entry;
    }
    const auto figure = Get(prometheus_port, "/api/v1/query?query=ups_battery_charge_percent").second;
    EXPECT_NE(figure.find("\"80\""), std::string::npos) << figure;
    EXPECT_EQ(prometheus.Stop(5000), 0) << ReadAll(certs.Path("prometheus.err"));
}

// The example web configuration passes promtool's check and vimohost's, certificates
// beside it.
TEST(WebTlsExample, PromtoolAndVimohostTakeTheExample) {
    const char* source = std::getenv("NOVEX_SOURCE_DIR");
    ASSERT_TRUE(source);
    test_certs::Certs certs;
    ASSERT_TRUE(certs.ok());
    const std::string example = certs.Path("web.yml");
    std::filesystem::copy_file(std::string(source) + "/web/prometheus/web-config.example.yml", example);
    std::filesystem::copy_file(certs.Path("server.pem"), certs.Path("vimohost.crt"));
    std::filesystem::copy_file(certs.Path("server.key"), certs.Path("vimohost.key"));
    chmod(example.c_str(), 0600);
    novex::web::WebConfig config;
    std::string error;
    EXPECT_TRUE(novex::web::LoadWebConfig(example, config, error)) << error;
    EXPECT_TRUE(novex::tls::ServerTls::Create(config.tls_settings, error)) << error;
    NOVEX_NEED_PEER(Have("promtool"), "needs promtool (package prometheus)");
    EXPECT_EQ(std::system(("promtool check web-config " + example + " >/dev/null 2>&1").c_str()), 0);
}


// What openssl s_client says of a handshake with `port` (its stdin closed at once).
std::string SClient(int port, const std::string& args, const std::string& ca) {
    FILE* out = popen(("openssl s_client -connect 127.0.0.1:" + std::to_string(port) + " -CAfile " + ca +
                       " " + args + " </dev/null 2>&1").c_str(),
                      "r");
    std::string text;
    char buffer[4096];
    size_t n;
    while (out && (n = fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, n);
    if (out) pclose(out);
    return text;
}

// The format whole, as the exporters take it: one file that promtool checks, that
// vimohost serves with its cipher suites, curves, versions and headers (seen by
// openssl s_client and curl), and that node_exporter serves alike.
TEST(WebTlsFormat, CiphersCurvesVersionsAndHeadersApply) {
    if (!Have("openssl") || !Have("curl")) GTEST_SKIP() << "needs openssl and curl";
    test_certs::Certs certs;
    ASSERT_TRUE(certs.ok());
    const std::string config = certs.Path("web.yml");
    std::ofstream(config) << "tls_server_config:\n  cert_file: server.pem\n  key_file: server.key\n"
                             "  max_version: TLS12\n  prefer_server_cipher_suites: true\n"
                             "  cipher_suites: [TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,"
                             " TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256]\n"
                             "  curve_preferences: [CurveP384]\n"
                             "http_server_config:\n  http2: false\n  headers:\n    X-Frame-Options: deny\n";
    chmod(config.c_str(), 0600);
    if (Have("promtool")) {
        EXPECT_EQ(std::system(("promtool check web-config " + config + " >/dev/null 2>&1").c_str()), 0);
    }
    FakeSource source;
    source.state.version = "1.0.0";
    novex::web::ServerOptions options;
    options.listen = "127.0.0.1:0";
    options.threads = 2;
    options.web_config = config;
    std::string error;
    const auto server = novex::web::HttpServer::Start(source, options, error);
    ASSERT_TRUE(server) << error;
    const std::string ca = certs.Path("ca.pem");
    // Columns: s_client's arguments, what its report must hold.
    const std::pair<const char*, const char*> rows[] = {
        {"-tls1_2", "Cipher is ECDHE-ECDSA-AES256-GCM-SHA384"},   // the server's first
        {"-tls1_2 -groups P-384:P-256", "Server Temp Key: ECDH, secp384r1"},  // P-256 signs
        // the certificate only
        {"-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256", "Cipher is (NONE)"},  // not offered
        {"-tls1_2 -groups P-256", "Cipher is (NONE)"},                      // no shared curve
        {"-tls1_3", "Cipher is (NONE)"},                                    // above max_version
    };
    for (const auto& [args, holds] : rows)
        EXPECT_NE(SClient(server->port(), args, ca).find(holds), std::string::npos)
            << args << "\n" << SClient(server->port(), args, ca);
    const auto [code, headers] = Curl("--cacert " + ca + " https://localhost:" +
                                      std::to_string(server->port()) + "/healthz");
    EXPECT_NE(headers.find("X-Frame-Options: deny"), std::string::npos) << code << headers;

    if (!Have("prometheus-node-exporter")) GTEST_SKIP() << "needs prometheus-node-exporter (scripts/install-deps.sh --peers)";
    int exporter_port = 0;
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) == 0)
            exporter_port = ntohs(at.sin_port);
        close(fd);
    }
    vimo::ChildProcess exporter;
    vimo::ChildProcess::Options run;
    run.capture_stdout = false;
    run.stdout_file = certs.Path("exporter.out");
    run.stderr_file = certs.Path("exporter.err");
    ASSERT_TRUE(exporter.Start({"/usr/bin/prometheus-node-exporter", "--web.config.file=" + config,
                                "--web.listen-address=127.0.0.1:" + std::to_string(exporter_port),
                                "--collector.disable-defaults"},
                               run, error))
        << error;
    std::string report;
    for (int i = 0; i < 50; ++i) {
        report = SClient(exporter_port, "-tls1_2", ca);
        if (report.find("Cipher is ECDHE") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(report.find("Cipher is ECDHE-ECDSA-"), std::string::npos) << report << ReadAll(certs.Path("exporter.err"));
    EXPECT_NE(SClient(exporter_port, "-tls1_3", ca).find("Cipher is (NONE)"), std::string::npos);
    exporter.Stop(5000);
}

}  // namespace
