#include "notify/outbox.h"

#include <sqlite3.h>

#include <algorithm>

namespace vimo {
namespace notify {

namespace {

const char kCreate[] =
    "CREATE TABLE IF NOT EXISTS notify_outbox (channel TEXT NOT NULL, id TEXT NOT NULL, "
    "created INTEGER NOT NULL, next_try INTEGER NOT NULL, attempts INTEGER NOT NULL, "
    "last_error TEXT NOT NULL, message TEXT NOT NULL, PRIMARY KEY (channel, id))";
const char kInsert[] =
    "INSERT OR REPLACE INTO notify_outbox (channel, id, created, next_try, attempts, last_error, "
    "message) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)";
const char kDelete[] = "DELETE FROM notify_outbox WHERE channel = ?1 AND id = ?2";

}  // namespace

std::unique_ptr<Outbox> Outbox::Open(const std::string& path, std::string& error) {
    std::unique_ptr<Outbox> box(new Outbox);
    if (path.empty()) return box;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK ||
        sqlite3_busy_timeout(db, 10000) != SQLITE_OK ||
        sqlite3_exec(db, kCreate, nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = path + ": the notification outbox: " + (db ? sqlite3_errmsg(db) : "cannot open");
        sqlite3_close(db);
        return nullptr;
    }
    box->db_ = db;
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db, "SELECT channel, id, next_try, attempts, last_error, message FROM notify_outbox", -1, &q,
                       nullptr);
    novex::MutexLock lock(box->mutex_);
    while (q && sqlite3_step(q) == SQLITE_ROW) {
        Pending p;
        const auto text = [q](int i) {
            const unsigned char* t = sqlite3_column_text(q, i);
            return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
        };
        if (!Deserialize(text(5), p.message)) continue;  // not ours to read: left alone
        p.next_try = sqlite3_column_int64(q, 2);
        p.attempts = sqlite3_column_int(q, 3);
        p.last_error = text(4);
        box->pending_[text(0)][text(1)] = std::move(p);
    }
    sqlite3_finalize(q);
    return box;
}

Outbox::~Outbox() {
    if (db_) sqlite3_close(db_);
}

void Outbox::Exec(const char* sql, const std::string& channel, const std::string& id, const Pending* p) {
    if (!db_) return;
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &q, nullptr) != SQLITE_OK) return;
    sqlite3_bind_text(q, 1, channel.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(q, 2, id.c_str(), -1, SQLITE_TRANSIENT);
    if (p) {
        sqlite3_bind_int64(q, 3, p->message.created);
        sqlite3_bind_int64(q, 4, p->next_try);
        sqlite3_bind_int(q, 5, p->attempts);
        sqlite3_bind_text(q, 6, p->last_error.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(q, 7, Serialize(p->message).c_str(), -1, SQLITE_TRANSIENT);
    }
    sqlite3_step(q);
    sqlite3_finalize(q);
}

bool Outbox::Add(const std::string& channel, const Message& message, std::string& error) {
    novex::MutexLock lock(mutex_);
    Pending& p = pending_[channel][message.id];
    p.message = message;
    if (!db_) return true;
    sqlite3_stmt* q = nullptr;
    bool ok = sqlite3_prepare_v2(db_, kInsert, -1, &q, nullptr) == SQLITE_OK;
    const std::string stored = Serialize(message);
    if (ok) {
        sqlite3_bind_text(q, 1, channel.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(q, 2, message.id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(q, 3, message.created);
        sqlite3_bind_int64(q, 4, 0);
        sqlite3_bind_int(q, 5, 0);
        sqlite3_bind_text(q, 6, "", -1, SQLITE_STATIC);
        sqlite3_bind_text(q, 7, stored.c_str(), -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(q) == SQLITE_DONE;
    }
    if (!ok) error = std::string("the notification outbox: ") + sqlite3_errmsg(db_);
    sqlite3_finalize(q);
    return ok;
}

std::vector<Pending> Outbox::Due(const std::string& channel, int64_t now) const {
    novex::MutexLock lock(mutex_);
    std::vector<Pending> out;
    const auto found = pending_.find(channel);
    if (found != pending_.end())
        for (const auto& [id, p] : found->second)
            if (p.next_try <= now) out.push_back(p);
    std::stable_sort(out.begin(), out.end(),
                     [](const Pending& a, const Pending& b) { return a.message.created < b.message.created; });
    return out;
}

void Outbox::AllDue(const std::string& channel, int64_t now) {
    novex::MutexLock lock(mutex_);
    for (auto& [id, p] : pending_[channel]) p.next_try = std::min(p.next_try, now);
}

int64_t Outbox::NextTime(const std::string& channel) const {
    novex::MutexLock lock(mutex_);
    const auto found = pending_.find(channel);
    int64_t next = 0;
    if (found != pending_.end())
        for (const auto& [id, p] : found->second)
            if (next == 0 || p.next_try < next) next = std::max<int64_t>(p.next_try, 1);
    return next;
}

void Outbox::Sent(const std::string& channel, const std::string& id) {
    novex::MutexLock lock(mutex_);
    pending_[channel].erase(id);
    Exec(kDelete, channel, id, nullptr);
}

void Outbox::Later(const std::string& channel, const std::string& id, int64_t next_try, const std::string& error) {
    novex::MutexLock lock(mutex_);
    auto& box = pending_[channel];
    const auto found = box.find(id);
    if (found == box.end()) return;
    found->second.attempts++;
    found->second.next_try = next_try;
    found->second.last_error = error;
    Exec(kInsert, channel, id, &found->second);
}

size_t Outbox::DropOlder(const std::string& channel, int64_t before) {
    novex::MutexLock lock(mutex_);
    auto& box = pending_[channel];
    size_t dropped = 0;
    for (auto it = box.begin(); it != box.end();) {
        if (it->second.message.created < before) {
            Exec(kDelete, channel, it->first, nullptr);
            it = box.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

std::map<std::string, std::vector<Pending>> Outbox::All() const {
    std::vector<std::string> channels;
    {
        novex::MutexLock lock(mutex_);
        for (const auto& [channel, box] : pending_) channels.push_back(channel);
    }
    std::map<std::string, std::vector<Pending>> out;
    for (const std::string& channel : channels) out[channel] = Due(channel, INT64_MAX);
    return out;
}

size_t Outbox::Count(const std::string& channel) const {
    novex::MutexLock lock(mutex_);
    const auto found = pending_.find(channel);
    return found == pending_.end() ? 0 : found->second.size();
}

}  // namespace notify
}  // namespace vimo
