#include "history_store.h"

#include <sqlite3.h>

namespace vimo {

namespace {

const char* const kSchema = R"(
CREATE TABLE IF NOT EXISTS rounds (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  data_id INTEGER NOT NULL,
  time TEXT NOT NULL,
  record BLOB NOT NULL);
CREATE INDEX IF NOT EXISTS rounds_by_device ON rounds (data_id, id);
CREATE TABLE IF NOT EXISTS alarms (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  data_id INTEGER NOT NULL,
  time TEXT NOT NULL,
  rule_id TEXT NOT NULL,
  rule TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')));
CREATE INDEX IF NOT EXISTS alarms_by_device ON alarms (data_id, id);
CREATE TABLE IF NOT EXISTS events (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  data_id INTEGER NOT NULL,
  alarm TEXT NOT NULL,
  text TEXT NOT NULL,
  severity TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('raised', 'cleared')),
  utc INTEGER NOT NULL,
  local TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS events_by_device ON events (data_id, id);
)";

// Resets a cached statement on every way out, so that it never holds a read lock.
struct Use {
    sqlite3_stmt* s;
    explicit Use(sqlite3_stmt* statement) : s(statement) {}
    ~Use() {
        if (s) {
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
        }
    }
};

std::string Text(sqlite3_stmt* s, int column) {
    const unsigned char* t = sqlite3_column_text(s, column);
    return t ? reinterpret_cast<const char*>(t) : "";
}

StoredRound ReadRound(sqlite3_stmt* s, bool with_record) {
    StoredRound r;
    r.id = sqlite3_column_int64(s, 0);
    r.data_id = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
    r.time = Text(s, 2);
    if (with_record) {
        const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(s, 3));
        const int n = sqlite3_column_bytes(s, 3);
        if (blob && n > 0) r.record.assign(blob, blob + n);
    }
    return r;
}

}  // namespace

