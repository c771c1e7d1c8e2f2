#include "web/web_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <yaml-cpp/yaml.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace novex {
namespace web {

namespace {

constexpr size_t kMaxFileBytes = 1 << 20;

// The answer headers a web configuration may set, as the exporters allow them: each
// only strengthens what a browser does with the answers.
const char* const kSettableHeaders[] = {
    "Strict-Transport-Security", "X-Content-Type-Options", "X-Frame-Options",
    "X-XSS-Protection", "Content-Security-Policy",
};
static_assert(sizeof kSettableHeaders / sizeof kSettableHeaders[0] == 5, "the exporters' list");

// Keys of the format that vimohost does not implement, refused by name so that the
// error says why. Columns: key, why it is refused.
struct Unsupported {
    const char* key;
    const char* why;
};
const Unsupported kUnsupported[] = {
    {"client_allowed_sans", "not implemented"},
    {"cert", "give the certificate as cert_file"},
    {"key", "give the key as key_file"},
};
static_assert(sizeof kUnsupported / sizeof kUnsupported[0] == 3, "rows of the table");

// The format's cipher suite names (TLS 1.2 and below) and OpenSSL's for them; the TLS
// 1.3 suites are always on, as in the exporters. Columns: name in the file, OpenSSL's.
struct CipherRow {
    const char* name;
    const char* openssl;  // nullptr: a TLS 1.3 suite, nothing to set
};
const CipherRow kCiphers[] = {
    {"TLS_RSA_WITH_AES_128_CBC_SHA", "AES128-SHA"},
    {"TLS_RSA_WITH_AES_256_CBC_SHA", "AES256-SHA"},
    {"TLS_RSA_WITH_AES_128_CBC_SHA256", "AES128-SHA256"},
    {"TLS_RSA_WITH_AES_128_GCM_SHA256", "AES128-GCM-SHA256"},
    {"TLS_RSA_WITH_AES_256_GCM_SHA384", "AES256-GCM-SHA384"},
    {"TLS_RSA_WITH_3DES_EDE_CBC_SHA", "DES-CBC3-SHA"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA", "ECDHE-ECDSA-AES128-SHA"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA", "ECDHE-ECDSA-AES256-SHA"},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA", "ECDHE-RSA-AES128-SHA"},
    {"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA", "ECDHE-RSA-AES256-SHA"},
    {"TLS_ECDHE_RSA_WITH_3DES_EDE_CBC_SHA", "ECDHE-RSA-DES-CBC3-SHA"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256", "ECDHE-ECDSA-AES128-SHA256"},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256", "ECDHE-RSA-AES128-SHA256"},
    {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "ECDHE-RSA-AES128-GCM-SHA256"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", "ECDHE-ECDSA-AES128-GCM-SHA256"},
    {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "ECDHE-RSA-AES256-GCM-SHA384"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "ECDHE-ECDSA-AES256-GCM-SHA384"},
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-RSA-CHACHA20-POLY1305"},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-ECDSA-CHACHA20-POLY1305"},
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305", "ECDHE-RSA-CHACHA20-POLY1305"},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305", "ECDHE-ECDSA-CHACHA20-POLY1305"},
    {"TLS_AES_128_GCM_SHA256", nullptr},
    {"TLS_AES_256_GCM_SHA384", nullptr},
    {"TLS_CHACHA20_POLY1305_SHA256", nullptr},
};
static_assert(sizeof kCiphers / sizeof kCiphers[0] == 24, "rows of the table");

// The format's curve names and OpenSSL's groups. Columns: name in the file, OpenSSL's.
const std::pair<const char*, const char*> kCurves[] = {
    {"CurveP256", "P-256"}, {"CurveP384", "P-384"}, {"CurveP521", "P-521"}, {"X25519", "X25519"},
};
static_assert(sizeof kCurves / sizeof kCurves[0] == 4, "the format's four curves");

// The versions the format names below TLS 1.2, which this server does not offer: as a
// minimum they mean TLS 1.2 (with a warning), as a maximum nothing could be served.
const char* const kOldVersions[] = {"TLS10", "TLS11"};

// The keys vimohost implements. Columns: section ("" for the top level), key.
struct KeyRow {
    const char* section;  // "" at the top level
    const char* key;
};
const KeyRow kKeys[] = {
    {"", "tls_server_config"},
    {"", "basic_auth_users"},
    {"", "http_server_config"},
    {"tls_server_config", "cert_file"},
    {"tls_server_config", "key_file"},
    {"tls_server_config", "client_auth_type"},
    {"tls_server_config", "client_ca_file"},
    {"tls_server_config", "min_version"},
    {"tls_server_config", "max_version"},
    {"tls_server_config", "cipher_suites"},
    {"tls_server_config", "curve_preferences"},
    {"tls_server_config", "prefer_server_cipher_suites"},
    {"http_server_config", "headers"},
    {"http_server_config", "http2"},
};
static_assert(sizeof kKeys / sizeof kKeys[0] == 14, "rows of the table");

bool CheckKeys(const YAML::Node& map, const std::string& section, std::string& error) {
    if (!map.IsMap()) {
        error = (section.empty() ? std::string("the file") : section) + " must be a mapping of keys";
        return false;
    }
    for (const auto& entry : map) {
        const std::string key = entry.first.Scalar();
        bool known = false;
        for (const KeyRow& row : kKeys) known = known || (section == row.section && key == row.key);
        if (known) continue;
        error = "unknown key \"" + key + "\"" + (section.empty() ? "" : " in " + section);
        for (const Unsupported& u : kUnsupported)
            if (key == u.key) error = key + " is not supported: " + u.why;
        return false;
    }
    return true;
}

bool Text(const YAML::Node& map, const char* key, std::string& out, std::string& error) {
    const YAML::Node value = map[key];
    if (!value) return true;
    if (!value.IsScalar() || value.Scalar().empty()) {
        error = std::string(key) + " must be a non-empty text";
        return false;
    }
    out = value.Scalar();
    return true;
}

std::string InFolder(const std::string& folder, const std::string& path) {
    return path.empty() || path[0] == '/' || folder.empty() ? path : folder + "/" + path;
}

bool ParseTls(const YAML::Node& node, const std::string& folder, WebConfig& out, std::string& error) {
    if (!CheckKeys(node, "tls_server_config", error)) return false;
    tls::TlsSettings& s = out.tls_settings;
    std::string auth, min, max;
    if (!Text(node, "cert_file", s.cert_file, error) || !Text(node, "key_file", s.key_file, error) ||
        !Text(node, "client_ca_file", s.client_ca_file, error) ||
        !Text(node, "client_auth_type", auth, error) || !Text(node, "min_version", min, error) ||
        !Text(node, "max_version", max, error))
        return false;
    if (s.cert_file.empty() || s.key_file.empty()) {
        error = "tls_server_config needs cert_file and key_file";
        return false;
    }
    s.cert_file = InFolder(folder, s.cert_file);
    s.key_file = InFolder(folder, s.key_file);
    s.client_ca_file = InFolder(folder, s.client_ca_file);
    if (!auth.empty() && !tls::ParseClientAuth(auth, s.client_auth, error)) return false;
    for (const char* old : kOldVersions) {
        if (min == old) {
            out.warnings.push_back("tls_server_config.min_version " + min +
                                   ": TLS 1.0 and 1.1 are not offered here; the minimum is TLS12");
            min.clear();
        }
        if (max == old) {
            error = "tls_server_config.max_version " + max + ": TLS12 or TLS13 (older ones are not offered)";
            return false;
        }
    }
    if (!min.empty() && !tls::ParseTlsVersion(min, s.min_version, error)) return false;
    if (!max.empty() && !tls::ParseTlsVersion(max, s.max_version, error)) return false;
    // Lists of the format's names, each mapped to OpenSSL's.
    const auto list = [&node, &error](const char* key, const auto& find, std::string& to) {
        const YAML::Node value = node[key];
        if (!value) return true;
        if (!value.IsSequence()) {
            error = std::string("tls_server_config.") + key + " must be a list";
            return false;
        }
        for (const YAML::Node& item : value) {
            const std::string name = item.IsScalar() ? item.Scalar() : "";
            const char* mapped = nullptr;
            if (!find(name, mapped)) {
                error = std::string("tls_server_config.") + key + ": \"" + name.substr(0, 64) +
                        "\" is not one of the names the format takes";
                return false;
            }
            if (mapped) to += (to.empty() ? "" : ":") + std::string(mapped);
        }
        return true;
    };
    const auto cipher = [](const std::string& name, const char*& mapped) {
        for (const CipherRow& row : kCiphers)
            if (name == row.name) return mapped = row.openssl, true;
        return false;
    };
    const auto curve = [](const std::string& name, const char*& mapped) {
        for (const auto& row : kCurves)
            if (name == row.first) return mapped = row.second, true;
        return false;
    };
    if (!list("cipher_suites", cipher, s.ciphers) || !list("curve_preferences", curve, s.groups))
        return false;
    if (const YAML::Node prefer = node["prefer_server_cipher_suites"]) {
        if (!prefer.IsScalar() || (prefer.Scalar() != "true" && prefer.Scalar() != "false")) {
            error = "tls_server_config.prefer_server_cipher_suites must be true or false";
            return false;
        }
        s.prefer_server_order = prefer.Scalar() == "true";
    }
    out.tls = true;
    return true;
}

bool ParseUsers(const YAML::Node& node, WebConfig& out, std::string& error) {
    if (!node.IsMap()) {
        error = "basic_auth_users must map user names to bcrypt hashes";
        return false;
    }
    for (const auto& entry : node) {
        const std::string name = entry.first.Scalar();
        // A colon ends the name in a Basic credential, so such a user could never log in.
        if (name.empty() || name.find(':') != std::string::npos || !entry.second.IsScalar() ||
            !IsBcrypt(entry.second.Scalar())) {
            error = "basic_auth_users: user \"" + name.substr(0, 64) +
                    "\" needs a name without ':' and a bcrypt hash (htpasswd -nBC 10 NAME)";
            return false;
        }
        if (BcryptCost(entry.second.Scalar()) > kMaxBcryptCost) {
            error = "basic_auth_users: user \"" + name.substr(0, 64) + "\" has a bcrypt cost of " +
                    std::to_string(BcryptCost(entry.second.Scalar())) + ", above the " +
                    std::to_string(kMaxBcryptCost) + " each check may cost (htpasswd -nBC 10 NAME)";
            return false;
        }
        out.users.emplace_back(name, entry.second.Scalar());
    }
    return true;
}

bool ParseHeaders(const YAML::Node& node, WebConfig& out, std::string& error) {
    if (!CheckKeys(node, "http_server_config", error)) return false;
    if (const YAML::Node http2 = node["http2"]) {
        if (!http2.IsScalar() || (http2.Scalar() != "true" && http2.Scalar() != "false")) {
            error = "http_server_config.http2 must be true or false";
            return false;
        }
        if (http2.Scalar() == "true")
            out.warnings.push_back("http_server_config.http2: this server speaks HTTP/1.1 only; "
                                   "clients that asked for HTTP/2 get HTTP/1.1");
    }
    const YAML::Node headers = node["headers"];
    if (!headers) return true;
    if (!headers.IsMap()) {
        error = "http_server_config.headers must map header names to values";
        return false;
    }
    for (const auto& entry : headers) {
        const std::string name = entry.first.Scalar();
        bool settable = false;
        for (const char* h : kSettableHeaders) settable = settable || strcasecmp(h, name.c_str()) == 0;
        if (!settable) {
            error = "header \"" + name.substr(0, 64) + "\" cannot be set (allowed:";
            for (const char* h : kSettableHeaders) error += std::string(" ") + h;
            error += ")";
            return false;
        }
        const std::string value = entry.second.IsScalar() ? entry.second.Scalar() : "";
        bool plain = !value.empty();
        for (const char c : value) plain = plain && (c == '\t' || (c >= 0x20 && c != 0x7f));
        if (!plain) {
            error = "header " + name + " needs a one-line value";
            return false;
        }
        out.headers.emplace_back(name, value);
    }
    return true;
}

}  // namespace

