// The chunk side of the history store: moving a device's rounds into chunks, finding a
// round in them, and the round list merged across devices in id order.
#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <queue>

#include "device/novexups_data.h"
#include "history/statement.h"
#include "history/store.h"
#include "monitor/measures.h"

namespace vimo {

namespace {

// A read made of several statements that must see one state of the file: the writer
// may move rounds into a chunk between two of them otherwise. Inside a transaction
// already (the writer's own), it adds nothing.
class Snapshot {
public:
    explicit Snapshot(sqlite3* db) : db_(db), own_(sqlite3_get_autocommit(db) != 0) {
        if (own_) own_ = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Snapshot() {
        if (own_) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

private:
    sqlite3* db_;
    bool own_;
};

struct Finalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Owned = std::unique_ptr<sqlite3_stmt, Finalize>;

Owned PrepareOwned(sqlite3* db, const char* sql, int64_t bind) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) return nullptr;
    sqlite3_bind_int64(s, 1, bind);
    return Owned(s);
}

StoredRound FromChunk(ChunkRound&& c, uint32_t data_id, const std::string& device) {
    StoredRound r;
    r.id = c.id;
    r.data_id = data_id;
    r.time = std::move(c.time);
    r.record = std::move(c.record);
    r.utc = c.utc;
    r.device = device;
    return r;
}

const char kDamaged[] = "a chunk of rounds is damaged";

}  // namespace

int64_t HistoryStore::NextRoundId() {
    // An id once handed out is not handed out again, even when its round was pruned:
    // the highest id stored, the highest ever written (history_state) and, in a file
    // from before chunks, the AUTOINCREMENT counter.
    int64_t top = 0;
    for (const char* sql : {"SELECT coalesce(max(id), 0) FROM rounds",
                            "SELECT coalesce(max(last_id), 0) FROM chunks",
                            "SELECT coalesce(max(value), 0) FROM history_state "
                            "WHERE name = 'last_round'"}) {
        Use use(Prepare(sql));
        if (!use.s || sqlite3_step(use.s) != SQLITE_ROW) return -1;
        top = std::max<int64_t>(top, sqlite3_column_int64(use.s, 0));
    }
    // Files made since have no counter of rounds (nor, without any AUTOINCREMENT
    // table, a sqlite_sequence table to ask).
    Use use(Prepare("SELECT seq FROM sqlite_sequence WHERE name = 'rounds'"));
    if (use.s && sqlite3_step(use.s) == SQLITE_ROW)
        top = std::max<int64_t>(top, sqlite3_column_int64(use.s, 0));
    return top + 1;
}

int64_t HistoryStore::NewestRoundId() {
    novex::MutexLock lock(mutex_);
    Snapshot snapshot(db_);
    int64_t top = 0;
    for (const char* sql : {"SELECT coalesce(max(id), 0) FROM rounds",
                            "SELECT coalesce(max(last_id), 0) FROM chunks"}) {
        Use use(Prepare(sql));
        const int rc = use.s ? sqlite3_step(use.s) : SQLITE_ERROR;
        NoteRead(rc);
        if (rc != SQLITE_ROW) return -1;
        top = std::max<int64_t>(top, sqlite3_column_int64(use.s, 0));
    }
    return top;
}

bool HistoryStore::NoteLastRound() {
    const int64_t next = NextRoundId();
    Use use(Prepare("INSERT OR REPLACE INTO history_state (name, value) VALUES ('last_round', ?)"));
    return next > 0 && use.s && sqlite3_bind_int64(use.s, 1, next - 1) == SQLITE_OK &&
           sqlite3_step(use.s) == SQLITE_DONE;
}

bool HistoryStore::CompactDevice(uint32_t data_id, bool& moved) {
    moved = false;
    auto known = unchunked_.find(data_id);
    if (known == unchunked_.end()) {
        Use use(Prepare("SELECT count(*) FROM rounds WHERE data_id = ?"));
        if (!use.s || sqlite3_bind_int64(use.s, 1, data_id) != SQLITE_OK ||
            sqlite3_step(use.s) != SQLITE_ROW)
            return false;
        known = unchunked_.emplace(data_id, sqlite3_column_int64(use.s, 0)).first;
    }
    if (known->second < static_cast<int64_t>(kChunkRounds)) return true;
    std::vector<ChunkRound> rounds;
    rounds.reserve(kChunkRounds);
    bool had_readings = false;  // a round of a version 2 file, with readings rows
    {
        Use use(Prepare(
            "SELECT r.id, r.utc, r.time, r.record, a.layout, a.vals, b.layout, b.vals "
            "FROM rounds r "
            "LEFT JOIN readings a ON a.data_id = r.data_id AND a.utc = r.utc AND a.round = r.id "
            "LEFT JOIN readings_detail b "
            "ON b.data_id = r.data_id AND b.utc = r.utc AND b.round = r.id "
            "WHERE r.data_id = ?1 ORDER BY r.id LIMIT ?2"));
        if (!use.s) return false;
        sqlite3_bind_int64(use.s, 1, data_id);
        sqlite3_bind_int64(use.s, 2, static_cast<int64_t>(kChunkRounds));
        int rc = SQLITE_ROW;
        const auto bytes = [&](int column, std::vector<unsigned char>& out) {
            const auto* b = static_cast<const unsigned char*>(sqlite3_column_blob(use.s, column));
            const int n = sqlite3_column_bytes(use.s, column);
            out.assign(b, b + (b ? n : 0));
        };
        while ((rc = sqlite3_step(use.s)) == SQLITE_ROW) {
            ChunkRound r;
            r.id = sqlite3_column_int64(use.s, 0);
            r.utc = sqlite3_column_int64(use.s, 1);
            r.time = ColumnText(use.s, 2);
            bytes(3, r.record);
            for (int part = 0; part < kReadingParts; ++part) {
                r.layout[part] = sqlite3_column_int64(use.s, 4 + 2 * part);
                bytes(5 + 2 * part, r.vals[part]);
            }
            // Rounds stored since version 3 have no readings rows: those made when the
            // round was written, else made here from the record, once. A record
            // shorter than the layout the measures decode has none.
            const auto waiting = readings_.find(r.id);
            if (r.layout[0] == 0 && r.layout[1] == 0 && r.record.size() >= sizeof(NovexUPS_Data_t)) {
                std::vector<novex::monitor::MeasureValue> values;
                if (waiting == readings_.end())
                    values = novex::monitor::DecodeMeasures(r.record.data());
                for (int part = 0; part < kReadingParts; ++part) {
                    if (waiting != readings_.end())
                        r.vals[part] = std::move(waiting->second[static_cast<size_t>(part)]);
                    else
                        EncodeReadings(values, part, r.vals[part]);
                    r.layout[part] = layout_[part];
                }
            } else {
                had_readings = true;
            }
            if (waiting != readings_.end()) readings_.erase(waiting);
            rounds.push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) return false;
    }
    if (rounds.size() < kChunkRounds) {
        known->second = static_cast<int64_t>(rounds.size());
        return true;
    }
    std::vector<unsigned char> meta, data;
    if (!EncodeChunk(rounds, meta, data)) return false;
    int64_t first_utc = rounds[0].utc, last_utc = rounds[0].utc;
    for (const ChunkRound& r : rounds) {
        first_utc = std::min(first_utc, r.utc);
        last_utc = std::max(last_utc, r.utc);
    }
    {
        Use use(Prepare("INSERT INTO chunks (last_id, data_id, first_id, rounds, first_utc, "
                        "last_utc, meta, data) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
        if (!use.s) return false;
        const int64_t numbers[] = {rounds.back().id, data_id, rounds.front().id,
                                   static_cast<int64_t>(rounds.size()), first_utc, last_utc};
        for (int i = 0; i < 6; ++i) sqlite3_bind_int64(use.s, i + 1, numbers[i]);
        sqlite3_bind_blob(use.s, 7, meta.data(), static_cast<int>(meta.size()), SQLITE_STATIC);
        sqlite3_bind_blob(use.s, 8, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
        if (sqlite3_step(use.s) != SQLITE_DONE) return false;
    }
    // Finding a round by id goes through the devices table: every device with a chunk
    // has a row there.
    {
        Use use(Prepare("INSERT OR IGNORE INTO devices (data_id, name) VALUES (?1, 'ups' || ?1)"));
        if (!use.s || sqlite3_bind_int64(use.s, 1, data_id) != SQLITE_OK ||
            sqlite3_step(use.s) != SQLITE_DONE)
            return false;
    }
    // The chunk's rounds are the device's oldest, so they are the device's whole range
    // of ids from the first to the last: one statement takes them, with their index
    // entries. Readings rows exist only for rounds of a version 2 file.
    {
        Use use(Prepare("DELETE FROM rounds WHERE data_id = ?1 AND id BETWEEN ?2 AND ?3"));
        if (!use.s || sqlite3_bind_int64(use.s, 1, data_id) != SQLITE_OK ||
            sqlite3_bind_int64(use.s, 2, rounds.front().id) != SQLITE_OK ||
            sqlite3_bind_int64(use.s, 3, rounds.back().id) != SQLITE_OK ||
            sqlite3_step(use.s) != SQLITE_DONE)
            return false;
    }
    const char* const deletes[] = {
        "DELETE FROM readings WHERE data_id = ?2 AND utc = ?3 AND round = ?1",
        "DELETE FROM readings_detail WHERE data_id = ?2 AND utc = ?3 AND round = ?1"};
    for (const ChunkRound& r : rounds)
        for (const char* sql : deletes) {
            if (!had_readings) break;
            Use use(Prepare(sql));
            if (!use.s || sqlite3_bind_int64(use.s, 1, r.id) != SQLITE_OK ||
                sqlite3_bind_int64(use.s, 2, data_id) != SQLITE_OK ||
                sqlite3_bind_int64(use.s, 3, r.utc) != SQLITE_OK ||
                sqlite3_step(use.s) != SQLITE_DONE)
                return false;
        }
    known->second -= static_cast<int64_t>(rounds.size());
    moved = true;
    return true;
}

bool HistoryStore::LoadChunk(int64_t last_id, bool with_data, std::vector<ChunkRound>& rounds) {
    Use use(Prepare("SELECT meta, data FROM chunks WHERE last_id = ?"));
    const int rc = !use.s ? SQLITE_ERROR
                   : sqlite3_bind_int64(use.s, 1, last_id) != SQLITE_OK ? SQLITE_MISUSE
                                                                        : sqlite3_step(use.s);
    NoteRead(rc);
    if (rc != SQLITE_ROW) return false;
    const auto* meta = static_cast<const unsigned char*>(sqlite3_column_blob(use.s, 0));
    const size_t meta_size = static_cast<size_t>(sqlite3_column_bytes(use.s, 0));
    const unsigned char* data =
        with_data ? static_cast<const unsigned char*>(sqlite3_column_blob(use.s, 1)) : nullptr;
    const size_t data_size = static_cast<size_t>(sqlite3_column_bytes(use.s, 1));
    if (DecodeChunk(meta, meta_size, data, data_size, with_data ? kChunkRecords : 0, rounds) &&
        (!with_data || data))
        return true;
    read_error_ = kDamaged;
    return false;
}

std::string HistoryStore::DeviceName(uint32_t data_id) {
    Use use(Prepare("SELECT name FROM devices WHERE data_id = ?"));
    if (use.s && sqlite3_bind_int64(use.s, 1, data_id) == SQLITE_OK &&
        sqlite3_step(use.s) == SQLITE_ROW)
        return ColumnText(use.s, 0);
    return "ups" + std::to_string(data_id);
}

std::optional<StoredRound> HistoryStore::ChunkRoundById(int64_t id) {
    Snapshot snapshot(db_);
    // Per device, the one chunk that may hold the id: its first with a last id as high.
    std::vector<std::pair<int64_t, uint32_t>> candidates;
    {
        Use use(Prepare(
            "SELECT c.last_id, c.data_id FROM devices d JOIN chunks c ON c.last_id = "
            "(SELECT min(last_id) FROM chunks WHERE data_id = d.data_id AND last_id >= ?1) "
            "WHERE c.first_id <= ?1"));
        if (!use.s || sqlite3_bind_int64(use.s, 1, id) != SQLITE_OK) {
            NoteRead(SQLITE_ERROR);
            return std::nullopt;
        }
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(use.s)) == SQLITE_ROW)
            candidates.emplace_back(sqlite3_column_int64(use.s, 0),
                                    static_cast<uint32_t>(sqlite3_column_int64(use.s, 1)));
        NoteRead(rc);
        if (rc != SQLITE_DONE) return std::nullopt;
    }
    std::vector<ChunkRound> rounds;
    for (const auto& c : candidates) {
        if (!LoadChunk(c.first, false, rounds)) return std::nullopt;
        const bool holds = std::any_of(rounds.begin(), rounds.end(),
                                       [&](const ChunkRound& r) { return r.id == id; });
        if (!holds) continue;
        if (!LoadChunk(c.first, true, rounds)) return std::nullopt;
        for (ChunkRound& r : rounds)
            if (r.id == id) return FromChunk(std::move(r), c.second, DeviceName(c.second));
    }
    return std::nullopt;
}

std::optional<StoredRound> HistoryStore::NewestInChunks(uint32_t data_id) {
    Snapshot snapshot(db_);
    int64_t last_id = 0;
    {
        Use use(Prepare("SELECT max(last_id) FROM chunks WHERE data_id = ?"));
        const int rc = !use.s ? SQLITE_ERROR
                       : sqlite3_bind_int64(use.s, 1, data_id) != SQLITE_OK ? SQLITE_MISUSE
                                                                            : sqlite3_step(use.s);
        NoteRead(rc);
        if (rc != SQLITE_ROW || sqlite3_column_type(use.s, 0) == SQLITE_NULL) return std::nullopt;
        last_id = sqlite3_column_int64(use.s, 0);
    }
    std::vector<ChunkRound> rounds;
    if (!LoadChunk(last_id, true, rounds)) return std::nullopt;
    return FromChunk(std::move(rounds.back()), data_id, DeviceName(data_id));
}

int64_t HistoryStore::PruneChunks(const char* select, int64_t bound, int64_t limit,
                                  std::string& error) {
    novex::MutexLock lock(mutex_);
    if (!Exec("BEGIN IMMEDIATE", error)) return -1;
    std::vector<std::pair<int64_t, int64_t>> chunks;  // last id, rounds
    bool ok = true;
    {
        Use use(Prepare(select));
        ok = use.s != nullptr;
        if (ok) {
            sqlite3_bind_int64(use.s, 1, bound);
            // Whole chunks, about `limit` rounds' worth, at least one.
            sqlite3_bind_int64(use.s, 2, std::max<int64_t>(1, limit / kChunkRounds));
            int rc = SQLITE_ROW;
            while ((rc = sqlite3_step(use.s)) == SQLITE_ROW)
                chunks.emplace_back(sqlite3_column_int64(use.s, 0), sqlite3_column_int64(use.s, 1));
            ok = rc == SQLITE_DONE;
        }
    }
    if (ok && !chunks.empty()) ok = NoteLastRound();
    int64_t removed = 0;
    for (const auto& c : chunks) {
        Use use(Prepare("DELETE FROM chunks WHERE last_id = ?"));
        ok = ok && use.s && sqlite3_bind_int64(use.s, 1, c.first) == SQLITE_OK &&
             sqlite3_step(use.s) == SQLITE_DONE;
        removed += c.second;
    }
    if (ok && Exec("COMMIT", error)) return removed;
    if (!ok) error = sqlite3_errmsg(db_);
    std::string ignored;
    if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK", ignored);
    return -1;
}

bool HistoryStore::ListEach(const std::optional<uint32_t>& data_id, int64_t last,
                            const std::function<bool(const StoredRound&)>& each) {
    novex::MutexLock lock(mutex_);
    Snapshot snapshot(db_);
    int64_t skip = 0;
    if (last > 0) {
        const int64_t total = CountLocked(data_id);
        if (total < 0) return false;
        skip = std::max<int64_t>(0, total - last);
    }
    // One source per device: its chunks' lists, then its rounds not yet in a chunk, in
    // id order; the sources are merged by id.
    struct Source {
        uint32_t data_id = 0;
        std::string device;
        Owned chunks, rounds;
        std::vector<ChunkRound> list;
        size_t at = 0;
        StoredRound current;
    };
    std::vector<uint32_t> devices;
    if (data_id) {
        devices.push_back(*data_id);
    } else {
        Use use(Prepare("SELECT data_id FROM chunks UNION SELECT data_id FROM rounds"));
        int rc = use.s ? SQLITE_ROW : SQLITE_ERROR;
        while (use.s && (rc = sqlite3_step(use.s)) == SQLITE_ROW)
            devices.push_back(static_cast<uint32_t>(sqlite3_column_int64(use.s, 0)));
        NoteRead(rc);
        if (rc != SQLITE_DONE) return false;
    }
    std::vector<Source> sources(devices.size());
    // Advances a source; false at its end, with read_error_ set on a failure.
    const auto next = [&](Source& s) {
        mutex_.AssertHeld();  // called only below, under the lock
        for (;;) {
            if (s.at < s.list.size()) {
                ChunkRound& c = s.list[s.at++];
                s.current.id = c.id;
                s.current.utc = c.utc;
                s.current.time = std::move(c.time);
                s.current.record.resize(c.record_size);
                return true;
            }
            if (s.chunks) {
                const int rc = sqlite3_step(s.chunks.get());
                if (rc == SQLITE_ROW) {
                    const auto* meta =
                        static_cast<const unsigned char*>(sqlite3_column_blob(s.chunks.get(), 0));
                    const size_t size = static_cast<size_t>(sqlite3_column_bytes(s.chunks.get(), 0));
                    s.at = 0;
                    if (!DecodeChunk(meta, size, nullptr, 0, 0, s.list)) {
                        read_error_ = kDamaged;
                        return false;
                    }
                    continue;
                }
                NoteRead(rc);
                s.chunks.reset();
                if (rc != SQLITE_DONE) return false;
                continue;
            }
            if (!s.rounds) return false;
            sqlite3_stmt* q = s.rounds.get();
            const int rc = sqlite3_step(q);
            if (rc != SQLITE_ROW) {
                NoteRead(rc);
                s.rounds.reset();
                return false;
            }
            s.current.id = sqlite3_column_int64(q, 0);
            s.current.time = ColumnText(q, 1);
            s.current.utc = sqlite3_column_int64(q, 2);
            s.current.record.resize(static_cast<size_t>(sqlite3_column_int64(q, 3)));
            return true;
        }
    };
    read_error_.clear();
    using Entry = std::pair<int64_t, size_t>;  // the source's current id, the source
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heads;
    for (size_t i = 0; i < devices.size(); ++i) {
        Source& s = sources[i];
        s.data_id = devices[i];
        s.current.data_id = s.data_id;
        s.current.device = DeviceName(s.data_id);
        s.chunks = PrepareOwned(db_, "SELECT meta FROM chunks WHERE data_id = ? ORDER BY last_id",
                                s.data_id);
        s.rounds = PrepareOwned(
            db_, "SELECT id, time, utc, length(record) FROM rounds WHERE data_id = ? ORDER BY id",
            s.data_id);
        if (!s.chunks || !s.rounds) {
            read_error_ = sqlite3_errmsg(db_);
            return false;
        }
        if (next(s)) heads.emplace(s.current.id, i);
        if (!read_error_.empty()) return false;
    }
    while (!heads.empty()) {
        Source& s = sources[heads.top().second];
        heads.pop();
        if (skip > 0)
            --skip;
        else if (!each(s.current))
            return true;
        if (next(s)) heads.emplace(s.current.id, static_cast<size_t>(&s - sources.data()));
        if (!read_error_.empty()) return false;
    }
    return true;
}

}  // namespace vimo
