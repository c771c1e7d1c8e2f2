// The web configuration file and who it lets in: what is refused with which line,
// the credentials a request may carry, wrong ones slowed down per address, and users
// read again when the file changes.
#include <crypt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/web_support.h"
#include "web/router.h"
#include "web/web_access.h"
#include "web/web_config.h"

namespace {

using namespace novex::web;
using web_test::FakeSource;

// A bcrypt hash of `password` made here by libcrypt, at the lowest cost unless asked, as htpasswd
// -nB would write it.
std::string Bcrypt(const std::string& password, unsigned long cost = 4) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_gensalt_rn("$2y$", cost, nullptr, 0, salt, sizeof salt);
    crypt_data data{};
    return crypt_r(password.c_str(), salt, &data);
}

std::string Basic(const std::string& pair) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < pair.size(); i += 3) {
        const size_t n = std::min<size_t>(3, pair.size() - i);
        unsigned v = 0;
        for (size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? static_cast<unsigned char>(pair[i + k]) : 0);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return "Basic " + out;
}

TEST(WebConfig, RefusesWhatItDoesNotImplementWithOneLine) {
    const std::string hash = Bcrypt("secret");
    // Columns: the file's text, what the error must say ("" when it is taken).
    struct Row {
        std::string text;
        const char* error;
    };
    const Row rows[] = {
        {"", ""},
        {"tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n  client_auth_type: "
         "RequireAndVerifyClientCert\n  client_ca_file: ca.pem\n  min_version: TLS13\n"
         "basic_auth_users:\n  prom: " + hash + "\nhttp_server_config:\n  headers:\n"
         "    Strict-Transport-Security: max-age=31536000\n", ""},
        {"tls_server_config:\n  cert_file: c.pem\n", "needs cert_file and key_file"},
        {"tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n  max_version: TLS11\n",
         "TLS12 or TLS13"},
        {"tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n  client_auth_type: Maybe\n",
         "client_auth_type \"Maybe\": one of"},
        {"tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n  cipher_suites: [x]\n",
         "cipher_suites: \"x\" is not one of the names"},
        {"tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n  client_allowed_sans: [a]\n",
         "client_allowed_sans is not supported"},
        {"basic_auth_user:\n  prom: x\n", "unknown key \"basic_auth_user\""},
        {"basic_auth_users:\n  prom: plain-password\n", "user \"prom\" needs"},
        {"basic_auth_users:\n  prom: $1$abc$defghijklmnopqrstuvwxyz\n", "bcrypt hash"},
        {"basic_auth_users:\n  \"a:b\": " + hash + "\n", "without ':'"},
        {"basic_auth_users: [prom]\n", "must map user names"},
        // A valid hash of cost 13: each guess would cost twice a cost-12 check.
        {"basic_auth_users:\n  prom: $2y$13$" + hash.substr(7) + "\n", "bcrypt cost of 13, above the 12"},
        {"http_server_config:\n  headers:\n    Set-Cookie: a=b\n", "header \"Set-Cookie\" cannot be set"},
        {"http_server_config:\n  headers:\n    X-Frame-Options: \"a\\r\\nX: y\"\n", "one-line value"},
        {"http_server_config:\n  http2: yes-please\n", "http2 must be true or false"},
        {"tls_server_config: [\n", "not YAML: line"},
        {"- a\n- b\n", "must be a mapping"},
    };
    static_assert(sizeof rows / sizeof rows[0] == 18, "rows of the table");
    for (const Row& row : rows) {
        WebConfig config;
        std::string error;
        EXPECT_EQ(ParseWebConfig(row.text, "/etc/x", config, error), row.error[0] == '\0')
            << row.text << ": " << error;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.text << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(error.find(hash), std::string::npos) << "a hash in a message";
    }
    WebConfig config;
    std::string error;
    // The whole format: the TLS choices mapped to OpenSSL's names, what cannot apply
    // taken with a warning.
    ASSERT_TRUE(ParseWebConfig("tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n"
                               "  min_version: TLS10\n  prefer_server_cipher_suites: false\n"
                               "  cipher_suites: [TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256, TLS_AES_128_GCM_SHA256,"
                               " TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256]\n"
                               "  curve_preferences: [X25519, CurveP256]\nhttp_server_config:\n  http2: true\n",
                               "/etc/x", config, error))
        << error;
    EXPECT_EQ("ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305", config.tls_settings.ciphers);
    EXPECT_EQ("X25519:P-256", config.tls_settings.groups);
    EXPECT_FALSE(config.tls_settings.prefer_server_order);
    EXPECT_EQ(0, config.tls_settings.min_version);  // TLS 1.2, the least offered
    ASSERT_EQ(2u, config.warnings.size());
    EXPECT_NE(std::string::npos, config.warnings[1].find("HTTP/1.1 only")) << config.warnings[1];
    ASSERT_TRUE(ParseWebConfig(rows[1].text, "/etc/x", config, error));
    EXPECT_EQ(config.tls_settings.cert_file, "/etc/x/c.pem");
    EXPECT_EQ(config.users.size(), 1u);
    EXPECT_EQ(config.headers.size(), 1u);
}

class AccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vimohost-webcfg-XXXXXX";
        dir_ = mkdtemp(pattern);
        path_ = dir_ + "/web.yml";
        Write("basic_auth_users:\n  prom: " + Bcrypt("secret") + "\n");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void Write(const std::string& text) {
        std::ofstream(path_) << text;
        chmod(path_.c_str(), 0600);
    }
    std::string dir_, path_;
    std::string log_;
};

// A trace of requests: each Authorization header, its address and the verdict.
TEST_F(AccessTest, CredentialsAndAttemptsPerAddress) {
    novex::access::LimiterSettings attempts;
    attempts.free_failures = 2;
    attempts.first_delay_ms = 5000;
    std::string error;
    auto access = WebAccess::Create("tok3n", path_, [this](const std::string& l) { log_ += l + "\n"; },
                                    error, attempts);
    ASSERT_TRUE(access) << error;
    using V = WebAccess::Verdict;
    struct Step {
        std::string authorization;
        const char* peer;
        V verdict;
    };
    const Step trace[] = {
        {"", "10.0.0.1", V::kMissing},               // a browser's first request: not counted
        {Basic("prom:secret"), "10.0.0.1", V::kOk},
        {Basic("prom:secret"), "10.0.0.1", V::kOk},  // from the cache
        {"Bearer tok3n", "10.0.0.1", V::kOk},
        {Basic("anyone:tok3n"), "10.0.0.1", V::kOk},  // the token as a password
        {Basic("prom:wrong"), "10.0.0.1", V::kWrong},
        {"Bearer wrong", "10.0.0.1", V::kWrong},
        {"Basic !!!!", "10.0.0.1", V::kWrong},       // third: slowed down from here
        {Basic("prom:secret"), "10.0.0.1", V::kWait},  // even the right one waits its slot
        {Basic("prom:secret"), "10.0.0.2", V::kOk},    // another address at once
        {Basic("nobody:secret"), "10.0.0.2", V::kWrong},
        {"Digest x", "10.0.0.2", V::kWrong},
        // The scheme in any case (RFC 7617); a NUL never ends the password early.
        {"basic " + Basic("prom:secret").substr(6), "10.0.1.1", V::kOk},
        {"BASIC  " + Basic("prom:secret").substr(6), "10.0.1.1", V::kOk},
        {Basic(std::string("prom:secret\0junk", 16)), "10.0.1.1", V::kWrong},
    };
    static_assert(sizeof trace / sizeof trace[0] == 15, "rows of the trace");
    for (const Step& s : trace) {
        int retry = 0;
        EXPECT_EQ(access->Check(s.authorization, s.peer, retry), s.verdict) << s.authorization;
        if (s.verdict == V::kWait) {
            EXPECT_EQ(retry, 5);
        }
    }
    EXPECT_EQ(std::count(log_.begin(), log_.end(), '\n'), 4) << log_;  // 10.0.0.1 twice, .2 and 10.0.1.1 once
}

// Wrong guesses sent at one moment from a fresh address: no more run bcrypt than one
// after the other would (four), the rest wait; a name that is no user costs a check as
// long as a user's, so answers do not tell which names exist.
TEST_F(AccessTest, ConcurrentGuessesAndUnknownNames) {
    Write("basic_auth_users:\n  prom: " + Bcrypt("secret", 8) + "\n");
    std::string error;
    auto access = WebAccess::Create("", path_, nullptr, error);
    ASSERT_TRUE(access) << error;
    std::atomic<int> checked{0};
    std::vector<std::thread> guessers;
    for (int i = 0; i < 16; ++i)
        guessers.emplace_back([&] {
            int retry = 0;
            checked += access->Check(Basic("prom:guess"), "10.9.0.1", retry) == WebAccess::Verdict::kWrong;
        });
    for (std::thread& t : guessers) t.join();
    EXPECT_LE(checked.load(), 4);
    EXPECT_GE(checked.load(), 1);
    // Fastest of five each, from addresses of their own (no waits).
    const auto fastest = [&](const std::string& pair, int from) {
        auto best = std::chrono::steady_clock::duration::max();
        for (int i = 0; i < 5; ++i) {
            int retry = 0;
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(access->Check(Basic(pair), "10.8." + std::to_string(from + i) + ".1", retry),
                      WebAccess::Verdict::kWrong);
            best = std::min(best, std::chrono::steady_clock::now() - start);
        }
        return best;
    };
    const auto known = fastest("prom:guess", 0), unknown = fastest("nobody:guess", 10);
    // A name check alone answers some ten times faster than bcrypt; a loaded machine
    // blurs the two checks by less than four.
    EXPECT_GT(unknown * 4, known) << "an unknown name answers much faster than a user";
}