bool IsBcrypt(const std::string& hash) {
    if (hash.size() != 60 || hash.compare(0, 2, "$2") != 0 || std::strchr("yba", hash[2]) == nullptr ||
        hash[3] != '$' || !std::isdigit(static_cast<unsigned char>(hash[4])) ||
        !std::isdigit(static_cast<unsigned char>(hash[5])) || hash[6] != '$')
        return false;
    const int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (cost < 4 || cost > 31) return false;
    for (size_t i = 7; i < hash.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(hash[i])) && hash[i] != '.' && hash[i] != '/') return false;
    return true;
}

std::string ReloadRefusal(const WebConfig& in_force, const WebConfig& fresh) {
    if (fresh.users.empty() && !in_force.users.empty())
        return "it names no users (a restart is needed to drop basic auth)";
    return "";
}

int BcryptCost(const std::string& hash) { return (hash[4] - '0') * 10 + (hash[5] - '0'); }

namespace {

// A refusal never shows a password hash, wherever in the file it stood (a misplaced
// one may land in a key the error quotes): "$2y$10$..." reads "(a hash)".
void HideHashes(std::string& text) {
    for (size_t at = text.find("$2"); at != std::string::npos; at = text.find("$2", at + 1)) {
        if (at + 3 >= text.size() || std::string("aby").find(text[at + 2]) == std::string::npos ||
            text[at + 3] != '$')
            continue;
        const size_t end = text.find_first_of(" \t\"',:]}", at);
        text.replace(at, (end == std::string::npos ? text.size() : end) - at, "(a hash)");
    }
}

// A refusal is one line: control characters the file brought in (a key, a value,
// the YAML reader's own quote of them) read "\xHH".
void OneLine(std::string& text) {
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f) {
            out += c;
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", u);
        out += hex;
    }
    text = out;
}

