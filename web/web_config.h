// The web face's --web-config file, in the format Prometheus and its exporters share
// (YAML):
//
//     tls_server_config:
//       cert_file: server.pem            # relative paths: from the file's folder
//       key_file: server.key
//       client_auth_type: RequireAndVerifyClientCert   # default NoClientCert
//       client_ca_file: clients-ca.pem
//       min_version: TLS12               # default; TLS13 also allowed
//       max_version: TLS13
//     basic_auth_users:
//       prometheus: $2y$10$...           # bcrypt hashes (htpasswd -nBC 10 NAME)
//     http_server_config:
//       headers:
//         Strict-Transport-Security: max-age=31536000
//
//
// Every key of the format is taken: cipher_suites (TLS 1.2's, by the format's names),
// curve_preferences, prefer_server_cipher_suites, min_version and max_version are
// applied to OpenSSL; http2 is taken with a warning (HTTP/1.1 only here). Unknown keys
// are refused, and so are client_allowed_sans and inline cert/key, which vimohost does
// not implement, so that no setting is silently ignored.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tls/server_tls.h"

namespace novex {
namespace web {

struct WebConfig {
    bool tls = false;  // tls_server_config given: HTTPS
    tls::TlsSettings tls_settings;
    std::vector<std::pair<std::string, std::string>> users;    // name, bcrypt hash
    std::vector<std::pair<std::string, std::string>> headers;  // added to every answer
    // Settings of the format taken but without their effect here (http2: this server
    // speaks HTTP/1.1), one line each, for the log.
    std::vector<std::string> warnings;
};

// Parses the file's text; relative file names are taken from `folder`. False with one
// line in `error` (never a hash).
bool ParseWebConfig(const std::string& text, const std::string& folder, WebConfig& out,
                    std::string& error);
// Reads and parses `path`: a regular file of at most 1 MiB, refused when group or
// others may read it (it holds password hashes).
bool LoadWebConfig(const std::string& path, WebConfig& out, std::string& error);

// The highest bcrypt cost a user's hash may have. Each step doubles the work of every
// check, and the server runs a check for each attempt, wrong ones included: cost 12
// takes a few hundred milliseconds of a core (more on a small controller), cost 31
// would take days. htpasswd's -C defaults to 5, the exporters suggest 10.
constexpr int kMaxBcryptCost = 12;

// Why a web configuration read again while the service runs may not replace the one
// in force, "" when it may: a reload never lowers protection, so a file that names no
// users while users are in force (emptied, or cut short while it is being rewritten)
// is refused; going open takes a restart.
std::string ReloadRefusal(const WebConfig& in_force, const WebConfig& fresh);

// Whether `hash` is a bcrypt hash as htpasswd -B writes it ($2y$, $2b$ or $2a$, cost
// 04..31, 53 characters of salt and hash).
bool IsBcrypt(const std::string& hash);
// The cost of a bcrypt hash (IsBcrypt).
int BcryptCost(const std::string& hash);

}  // namespace web
}  // namespace novex