std::unique_ptr<HistoryStore> HistoryStore::Open(const std::string& path, bool must_exist,
                                                 std::string& error) {
    std::unique_ptr<HistoryStore> store(new HistoryStore());
    const int flags = must_exist ? SQLITE_OPEN_READWRITE
                                 : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    // One connection serves every line thread under mutex_; SQLite's own full mutex
    // keeps it safe regardless.
    if (sqlite3_open_v2(path.c_str(), &store->db_, flags | SQLITE_OPEN_FULLMUTEX, nullptr) !=
        SQLITE_OK) {
        error = "history " + path + ": " +
                (store->db_ ? sqlite3_errmsg(store->db_) : "cannot open");
        return nullptr;
    }
    sqlite3_busy_timeout(store->db_, 5000);
    std::string why;
    if (!must_exist) {
        // WAL lets `vimohost history` read while a poller writes.
        if (!store->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", why) ||
            !store->Exec(kSchema, why)) {
            error = "history " + path + ": " + why;
            return nullptr;
        }
    } else if (!store->Exec("SELECT 1 FROM rounds LIMIT 0; SELECT 1 FROM alarms LIMIT 0;",
                            why)) {
        error = "history " + path + ": not a vimohost history file (" + why + ")";
        return nullptr;
    }
    return store;
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

bool HistoryStore::AddRound(uint32_t data_id, const std::string& time,
                            const unsigned char* data, size_t length, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Use use(Prepare("INSERT INTO rounds (data_id, time, record) VALUES (?, ?, ?)"));
    sqlite3_stmt* s = use.s;
    if (!s || sqlite3_bind_int64(s, 1, data_id) != SQLITE_OK ||
        sqlite3_bind_text(s, 2, time.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_blob(s, 3, data, static_cast<int>(length), SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_step(s) != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool HistoryStore::AddAlarm(const RuleEvent& e, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Use use(Prepare(
        "INSERT INTO alarms (data_id, time, rule_id, rule, state) VALUES (?, ?, ?, ?, ?)"));
    sqlite3_stmt* s = use.s;
    if (!s || sqlite3_bind_int64(s, 1, e.data_id) != SQLITE_OK ||
        sqlite3_bind_text(s, 2, e.time.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_text(s, 3, e.rule_id.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_text(s, 4, e.rule.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_text(s, 5, e.raised ? "raised" : "cleared", -1, SQLITE_STATIC) !=
            SQLITE_OK ||
        sqlite3_step(s) != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

std::optional<StoredRound> HistoryStore::Newest(uint32_t data_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Use use(Prepare("SELECT id, data_id, time, record FROM rounds WHERE data_id = ? "
                    "ORDER BY id DESC LIMIT 1"));
    if (!use.s || sqlite3_bind_int64(use.s, 1, data_id) != SQLITE_OK ||
        sqlite3_step(use.s) != SQLITE_ROW)
        return std::nullopt;
    return ReadRound(use.s, true);
}

std::optional<StoredRound> HistoryStore::Round(int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Use use(Prepare("SELECT id, data_id, time, record FROM rounds WHERE id = ?"));
    if (!use.s || sqlite3_bind_int64(use.s, 1, id) != SQLITE_OK ||
        sqlite3_step(use.s) != SQLITE_ROW)
        return std::nullopt;
    return ReadRound(use.s, true);
}

std::vector<StoredRound> HistoryStore::List(const std::optional<uint32_t>& data_id,
                                            int64_t last) {
    std::lock_guard<std::mutex> lock(mutex_);
    // ?1 null selects every device; a negative limit is none.
    Use use(Prepare("SELECT * FROM (SELECT id, data_id, time, length(record) FROM rounds "
                    "WHERE ?1 IS NULL OR data_id = ?1 ORDER BY id DESC LIMIT ?2) "
                    "ORDER BY id"));
    std::vector<StoredRound> out;
    if (!use.s) return out;
    if (data_id)
        sqlite3_bind_int64(use.s, 1, *data_id);
    else
        sqlite3_bind_null(use.s, 1);
    sqlite3_bind_int64(use.s, 2, last > 0 ? last : -1);
    while (sqlite3_step(use.s) == SQLITE_ROW) {
        StoredRound r = ReadRound(use.s, false);
        r.record.resize(static_cast<size_t>(sqlite3_column_int64(use.s, 3)));
        out.push_back(std::move(r));
    }
    return out;
}

int64_t HistoryStore::CountRounds(const std::optional<uint32_t>& data_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Use use(Prepare("SELECT count(*) FROM rounds WHERE ?1 IS NULL OR data_id = ?1"));
    if (!use.s) return -1;
    if (data_id)
        sqlite3_bind_int64(use.s, 1, *data_id);
    else
        sqlite3_bind_null(use.s, 1);
    return sqlite3_step(use.s) == SQLITE_ROW ? sqlite3_column_int64(use.s, 0) : -1;
}

std::vector<RuleEvent> HistoryStore::Alarms(uint32_t data_id) {
    std::lock_guard<std::mutex> lock(mutex_);
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

bool HistoryStore::AddEvent(const AlarmEvent& e, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    Use use(Prepare("INSERT INTO events (data_id, alarm, text, severity, state, utc, local) "
                    "VALUES (?, ?, ?, ?, ?, ?, ?)"));
    sqlite3_stmt* s = use.s;
    const std::string local = LocalIsoTime(e.time);
    if (!s || sqlite3_bind_int64(s, 1, e.data_id) != SQLITE_OK ||
        sqlite3_bind_text(s, 2, e.alarm.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_text(s, 3, e.text.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_text(s, 4, e.severity.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_text(s, 5, KindName(e.kind), -1, SQLITE_STATIC) != SQLITE_OK ||
        sqlite3_bind_int64(s, 6, e.time) != SQLITE_OK ||
        sqlite3_bind_text(s, 7, local.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_step(s) != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

std::vector<AlarmEvent> HistoryStore::Events(uint32_t data_id) {
    std::lock_guard<std::mutex> lock(mutex_);
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
