#include "history/store.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <chrono>

#include "history/schema.h"
#include "history/statement.h"
#include "history/times.h"
#include "monitor/measures.h"
#include "device/novexups_data.h"
#include "history/readings_codec.h"

namespace vimo {

namespace {

std::string Text(sqlite3_stmt* s, int column) { return ColumnText(s, column); }

// Columns id, data_id, time, utc, device name, record.
StoredRound ReadRound(sqlite3_stmt* s, bool with_record) {
    StoredRound r;
    r.id = sqlite3_column_int64(s, 0);
    r.data_id = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
    r.time = Text(s, 2);
    r.utc = sqlite3_column_int64(s, 3);
    r.device = Text(s, 4);
    if (with_record) {
        const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(s, 5));
        const int n = sqlite3_column_bytes(s, 5);
        if (blob && n > 0) r.record.assign(blob, blob + n);
    }
    return r;
}

void BindText(sqlite3_stmt* s, int column, const std::string& text) {
    sqlite3_bind_text(s, column, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// The time one commit may spend moving rounds into chunks, beyond the first chunk.
constexpr std::chrono::milliseconds kCompactBudget{20};

const char kRoundColumns[] =
    "SELECT r.id, r.data_id, r.time, r.utc, coalesce(d.name, 'ups' || r.data_id), r.record "
    "FROM rounds r LEFT JOIN devices d ON d.data_id = r.data_id ";

}  // namespace

std::unique_ptr<HistoryStore> HistoryStore::Open(const std::string& path, bool must_exist,
                                                 std::string& error) {
    if (!CheckHistoryPath(path, error)) return nullptr;
    std::unique_ptr<HistoryStore> store(new HistoryStore());
    novex::MutexLock lock(store->mutex_);  // no other thread has it yet
    const int flags = must_exist ? SQLITE_OPEN_READWRITE
                                 : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.c_str(), &store->db_, flags | SQLITE_OPEN_FULLMUTEX, nullptr) !=
        SQLITE_OK) {
        error = "history " + path + ": " +
                (store->db_ ? sqlite3_errmsg(store->db_) : "cannot open");
        return nullptr;
    }
    // Only the history writer's thread waits for a lock; line threads never come here.
    sqlite3_busy_timeout(store->db_, 5000);
    std::string why;
    // WAL lets readers (`vimohost history`, the web page) read while the poller writes;
    // a commit survives the process being killed at any moment, and with the log
    // synced at every commit (the writer commits a few seconds' rounds at a time) a
    // power loss too. The WAL file is cut
    // back after checkpoints so that it does not keep the size of its largest burst.
    // Switched on only once the file is known to be a history: a foreign file is left
    // as it was.
    if (!PrepareHistorySchema(store->db_, true, why) ||
        !store->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; "
                     "PRAGMA journal_size_limit=8388608;",
                     why)) {
        error = "history " + path + ": " + why;
        return nullptr;
    }
    struct stat st {};
    store->path_ = path;
    if (stat(path.c_str(), &st) == 0) {
        store->device_ = st.st_dev;
        store->inode_ = st.st_ino;
    }
    return store;
}

bool HistoryStore::InPlace(std::string& error) const {
    if (path_.empty() || inode_ == 0) return true;
    struct stat st {};
    if (stat(path_.c_str(), &st) != 0) {
        error = "history " + path_ + " was deleted or moved while in use (" +
                std::strerror(errno) + "); nothing more is stored in this run, a restart "
                "makes a new file";
        return false;
    }
    if (st.st_dev != device_ || st.st_ino != inode_) {
        error = "history " + path_ + " was replaced by another file while in use; nothing "
                "more is stored in this run, a restart opens the new one";
        return false;
    }
    return true;
}

