#include "web/web_access.h"

#include <crypt.h>
#include <sys/stat.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace novex {
namespace web {

namespace {

constexpr size_t kMaxAccepted = 256;
// bcrypt checks running at once, whatever the number of request threads: a burst of
// guesses costs at most this many cores; more wait (429 with Retry-After).
constexpr int kMaxHashChecks = 2;

// The credentials after an Authorization scheme, named in any case (RFC 7617) and
// followed by one or more spaces; false for another scheme.
bool Scheme(const std::string& authorization, const char* scheme, std::string& credentials) {
    const size_t n = std::strlen(scheme);
    if (authorization.size() <= n || strncasecmp(authorization.c_str(), scheme, n) != 0 ||
        authorization[n] != ' ')
        return false;
    const size_t start = authorization.find_first_not_of(' ', n);
    credentials = start == std::string::npos ? "" : authorization.substr(start);
    return true;
}

// A hash of the highest cost among `users` that no password matches: checked for a
// name that is no user, so that the answer takes as long as for one that is and does
// not tell which names exist.
std::string DummyHash(const WebConfig& config) {
    int cost = 0;
    for (const auto& user : config.users) cost = std::max(cost, BcryptCost(user.second));
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (cost == 0 || crypt_gensalt_rn("$2y$", static_cast<unsigned long>(cost), nullptr, 0, salt,
                                      sizeof salt) == nullptr)
        return "";
    return salt;  // "$2y$NN$" and 22 characters of salt: a check runs the whole cost
}

// Base64 with or without its '=' padding (some clients leave it out); "" when bad.
std::string Base64Decode(std::string text) {
    if (text.empty() || text.size() > 4096 || text.size() % 4 == 1) return "";
    text.append((4 - text.size() % 4) % 4, '=');
    std::string out(text.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return "";
    size_t size = static_cast<size_t>(n);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i) --size;  // padding
    out.resize(size);
    return out;
}

std::string Digest(const std::string& text) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_Digest(text.data(), text.size(), md, &size, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(md), size);
}

std::string Stamp(const std::string& path) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) return "-";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) +
           ":" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

bool SameSecret(const std::string& given, const std::string& secret) {
    return given.size() == secret.size() && CRYPTO_memcmp(given.data(), secret.data(), given.size()) == 0;
}

bool BasicCredentials(const std::string& authorization, std::string& name, std::string& password) {
    std::string credentials;
    if (!Scheme(authorization, "Basic", credentials)) return false;
    const std::string pair = Base64Decode(credentials);
    const size_t colon = pair.find(':');
    // A NUL would end the password where libcrypt reads it: "right\0anything" would pass.
    if (colon == std::string::npos || pair.find('\0') != std::string::npos) return false;
    name = pair.substr(0, colon);
    password = pair.substr(colon + 1);
    return true;
}

std::unique_ptr<WebAccess> WebAccess::Create(const std::string& token, const std::string& config_file,
                                             Log log, std::string& error,
                                             access::LimiterSettings attempts) {
    std::unique_ptr<WebAccess> access(new WebAccess());
    access->token_ = token;
    access->config_file_ = config_file;
    access->log_ = std::move(log);
    access->limiter_ = std::make_unique<access::AttemptLimiter>(attempts);
    novex::MutexLock lock(access->mutex_);  // not shared yet: held for the lock annotations
    if (!config_file.empty()) {
        access->stamp_ = Stamp(config_file);
        if (!LoadWebConfig(config_file, access->initial_, error)) return nullptr;
        access->config_ = access->initial_;
        access->dummy_ = DummyHash(access->config_);
    }
    access->last_look_ = std::chrono::steady_clock::now();
    return access;
}

void WebAccess::Refresh() {
    if (config_file_.empty()) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_look_ < std::chrono::seconds(1)) return;
    last_look_ = now;
    const std::string stamp = Stamp(config_file_);
    if (stamp == stamp_) return;
    stamp_ = stamp;
    WebConfig fresh;
    std::string error;
    if (!LoadWebConfig(config_file_, fresh, error)) {
        if (log_) log_("web configuration refused, the users in use stay: " + error);
        return;
    }
    // A file cut short (an editor saving in place, `cat new > web.yml`, a full disk)
    // can read as one without users: that would let everyone in.
    const std::string refusal = ReloadRefusal(config_, fresh);
    if (!refusal.empty()) {
        if (log_) log_("web configuration refused, the users in use stay: " + config_file_ + ": " + refusal);
        return;
    }
    config_.users = fresh.users;
    config_.headers = fresh.headers;
    dummy_ = DummyHash(config_);
    accepted_.clear();
    if (log_) log_("web configuration read again: " + std::to_string(fresh.users.size()) + " users");
}

