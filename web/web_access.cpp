#include "web/web_access.h"

#include <crypt.h>
#include <sys/stat.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

namespace novex {
namespace web {

namespace {

constexpr size_t kMaxAccepted = 256;

std::string Base64Decode(const std::string& text) {
    std::string out(text.size(), '\0');
    if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return "";
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return "";
    size_t size = static_cast<size_t>(n);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i) --size;  // padding
    out.resize(size);
    return out;
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
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
    config_.users = fresh.users;
    config_.headers = fresh.headers;
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

bool WebAccess::CheckUser(const std::string& name, const std::string& password) {
    std::string hash;
    for (const auto& [user, user_hash] : config_.users)
        if (user == name) hash = user_hash;
    if (hash.empty()) return false;
    const std::string key = Digest(name + '\0' + hash + '\0' + password);
    if (accepted_.count(key)) return true;
    auto data = std::make_unique<crypt_data>();  // large: kept off the worker's stack
    std::memset(data.get(), 0, sizeof *data);
    // bcrypt takes its time by design: other requests are not held up meanwhile.
    // Nothing between the two throws: the caller's lock is held again whatever happens.
    mutex_.Unlock();
    const char* out = crypt_r(password.c_str(), hash.c_str(), data.get());
    mutex_.Lock();
    const bool ok = out != nullptr && out[0] != '*' && SameText(out, hash);
    if (ok && accepted_.size() < kMaxAccepted) accepted_.emplace(key, true);
    return ok;
}

WebAccess::Verdict WebAccess::Check(const std::string& authorization, const std::string& peer,
                                    int& retry_after_s) {
    novex::MutexLock lock(mutex_);
    Refresh();
    if (token_.empty() && config_.users.empty()) return Verdict::kOk;
    if (authorization.empty()) return Verdict::kMissing;
    const auto now = access::AttemptLimiter::Clock::now();
    const auto wait = limiter_->Admit(peer, now);
    if (wait > wait.zero()) {
        retry_after_s = static_cast<int>(std::chrono::ceil<std::chrono::seconds>(wait).count());
        return Verdict::kWait;
    }
    bool ok = false;
    if (authorization.compare(0, 7, "Bearer ") == 0) {
        ok = !token_.empty() && SameText(authorization.substr(7), token_);
    } else if (authorization.compare(0, 6, "Basic ") == 0) {
        const std::string pair = Base64Decode(authorization.substr(6));
        const size_t colon = pair.find(':');
        if (colon != std::string::npos) {
            const std::string name = pair.substr(0, colon), password = pair.substr(colon + 1);
            // Any name with the token as password, as before users existed.
            ok = (!token_.empty() && SameText(password, token_)) || CheckUser(name, password);
        }
    }
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