std::unique_ptr<HistoryStore> HistoryStore::OpenReadOnly(const std::string& path,
                                                         std::string& error) {
    if (!CheckHistoryPath(path, error)) return nullptr;
    std::unique_ptr<HistoryStore> store(new HistoryStore());
    novex::MutexLock lock(store->mutex_);  // no other thread has it yet
    // A file this user may write is opened for writing but kept from it (query_only),
    // so that closing cleans up the WAL files as the last connection does; a read-only
    // connection would leave them behind.
    const bool writable = access(path.c_str(), W_OK) == 0;
    const int flags = writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    std::string why;
    if (sqlite3_open_v2(path.c_str(), &store->db_, flags | SQLITE_OPEN_FULLMUTEX, nullptr) !=
            SQLITE_OK ||
        (writable && !store->Exec("PRAGMA query_only=1", why))) {
        error = "history " + path + ": " +
                (!why.empty() ? why : store->db_ ? sqlite3_errmsg(store->db_) : "cannot open");
        return nullptr;
    }
    sqlite3_busy_timeout(store->db_, 5000);
    // A file of the version before is upgraded once, when this user may write it.
    int64_t version = -1;
    {
        Use use(store->Prepare("PRAGMA user_version"));
        if (use.s && sqlite3_step(use.s) == SQLITE_ROW) version = sqlite3_column_int64(use.s, 0);
    }
    if (version >= 0 && version < kHistorySchemaVersion && writable) {
        lock.Unlock();  // the store goes before the upgrade opens the file again
        store.reset();
        return Open(path, true, error);
    }
    if (!PrepareHistorySchema(store->db_, false, why)) {
        error = "history " + path + ": " + why;
        return nullptr;
    }
    return store;
}

bool HistoryStore::QuickCheck(std::string& error) {
    // On a connection of its own: a check of a large file takes long, and the store's
    // other users (the start's replay of stored rounds) must not wait for it.
    std::string path;
    {
        novex::MutexLock lock(mutex_);
        const char* name = sqlite3_db_filename(db_, "main");
        path = name ? name : "";
    }
    sqlite3* db = nullptr;
    if (path.empty() || sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = "damaged (" + std::string(db ? sqlite3_errmsg(db) : "cannot open") + ")";
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 5000);
    const bool ok = QuickCheckHistory(db, error);
    sqlite3_close(db);
    return ok;
}

bool HistoryStore::MarkOpen(bool& was_clean, std::string& error) {
    novex::MutexLock lock(mutex_);
    was_clean = false;
    {
        Use use(Prepare("SELECT value FROM history_state WHERE name = 'clean'"));
        if (use.s && sqlite3_step(use.s) == SQLITE_ROW) was_clean = sqlite3_column_int64(use.s, 0) == 1;
    }
    // A file not marked clean needs no mark: a damaged one is not written before its check.
    return !was_clean ||
           Exec("INSERT OR REPLACE INTO history_state (name, value) VALUES ('clean', 0)", error);
}

bool HistoryStore::MarkClosed(std::string& error) {
    novex::MutexLock lock(mutex_);
    return Exec("INSERT OR REPLACE INTO history_state (name, value) VALUES ('clean', 1)", error);
}

std::string HistoryStore::ReadError() {
    novex::MutexLock lock(mutex_);
    return read_error_;
}

void HistoryStore::NoteRead(int rc) {
    read_error_ = rc == SQLITE_ROW || rc == SQLITE_DONE ? "" : sqlite3_errmsg(db_);
}

HistoryStore::~HistoryStore() {
    for (auto& entry : statements_) sqlite3_finalize(entry.second);
    if (db_) sqlite3_close(db_);
}

bool HistoryStore::Exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

sqlite3_stmt* HistoryStore::Prepare(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) return nullptr;
    statements_[sql] = s;
    return s;
}