// The token alone (no users file) is read by the same Basic-auth path as the users.
TEST(Authorized, TokenAsBearerOrAsAnyUsersPassword) {
    // Columns: Authorization header, accepted with the token "tok3n".
    const std::pair<std::string, bool> kRows[] = {
        {"Bearer tok3n", true},          {Basic("anyone:tok3n"), true},
        {Basic(":tok3n"), true},         {Basic("anyone:tok3n2"), false},
        {Basic("tok3n"), false},         {"Basic !!!!", false},
        {Basic("a:tok3n").substr(0, 16), true},          // "YTp0b2szbg", unpadded
        {Basic("a:tok3n").substr(0, 15), false},         // cut mid-character
        {"Bearer tok3", false},          {"", false},
    };
    for (const auto& [header, ok] : kRows) EXPECT_EQ(Authorized(header, "tok3n"), ok) << header;
    EXPECT_TRUE(Authorized("", "")) << "no token: open";
}

// A 401 says what was wrong, in terms of what this server takes. Columns: the token
// (empty: none), the Authorization header, a part of the answer.
TEST_F(AccessTest, RefusalSaysWhatWasWrong) {
    struct Row {
        const char* token;
        std::string authorization;
        const char* says;
    };
    const Row rows[] = {
        {"", "", "no credentials sent: send a user name and password (basic auth)"},
        {"", Basic("prom:wrong"), "wrong user name or password\""},
        {"", "Bearer x", "no token is configured here: send a user name and password"},
        {"tok3n", Basic("prom:wrong"), "wrong user name or password (or token)"},
        {"tok3n", "Bearer x", "wrong token"},
        {"tok3n", "Digest x", "unknown authorization scheme: send a user name and password, or the token"},
    };
    for (const Row& r : rows) {
        std::string error;
        auto access = WebAccess::Create(r.token, path_, nullptr, error);
        ASSERT_TRUE(access) << error;
        FakeSource source;
        const Router router(source, *access);
        const Response answer = router.Handle({"GET", "/metrics", "", r.authorization}, 0);
        EXPECT_EQ(401, answer.status);
        EXPECT_NE(std::string::npos, answer.body.find(r.says)) << answer.body;
    }
}

// A renewed users file is taken within a second or so; a broken one, or one that
// would drop every user, is reported and the users in use stay.
TEST_F(AccessTest, UsersReadAgainWhenTheFileChanges) {
    std::string error;
    auto access = WebAccess::Create("", path_, [this](const std::string& l) { log_ += l + "\n"; }, error);
    ASSERT_TRUE(access) << error;
    int retry = 0;
    // Columns: the file's new text, the user that must then get in.
    struct Step {
        std::string text;
        const char* pair;
    };
    const Step steps[] = {
        {"basic_auth_users:\n  grafana: " + Bcrypt("other") + "\n", "grafana:other"},
        {"basic_auth_users:\n  broken: not-a-hash\n", "grafana:other"},
        // Emptied or cut short while the file is rewritten: auth stays on.
        {"", "grafana:other"},
        {"basic_auth_users:\n", "grafana:other"},
        {"http_server_config:\n  headers:\n    X-Frame-Options: deny\n", "grafana:other"},
    };
    for (const Step& step : steps) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        Write(step.text);
        EXPECT_EQ(access->Check(Basic(step.pair), "10.0.0.9", retry), WebAccess::Verdict::kOk)
            << step.pair << "\n" << log_;
        EXPECT_EQ(access->Check("", "10.0.0.9", retry), WebAccess::Verdict::kMissing) << step.text;
        EXPECT_TRUE(access->Needed());
    }
    EXPECT_NE(log_.find("refused, the users in use stay"), std::string::npos) << log_;
    chmod(path_.c_str(), 0644);
    EXPECT_FALSE(WebAccess::Create("", path_, nullptr, error));
    EXPECT_NE(error.find("group or others"), std::string::npos) << error;
}

}  // namespace