bool WebAccess::Needed() {
    novex::MutexLock lock(mutex_);
    Refresh();
    return !token_.empty() || !config_.users.empty();
}

bool WebAccess::HasUsers() {
    novex::MutexLock lock(mutex_);
    return !config_.users.empty();
}

std::vector<std::pair<std::string, std::string>> WebAccess::Headers() {
    novex::MutexLock lock(mutex_);
    return config_.headers;
}

std::string WebAccess::HashOf(const std::string& name) const {
    for (const auto& [user, user_hash] : config_.users)
        if (user == name) return user_hash;
    return "";
}

bool WebAccess::Accepted(const std::string& name, const std::string& password) const {
    const std::string hash = HashOf(name);
    return !hash.empty() && accepted_.count(Digest(name + '\0' + hash + '\0' + password)) != 0;
}

bool WebAccess::CheckUser(const std::string& name, const std::string& password) {
    std::string hash = HashOf(name);
    const bool known = !hash.empty();
    if (!known) hash = dummy_;
    if (hash.empty()) return false;  // no users at all
    const std::string key = Digest(name + '\0' + hash + '\0' + password);
    if (known && accepted_.count(key)) return true;
    auto data = std::make_unique<crypt_data>();  // large: kept off the worker's stack
    std::memset(data.get(), 0, sizeof *data);
    // bcrypt takes its time by design: other requests are not held up meanwhile.
    // Nothing between the two throws: the caller's lock is held again whatever happens.
    ++hashing_;
    mutex_.Unlock();
    const char* out = crypt_r(password.c_str(), hash.c_str(), data.get());
    mutex_.Lock();
    --hashing_;
    const bool ok = known && out != nullptr && out[0] != '*' && SameSecret(out, hash);
    if (ok && accepted_.size() < kMaxAccepted) accepted_.emplace(key, true);
    return ok;
}

WebAccess::Verdict WebAccess::Check(const std::string& authorization, const std::string& peer,
                                    int& retry_after_s) {
    novex::MutexLock lock(mutex_);
    Refresh();
    if (token_.empty() && config_.users.empty()) return Verdict::kOk;
    if (authorization.empty()) return Verdict::kMissing;
    std::string credentials, name, password;
    const bool bearer = Scheme(authorization, "Bearer", credentials);
    const bool basic = !bearer && BasicCredentials(authorization, name, password);
    // Any name with the token as password, as before users existed.
    const bool by_token = basic && !token_.empty() && SameSecret(password, token_);
    const bool hashes = basic && !by_token && !Accepted(name, password);
    // Asked before the limiter, which then holds nothing for an attempt sent away.
    if (hashes && hashing_ >= kMaxHashChecks) {
        retry_after_s = 1;
        return Verdict::kWait;
    }
    const auto now = access::AttemptLimiter::Clock::now();
    const auto wait = limiter_->Admit(peer, now);
    if (wait > wait.zero()) {
        retry_after_s = static_cast<int>(std::chrono::ceil<std::chrono::seconds>(wait).count());
        return Verdict::kWait;
    }
    bool ok = false;
    if (bearer) ok = !token_.empty() && SameSecret(credentials, token_);
    else if (basic) ok = by_token || CheckUser(name, password);
    if (ok) {
        limiter_->Succeeded(peer);
        return Verdict::kOk;
    }
    const bool first = limiter_->Failures(peer) == 0;
    const bool slowed = limiter_->Failed(peer, now);
    if (log_ && first) log_("wrong credentials from " + peer);
    if (log_ && slowed)
        log_("wrong credentials from " + peer + ": further attempts slowed down, not logged until one succeeds");
    return Verdict::kWrong;
}

}  // namespace web
}  // namespace novex
