// The messages not yet delivered, per channel: each is stored here before its first
// try and removed once sent, so that a peer that is down, or a restart between two
// tries, loses none. In the history file (table notify_outbox, on a connection of its
// own; SQLite's WAL lets it write beside the history writer) or, with --no-history, in
// memory only: a restart then loses what was still waiting.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/thread_annotations.h"
#include "notify/message.h"

struct sqlite3;

namespace vimo {
namespace notify {

struct Pending {
    Message message;
    int attempts = 0;
    int64_t next_try = 0;  // epoch seconds
    std::string last_error;
};

class Outbox {
public:
    // `path` "": in memory. Null with a one-line error when the file cannot be used.
    static std::unique_ptr<Outbox> Open(const std::string& path, std::string& error);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Stores a new message of `channel`, due at once. False (with the error) when the
    // file refused it; the message is then kept in memory all the same.
    bool Add(const std::string& channel, const Message& message, std::string& error);
    // Every message of the channel due at `now`, oldest first.
    std::vector<Pending> Due(const std::string& channel, int64_t now) const;
    // Makes every message of the channel due at `now` (a start tries what waited).
    void AllDue(const std::string& channel, int64_t now);
    // When the channel's next message is due; 0 when none waits.
    int64_t NextTime(const std::string& channel) const;
    void Sent(const std::string& channel, const std::string& id);
    void Later(const std::string& channel, const std::string& id, int64_t next_try, const std::string& error);
    // Removes the channel's messages created before `before`; how many.
    size_t DropOlder(const std::string& channel, int64_t before);
    size_t Count(const std::string& channel) const;
    // Every channel's waiting messages, oldest first.
    std::map<std::string, std::vector<Pending>> All() const;

private:
    Outbox() = default;
    void Exec(const char* sql, const std::string& channel, const std::string& id, const Pending* p)
        REQUIRES(mutex_);

    mutable novex::Mutex mutex_;
    sqlite3* db_ = nullptr;  // null: memory only
    // channel -> id -> message; ids are unique, order is by creation then id.
    std::map<std::string, std::map<std::string, Pending>> pending_ GUARDED_BY(mutex_);
};

}  // namespace notify
}  // namespace vimo