bool ParseWebConfigText(const std::string& text, const std::string& folder, WebConfig& out,
                        std::string& error);

}  // namespace

bool ParseWebConfig(const std::string& text, const std::string& folder, WebConfig& out,
                    std::string& error) {
    if (ParseWebConfigText(text, folder, out, error)) return true;
    HideHashes(error);
    OneLine(error);
    if (error.empty()) error = "not understood";
    return false;
}

namespace {

bool ParseWebConfigText(const std::string& text, const std::string& folder, WebConfig& out,
                        std::string& error) {
    out = WebConfig{};
    try {
        const YAML::Node root = YAML::Load(text);
        if (root.IsNull()) return true;  // an empty file: plain HTTP, no users
        if (!CheckKeys(root, "", error)) return false;
        if (root["tls_server_config"] && !ParseTls(root["tls_server_config"], folder, out, error))
            return false;
        if (root["basic_auth_users"] && !ParseUsers(root["basic_auth_users"], out, error)) return false;
        if (root["http_server_config"] && !ParseHeaders(root["http_server_config"], out, error))
            return false;
    } catch (const YAML::Exception& e) {
        error = "not YAML: line " + std::to_string(e.mark.line + 1) + ": " + e.msg;
        return false;
    } catch (const std::exception& e) {
        error = std::string("not understood: ") + e.what();
        return false;
    }
    return true;
}

}  // namespace

bool LoadWebConfig(const std::string& path, WebConfig& out, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st{};
    std::string text;
    bool ok = fd >= 0 && fstat(fd, &st) == 0;
    if (!ok) error = path + ": " + std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) error = path + ": not a regular file";
    else if (st.st_mode & (S_IRWXG | S_IRWXO))
        error = path + ": holds password hashes but group or others may use it (chmod 600 it)";
    else if (static_cast<size_t>(st.st_size) > kMaxFileBytes) error = path + ": larger than 1 MiB";
    ok = ok && error.empty();
    if (ok) {
        text.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = read(fd, &text[got], text.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        text.resize(got);
    }
    if (fd >= 0) close(fd);
    if (!ok) return false;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
    if (!ParseWebConfig(text, folder, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace web
}  // namespace novex