bool HistoryStore::WriteOne(const HistoryEntry& e, int64_t id, std::vector<int64_t>& round_ids) {
    using Kind = HistoryEntry::Kind;
    if (e.kind == Kind::kRule) {
        Use use(Prepare("INSERT INTO alarms (data_id, time, rule_id, rule, state, utc) "
                        "VALUES (?, ?, ?, ?, ?, ?)"));
        if (!use.s) return false;
        sqlite3_bind_int64(use.s, 1, e.data_id);
        BindText(use.s, 2, e.local);
        BindText(use.s, 3, e.id);
        BindText(use.s, 4, e.text);
        sqlite3_bind_text(use.s, 5, e.raised ? "raised" : "cleared", -1, SQLITE_STATIC);
        sqlite3_bind_int64(use.s, 6, e.utc);
        return sqlite3_step(use.s) == SQLITE_DONE;
    }
    if (e.kind == Kind::kEvent) {
        Use use(Prepare("INSERT INTO events (data_id, alarm, text, severity, state, utc, local) "
                        "VALUES (?, ?, ?, ?, ?, ?, ?)"));
        if (!use.s) return false;
        sqlite3_bind_int64(use.s, 1, e.data_id);
        BindText(use.s, 2, e.id);
        BindText(use.s, 3, e.text);
        BindText(use.s, 4, e.severity);
        sqlite3_bind_text(use.s, 5, e.raised ? "raised" : "cleared", -1, SQLITE_STATIC);
        sqlite3_bind_int64(use.s, 6, e.utc);
        BindText(use.s, 7, e.local);
        return sqlite3_step(use.s) == SQLITE_DONE;
    }
    {
        Use use(Prepare(
            "INSERT INTO rounds (id, data_id, time, record, utc) VALUES (?, ?, ?, ?, ?)"));
        if (!use.s) return false;
        sqlite3_bind_int64(use.s, 1, id);
        sqlite3_bind_int64(use.s, 2, e.data_id);
        BindText(use.s, 3, e.local);
        sqlite3_bind_blob(use.s, 4, e.record.data(), static_cast<int>(e.record.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(use.s, 5, e.utc);
        if (sqlite3_step(use.s) != SQLITE_DONE) return false;
    }
    round_ids.push_back(id);
    // Counted from the table the first time the device is compacted, then kept here.
    const auto counted = unchunked_.find(e.data_id);
    if (counted != unchunked_.end()) ++counted->second;
    // The readings go to disk only when the round moves into its chunk: until then the
    // reader decodes the record itself, and a round costs one row. They are made now
    // from the monitor's figures, while at hand, so that the move need not decode each
    // record again; a round without them (the monitor's figures missing, a round of an
    // earlier run, too many waiting) is decoded then.
    if (e.measures.size() == novex::monitor::Measures().size() &&
        e.record.size() >= sizeof(NovexUPS_Data_t) && readings_.size() < kMaxWaitingReadings) {
        WaitingReadings& vals = readings_[id];
        for (int part = 0; part < kReadingParts; ++part) {
            vals[static_cast<size_t>(part)].clear();
            EncodeReadings(e.measures, part, vals[static_cast<size_t>(part)]);
        }
    }
    return true;
}

bool HistoryStore::Write(const std::vector<HistoryEntry>& batch, std::vector<int64_t>& round_ids,
                         std::string& error, const std::vector<MinuteAggregate>& minutes) {
    novex::MutexLock lock(mutex_);
    round_ids.clear();
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    bool ok = true;
    for (int part = 0; ok && part < kReadingParts; ++part) {
        if (layout_[part] != 0) continue;
        Use insert(Prepare("INSERT OR IGNORE INTO layouts (measures) VALUES (?)"));
        Use select(Prepare("SELECT id FROM layouts WHERE measures = ?"));
        ok = insert.s && select.s;
        if (ok) {
            BindText(insert.s, 1, CurrentLayoutText(part));
            BindText(select.s, 1, CurrentLayoutText(part));
            ok = sqlite3_step(insert.s) == SQLITE_DONE && sqlite3_step(select.s) == SQLITE_ROW;
        }
        if (ok) layout_[part] = sqlite3_column_int64(select.s, 0);
    }
    // Asked of the file once; the highest id ever written is noted only when a pruning
    // removes rounds, so that a commit touches no more than its rounds need.
    if (ok && next_round_id_ <= 0) next_round_id_ = NextRoundId();
    const int64_t first = ok ? next_round_id_ : -1;
    int64_t next = first;
    ok = ok && next > 0;
    std::map<uint32_t, bool> devices;  // those that stored a round
    for (size_t i = 0; ok && i < batch.size(); ++i) {
        const bool round = batch[i].kind == HistoryEntry::Kind::kRound;
        ok = WriteOne(batch[i], round ? next : 0, round_ids);
        if (round) {
            ++next;
            devices[batch[i].data_id] = true;
        }
    }
    // Each device's count as of its last round in the batch.
    std::map<uint32_t, const HistoryEntry*> energies;
    for (const HistoryEntry& e : batch)
        if (e.kind == HistoryEntry::Kind::kRound && e.energy.counted) energies[e.data_id] = &e;
    for (auto it = energies.begin(); ok && it != energies.end(); ++it)
        ok = WriteEnergy(it->first, it->second->utc, it->second->energy);
    for (size_t i = 0; ok && i < minutes.size(); ++i) ok = WriteMinute(minutes[i]);
    // Full chunks move out in the same transaction: a chunk is there whole or its
    // rounds are still in the rounds table. A file upgraded with millions of rounds in
    // its rounds table is moved a few chunks per commit, so that no commit holds up
    // the rounds queued behind it.
    const auto started = std::chrono::steady_clock::now();
    for (auto it = devices.begin(); ok && it != devices.end(); ++it) {
        bool moved = true;
        while (ok && moved && std::chrono::steady_clock::now() - started < kCompactBudget)
            ok = CompactDevice(it->first, moved);
    }
    if (ok && Exec("COMMIT", error)) {
        next_round_id_ = next;
        return true;
    }
    if (!ok) error = sqlite3_errmsg(db_);
    std::string ignored;
    if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK", ignored);
    round_ids.clear();
    next_round_id_ = 0;
    unchunked_.clear();
    readings_.clear();
    energy_table_ = false;  // made in the transaction rolled back, perhaps
    return false;
}

bool HistoryStore::WriteEnergy(uint32_t data_id, int64_t utc,
                               const novex::monitor::OutputEnergy& energy) {
    // Made in the transaction that first stores a count: a file never written with one
    // (or opened by an older vimohost) goes without it.
    if (!energy_table_) {
        char* message = nullptr;
        if (sqlite3_exec(db_, kEnergyTable, nullptr, nullptr, &message) != SQLITE_OK) {
            sqlite3_free(message);
            return false;
        }
        energy_table_ = true;
    }
    Use use(Prepare("INSERT INTO energy (data_id, utc, a_joules, b_joules, c_joules) "
                    "VALUES (?, ?, ?, ?, ?) ON CONFLICT (data_id) DO UPDATE SET utc = excluded.utc, "
                    "a_joules = excluded.a_joules, b_joules = excluded.b_joules, "
                    "c_joules = excluded.c_joules"));
    if (!use.s) return false;
    sqlite3_bind_int64(use.s, 1, data_id);
    sqlite3_bind_int64(use.s, 2, utc);
    for (int p = 0; p < novex::monitor::kEnergyPhases; ++p)
        sqlite3_bind_double(use.s, 3 + p, energy.phase_joules[static_cast<size_t>(p)]);
    return sqlite3_step(use.s) == SQLITE_DONE;
}

std::optional<novex::monitor::OutputEnergy> HistoryStore::Energy(uint32_t data_id) {
    novex::MutexLock lock(mutex_);
    Use use(Prepare("SELECT a_joules, b_joules, c_joules FROM energy WHERE data_id = ?"));
    // No table: no count was ever stored in this file.
    if (!use.s || sqlite3_bind_int64(use.s, 1, data_id) != SQLITE_OK ||
        sqlite3_step(use.s) != SQLITE_ROW)
        return std::nullopt;
    novex::monitor::OutputEnergy energy;
    energy.counted = true;
    for (int p = 0; p < novex::monitor::kEnergyPhases; ++p) {
        const int type = sqlite3_column_type(use.s, p);
        if (type != SQLITE_FLOAT && type != SQLITE_INTEGER) return std::nullopt;
        const double joules = sqlite3_column_double(use.s, p);
        if (!std::isfinite(joules) || joules < 0) return std::nullopt;
        energy.phase_joules[static_cast<size_t>(p)] = joules;
        energy.total_joules += joules;
    }
    return energy;
}

bool HistoryStore::AddRound(uint32_t data_id, const std::string& time, const unsigned char* data,
                            size_t length, std::string& error) {
    HistoryEntry e;
    e.data_id = data_id;
    e.local = time;
    LocalTextToUtc(time, e.utc);
    e.record.assign(data, data + length);
    std::vector<int64_t> ids;
    return Write({e}, ids, error);
}

bool HistoryStore::AddAlarm(const RuleEvent& a, std::string& error) {
    HistoryEntry e;
    e.kind = HistoryEntry::Kind::kRule;
    e.data_id = a.data_id;
    e.local = a.time;
    LocalTextToUtc(a.time, e.utc);
    e.id = a.rule_id;
    e.text = a.rule;
    e.raised = a.raised;
    std::vector<int64_t> ids;
    return Write({e}, ids, error);
}

bool HistoryStore::SetDeviceName(uint32_t data_id, const std::string& name, std::string& error) {
    novex::MutexLock lock(mutex_);
    Use use(Prepare("INSERT INTO devices (data_id, name) VALUES (?, ?) "
                    "ON CONFLICT (data_id) DO UPDATE SET name = excluded.name"));
    if (!use.s) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_int64(use.s, 1, data_id);
    BindText(use.s, 2, name);
    if (sqlite3_step(use.s) == SQLITE_DONE) return true;
    error = sqlite3_errmsg(db_);
    return false;
}

int64_t HistoryStore::PruneRounds(const char* select, int64_t bound, int64_t limit,
                                  std::string& error) {
    novex::MutexLock lock(mutex_);
    if (!Exec("BEGIN IMMEDIATE", error)) return -1;
    struct Key {
        int64_t id, data_id, utc;
    };
    std::vector<Key> keys;
    {
        Use use(Prepare(select));
        if (use.s) {
            sqlite3_bind_int64(use.s, 1, bound);
            sqlite3_bind_int64(use.s, 2, limit);
            while (sqlite3_step(use.s) == SQLITE_ROW)
                keys.push_back({sqlite3_column_int64(use.s, 0), sqlite3_column_int64(use.s, 1),
                                sqlite3_column_int64(use.s, 2)});
        }
    }
    bool ok = keys.empty() || NoteLastRound();
    for (const Key& k : keys) {
        for (const char* sql :
             {"DELETE FROM readings WHERE data_id = ?2 AND utc = ?3 AND round = ?1",
              "DELETE FROM readings_detail WHERE data_id = ?2 AND utc = ?3 AND round = ?1",
              "DELETE FROM rounds WHERE id = ?1 AND ?2 = ?2 AND ?3 = ?3"}) {
            Use use(Prepare(sql));
            ok = ok && use.s && sqlite3_bind_int64(use.s, 1, k.id) == SQLITE_OK &&
                 sqlite3_bind_int64(use.s, 2, k.data_id) == SQLITE_OK &&
                 sqlite3_bind_int64(use.s, 3, k.utc) == SQLITE_OK &&
                 sqlite3_step(use.s) == SQLITE_DONE;
        }
    }
    if (!keys.empty()) {
        unchunked_.clear();
        readings_.clear();
    }
    if (ok && Exec("COMMIT", error)) return static_cast<int64_t>(keys.size());
    if (!ok) error = sqlite3_errmsg(db_);
    std::string ignored;
    if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK", ignored);
    return -1;
}

int64_t HistoryStore::PruneRoundsBefore(int64_t utc, int64_t limit, std::string& error) {
    // Whole chunks whose newest round is older: a chunk that still holds a round of the
    // window stays whole.
    const int64_t chunks = PruneChunks(
        "SELECT last_id, rounds FROM chunks WHERE last_utc < ?1 ORDER BY last_utc LIMIT ?2", utc,
        limit, error);
    if (chunks != 0) return chunks;
    return PruneRounds("SELECT id, data_id, utc FROM rounds WHERE utc < ?1 ORDER BY utc LIMIT ?2",
                       utc, limit, error);
}

int64_t HistoryStore::PruneOldestRounds(int64_t limit, std::string& error) {
    const int64_t chunks = PruneChunks(
        "SELECT last_id, rounds FROM chunks WHERE ?1 = ?1 ORDER BY last_utc LIMIT ?2", 0, limit,
        error);
    if (chunks != 0) return chunks;
    return PruneRounds("SELECT id, data_id, utc FROM rounds WHERE ?1 = ?1 ORDER BY utc LIMIT ?2",
                       0, limit, error);
}

int64_t HistoryStore::PruneEventsBefore(int64_t utc, int64_t limit, std::string& error) {
    novex::MutexLock lock(mutex_);
    int64_t removed = 0;
    for (const char* sql :
         // The last event of an alarm still raised stays whatever its age: it is how the
         // next start knows the alarm active (ActiveAlarms, AlarmStates) and does not
         // raise it, and run its hooks, a second time.
         {"DELETE FROM events WHERE id IN (SELECT id FROM events WHERE utc < ?1 AND NOT "
          "(state = 'raised' AND id IN (SELECT max(id) FROM events GROUP BY data_id, alarm)) "
          "LIMIT ?2)",
          "DELETE FROM alarms WHERE id IN (SELECT id FROM alarms WHERE utc < ?1 AND NOT "
          "(state = 'raised' AND id IN (SELECT max(id) FROM alarms GROUP BY data_id, rule_id, "
          "rule)) LIMIT ?2)"}) {
        Use use(Prepare(sql));
        if (!use.s || sqlite3_bind_int64(use.s, 1, utc) != SQLITE_OK ||
            sqlite3_bind_int64(use.s, 2, limit) != SQLITE_OK || sqlite3_step(use.s) != SQLITE_DONE) {
            error = sqlite3_errmsg(db_);
            return -1;
        }
        removed += sqlite3_changes(db_);
    }
    return removed;
}

bool HistoryStore::Execute(const std::string& sql, std::string& error) {
    novex::MutexLock lock(mutex_);
    return Exec(sql.c_str(), error);
}

int64_t HistoryStore::UsedBytes() {
    novex::MutexLock lock(mutex_);
    int64_t values[3] = {-1, -1, -1};
    const char* const pragmas[] = {"PRAGMA page_count", "PRAGMA freelist_count", "PRAGMA page_size"};
    for (int i = 0; i < 3; ++i) {
        Use use(Prepare(pragmas[i]));
        if (!use.s || sqlite3_step(use.s) != SQLITE_ROW) return -1;
        values[i] = sqlite3_column_int64(use.s, 0);
    }
    return (values[0] - values[1]) * values[2];
}

std::optional<StoredRound> HistoryStore::Newest(uint32_t data_id) {
    novex::MutexLock lock(mutex_);
    static const std::string sql =
        std::string(kRoundColumns) + "WHERE r.data_id = ? ORDER BY r.id DESC LIMIT 1";
    {
        Use use(Prepare(sql.c_str()));
        const int rc = !use.s ? SQLITE_ERROR
                       : sqlite3_bind_int64(use.s, 1, data_id) != SQLITE_OK ? SQLITE_MISUSE
                                                                            : sqlite3_step(use.s);
        NoteRead(rc);
        if (rc == SQLITE_ROW) return ReadRound(use.s, true);
        if (rc != SQLITE_DONE) return std::nullopt;
    }
    return NewestInChunks(data_id);
}

std::optional<StoredRound> HistoryStore::Round(int64_t id) {
    novex::MutexLock lock(mutex_);
    static const std::string sql = std::string(kRoundColumns) + "WHERE r.id = ?";
    {
        Use use(Prepare(sql.c_str()));
        const int rc = !use.s ? SQLITE_ERROR
                       : sqlite3_bind_int64(use.s, 1, id) != SQLITE_OK ? SQLITE_MISUSE
                                                                       : sqlite3_step(use.s);
        NoteRead(rc);
        if (rc == SQLITE_ROW) return ReadRound(use.s, true);
        if (rc != SQLITE_DONE) return std::nullopt;
    }
    return ChunkRoundById(id);
}

std::vector<StoredRound> HistoryStore::List(const std::optional<uint32_t>& data_id,
                                            int64_t last) {
    std::vector<StoredRound> out;
    ListEach(data_id, last, [&](const StoredRound& r) {
        out.push_back(r);
        return true;
    });
    return out;
}

int64_t HistoryStore::CountRounds(const std::optional<uint32_t>& data_id) {
    novex::MutexLock lock(mutex_);
    return CountLocked(data_id);
}

int64_t HistoryStore::CountLocked(const std::optional<uint32_t>& data_id) {
    int64_t total = 0;
    for (const char* sql : {"SELECT count(*) FROM rounds WHERE ?1 IS NULL OR data_id = ?1",
                            "SELECT coalesce(sum(rounds), 0) FROM chunks "
                            "WHERE ?1 IS NULL OR data_id = ?1"}) {
        Use use(Prepare(sql));
        if (!use.s) {
            NoteRead(SQLITE_ERROR);
            return -1;
        }
        if (data_id)
            sqlite3_bind_int64(use.s, 1, *data_id);
        else
            sqlite3_bind_null(use.s, 1);
        const int rc = sqlite3_step(use.s);
        NoteRead(rc);
        if (rc != SQLITE_ROW) return -1;
        total += sqlite3_column_int64(use.s, 0);
    }
    return total;
}

std::vector<RuleEvent> HistoryStore::Alarms(uint32_t data_id) {
    novex::MutexLock lock(mutex_);
    Use use(Prepare(
        "SELECT data_id, time, rule_id, rule, state FROM alarms WHERE data_id = ? ORDER BY id"));
    std::vector<RuleEvent> out;
    if (!use.s || sqlite3_bind_int64(use.s, 1, data_id) != SQLITE_OK) return out;
    while (sqlite3_step(use.s) == SQLITE_ROW) {
        RuleEvent e;
        e.data_id = static_cast<uint32_t>(sqlite3_column_int64(use.s, 0));
        e.time = Text(use.s, 1);
        e.rule_id = Text(use.s, 2);
        e.rule = Text(use.s, 3);
        e.raised = Text(use.s, 4) == "raised";
        out.push_back(std::move(e));
    }
    return out;
}

std::map<std::pair<std::string, std::string>, bool> HistoryStore::AlarmStates(uint32_t data_id) {
    std::map<std::pair<std::string, std::string>, bool> states;
    for (const RuleEvent& e : Alarms(data_id)) states[{e.rule_id, e.rule}] = e.raised;
    return states;
}

HistoryEntry EventEntry(const AlarmEvent& event) {
    HistoryEntry e;
    e.kind = HistoryEntry::Kind::kEvent;
    e.data_id = event.data_id;
    e.utc = event.time;
    e.local = LocalIsoTime(event.time);
    e.id = event.alarm;
    e.text = event.text;
    e.severity = event.severity;
    e.raised = event.kind == AlarmEvent::Kind::kRaised;
    return e;
}

bool HistoryStore::AddEvent(const AlarmEvent& event, std::string& error) {
    std::vector<int64_t> ids;
    return Write({EventEntry(event)}, ids, error);
}

std::vector<AlarmEvent> HistoryStore::Events(uint32_t data_id) {
    novex::MutexLock lock(mutex_);
    Use use(Prepare("SELECT alarm, text, severity, state, utc FROM events WHERE data_id = ? "
                    "ORDER BY id"));
    std::vector<AlarmEvent> out;
    if (!use.s || sqlite3_bind_int64(use.s, 1, data_id) != SQLITE_OK) return out;
    while (sqlite3_step(use.s) == SQLITE_ROW) {
        AlarmEvent e;
        e.data_id = data_id;
        e.alarm = Text(use.s, 0);
        e.text = Text(use.s, 1);
        e.severity = Text(use.s, 2);
        e.kind = Text(use.s, 3) == "raised" ? AlarmEvent::Kind::kRaised : AlarmEvent::Kind::kCleared;
        e.time = sqlite3_column_int64(use.s, 4);
        out.push_back(std::move(e));
    }
    return out;
}

std::vector<std::string> HistoryStore::ActiveAlarms(uint32_t data_id) {
    std::map<std::string, bool> raised;
    for (const AlarmEvent& e : Events(data_id)) raised[e.alarm] = e.kind == AlarmEvent::Kind::kRaised;
    std::vector<std::string> out;
    for (const auto& entry : raised)
        if (entry.second) out.push_back(entry.first);
    return out;
}

}  // namespace vimo
