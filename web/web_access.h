// Who may read the web face: the bearer token (--http-token-file) and the basic-auth
// users of the web configuration, with wrong credentials slowed down per client
// address. The web configuration is read again when the file changes (looked at once
// a second at most, on requests), so users change without a restart; a changed file
// that does not parse is reported and the users in use stay.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "access/attempt_limiter.h"
#include "core/thread_annotations.h"
#include "web/web_config.h"

namespace novex {
namespace web {

// "Basic BASE64(name:password)", an Authorization header's basic credentials, into
// their parts; false for any other header, bad base64 or a pair without ':'.
bool BasicCredentials(const std::string& authorization, std::string& name, std::string& password);
// Whether two secrets are equal, in time that depends on their lengths only, so that a
// secret cannot be guessed byte by byte from response times.
bool SameSecret(const std::string& given, const std::string& secret);

class WebAccess {
public:
    using Log = std::function<void(const std::string&)>;
    // `config_file` empty: the token alone. Null with one line in `error`.
    static std::unique_ptr<WebAccess> Create(const std::string& token, const std::string& config_file,
                                             Log log, std::string& error,
                                             access::LimiterSettings attempts = {});

    enum class Verdict { kOk, kMissing, kWrong, kWait };
    // The Authorization header of a request from `peer`. kWait: the address must wait
    // `retry_after_s` before it is checked again; nothing was checked.
    Verdict Check(const std::string& authorization, const std::string& peer, int& retry_after_s);
    // Whether any credential is asked for at all.
    bool Needed();
    // Which are accepted: the token, basic-auth users (as configured now).
    bool HasToken() const { return !token_.empty(); }
    bool HasUsers();
    // The headers every answer carries (http_server_config.headers).
    std::vector<std::pair<std::string, std::string>> Headers();
    // The web configuration as read at start (its TLS settings are used from then on).
    const WebConfig& initial() const { return initial_; }

private:
    WebAccess() = default;
    void Refresh() REQUIRES(mutex_);
    // Lets go of mutex_ while bcrypt runs. A name that is no user costs the same check.
    bool CheckUser(const std::string& name, const std::string& password) REQUIRES(mutex_);
    // The user's hash, "" for no such user.
    std::string HashOf(const std::string& name) const REQUIRES(mutex_);
    // Whether bcrypt accepted these credentials already (no check needed).
    bool Accepted(const std::string& name, const std::string& password) const REQUIRES(mutex_);

    // Set by Create, read alone from then on.
    std::string token_;
    std::string config_file_;
    Log log_;
    std::unique_ptr<access::AttemptLimiter> limiter_;
    WebConfig initial_;

    // The request threads check at once; a reload replaces the users under them.
    novex::Mutex mutex_;
    WebConfig config_ GUARDED_BY(mutex_);
    std::string stamp_ GUARDED_BY(mutex_);
    std::chrono::steady_clock::time_point last_look_ GUARDED_BY(mutex_){};
    // Digests of user, hash and password that bcrypt accepted, so that a scrape every
    // few seconds costs one hash a burst, not one a request. Emptied at each reload.
    std::unordered_map<std::string, bool> accepted_ GUARDED_BY(mutex_);
    std::string dummy_ GUARDED_BY(mutex_);  // checked for names that are no user
    int hashing_ GUARDED_BY(mutex_) = 0;    // bcrypt checks running now
};

}  // namespace web
}  // namespace novex
