#include "history/reader.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/time_text.h"
#include "device/novexups_data.h"
#include "history/chunk_codec.h"
#include "history/schema.h"
#include "monitor/measures.h"

namespace vimo {

namespace {

// A statement finalized on every way out.
struct Statement {
    sqlite3_stmt* s = nullptr;
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~Statement() { sqlite3_finalize(s); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
};

// The columns every event query selects from events `e`, in the order EventRows reads
// them, and the join that names the device.
const char kEventColumns[] =
    "e.id, e.data_id, coalesce(d.name, 'ups' || e.data_id), e.alarm, e.text, e.severity, "
    "e.state, e.utc, e.local";
const char kEventDevice[] = "LEFT JOIN devices d ON d.data_id = e.data_id";

// An event or rule query's parameters: ?1 the device (null: every one), ?2 and ?3 the
// span, and ?`limit_at` the row cap (SQLite's LIMIT is signed: -1 is none).
void BindQuery(sqlite3_stmt* s, const EventQuery& query, int limit_at) {
    if (query.data_id)
        sqlite3_bind_int64(s, 1, *query.data_id);
    else
        sqlite3_bind_null(s, 1);
    sqlite3_bind_int64(s, 2, query.since);
    sqlite3_bind_int64(s, 3, query.until);
    const bool capped = query.limit <= static_cast<size_t>(std::numeric_limits<int64_t>::max());
    sqlite3_bind_int64(s, limit_at, capped ? static_cast<int64_t>(query.limit) : -1);
}

std::string Text(sqlite3_stmt* s, int column) {
    const unsigned char* t = sqlite3_column_text(s, column);
    return t ? reinterpret_cast<const char*>(t) : "";
}

}  // namespace

int64_t StepForPoints(int64_t since, int64_t until, int64_t points) {
    // Unsigned: the distance between any two 64-bit times fits, and rounding up cannot
    // overflow either, whatever the caller passes.
    const uint64_t span = until > since ? static_cast<uint64_t>(until) - static_cast<uint64_t>(since) : 1;
    const uint64_t n = points > 1 ? static_cast<uint64_t>(points) : 1;
    const uint64_t step = span / n + (span % n != 0 ? 1 : 0);
    if (step > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return std::numeric_limits<int64_t>::max();
    return step < 1 ? 1 : static_cast<int64_t>(step);
}

std::unique_ptr<HistoryReader> HistoryReader::Open(const std::string& path, std::string& error) {
    if (!CheckHistoryPath(path, error)) return nullptr;
    std::unique_ptr<HistoryReader> reader(new HistoryReader());
    novex::MutexLock lock(reader->mutex_);  // not shared yet: held for the lock annotations
    if (sqlite3_open_v2(path.c_str(), &reader->db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "history " + path + ": " + (reader->db_ ? sqlite3_errmsg(reader->db_) : "cannot open");
        return nullptr;
    }
    sqlite3_busy_timeout(reader->db_, 2000);
    // A query over a day reads some 11,000 pages of readings: mapped, not copied in
    // one read call each.
    sqlite3_exec(reader->db_, "PRAGMA cache_size=-16384", nullptr,
                 nullptr, nullptr);
    std::string why;
    if (!PrepareHistorySchema(reader->db_, false, why)) {
        error = "history " + path + ": " + why;
        return nullptr;
    }
    Statement q(reader->db_, "SELECT count(*) FROM sqlite_master WHERE name = 'aggregates'");
    reader->has_minutes_ = q.s && sqlite3_step(q.s) == SQLITE_ROW && sqlite3_column_int64(q.s, 0) > 0;
    return reader;
}

HistoryReader::~HistoryReader() {
    if (db_) sqlite3_close(db_);
}

std::vector<HistoryDevice> HistoryReader::Devices() {
    novex::MutexLock lock(mutex_);
    std::vector<HistoryDevice> out;
    Statement q(db_, "SELECT data_id, name FROM devices ORDER BY data_id");
    while (q.s && sqlite3_step(q.s) == SQLITE_ROW)
        out.push_back({static_cast<uint32_t>(sqlite3_column_int64(q.s, 0)), Text(q.s, 1)});
    return out;
}

bool HistoryReader::FindDevice(const std::string& which, HistoryDevice& device,
                               std::string& error) {
    const std::vector<HistoryDevice> devices = Devices();
    std::string names;
    for (const HistoryDevice& d : devices) {
        names += (names.empty() ? "" : ", ") + d.name + " (" + std::to_string(d.data_id) + ")";
        if (!which.empty() && (d.name == which || std::to_string(d.data_id) == which)) {
            device = d;
            return true;
        }
    }
    if (which.empty() && devices.size() == 1) {
        device = devices[0];
        return true;
    }
    if (devices.empty())
        error = "the history holds no device";
    else if (which.empty())
        error = "the history holds several devices; choose one with --device: " + names;
    else
        error = "no device \"" + which + "\" in the history; devices: " + names;
    return false;
}

const ReadingsDecoder* HistoryReader::Decoder(int64_t layout, const std::vector<size_t>& fields) {
    const auto found = decoders_.find(layout);
    if (found != decoders_.end()) return &found->second;
    Statement q(db_, "SELECT measures FROM layouts WHERE id = ?");
    ReadingsDecoder decoder;
    if (!q.s || sqlite3_bind_int64(q.s, 1, layout) != SQLITE_OK || sqlite3_step(q.s) != SQLITE_ROW ||
        !decoder.Bind(Text(q.s, 0), fields))
        return nullptr;
    return &decoders_.emplace(layout, decoder).first->second;
}

bool HistoryReader::Readings(uint32_t data_id, int64_t since, int64_t until,
                             const std::vector<size_t>& fields,
                             const std::function<bool(const ReadingRow&)>& each,
                             std::string& error) {
    novex::MutexLock lock(mutex_);
    decoders_.clear();
    // Chunks and the rounds not yet in one are read in one snapshot: the writer moves
    // rounds from one to the other meanwhile.
    sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    struct End {
        sqlite3* db;
        ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
    } end{db_};
    bool needed[kReadingParts] = {};
    for (const size_t f : fields) needed[ReadingPart(f)] = true;
    if (!needed[0] && !needed[1]) needed[0] = true;  // the rounds, without figures
    bool go_on = true;
    const int64_t boundary = MinutesBoundary(data_id, since, until);
    if (boundary != 0 &&
        !MinuteReadings(data_id, since, boundary, fields, needed, each, go_on, error))
        return false;
    if (!go_on) return true;
    ReadingRow row;
    row.values.resize(fields.size());
    if (!ChunkReadings(data_id, since, until, fields, needed, each, row, go_on, error)) return false;
    if (!go_on) return true;
    // The rounds not yet in a chunk. Those of a version 2 file have readings rows;
    // since then the record is decoded here, with the measure table of this program.
    Statement q(db_,
                "SELECT r.id, r.utc, r.record, a.layout, a.vals, b.layout, b.vals FROM rounds r "
                "LEFT JOIN readings a ON a.data_id = r.data_id AND a.utc = r.utc AND a.round = r.id "
                "LEFT JOIN readings_detail b "
                "ON b.data_id = r.data_id AND b.utc = r.utc AND b.round = r.id "
                "WHERE r.data_id = ?1 AND r.utc >= ?2 AND r.utc < ?3 ORDER BY r.utc, r.id");
    if (!q.s) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_int64(q.s, 1, data_id);
    sqlite3_bind_int64(q.s, 2, since);
    sqlite3_bind_int64(q.s, 3, until);
    ReadingsDecoder current[kReadingParts];
    for (int part = 0; part < kReadingParts; ++part) current[part].Bind(CurrentLayoutText(part), fields);
    std::vector<unsigned char> blob;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        row.round = sqlite3_column_int64(q.s, 0);
        row.utc = sqlite3_column_int64(q.s, 1);
        for (double& v : row.values) v = std::nan("");
        const bool stored = sqlite3_column_type(q.s, 3) != SQLITE_NULL;
        const size_t size = static_cast<size_t>(sqlite3_column_bytes(q.s, 2));
        const auto* record = static_cast<const unsigned char*>(sqlite3_column_blob(q.s, 2));
        // No readings: a record shorter than the layout the measures decode.
        if (!stored && (!record || size < sizeof(NovexUPS_Data_t))) continue;
        const auto values = stored ? std::vector<novex::monitor::MeasureValue>()
                                   : novex::monitor::DecodeMeasures(record);
        bool ok = true;
        for (int part = 0; part < kReadingParts && ok; ++part) {
            if (!needed[part]) continue;
            if (stored) {
                if (sqlite3_column_type(q.s, 3 + 2 * part) == SQLITE_NULL) continue;
                const ReadingsDecoder* decoder =
                    Decoder(sqlite3_column_int64(q.s, 3 + 2 * part), fields);
                const auto* vals =
                    static_cast<const unsigned char*>(sqlite3_column_blob(q.s, 4 + 2 * part));
                ok = decoder && vals &&
                     decoder->Decode(vals, static_cast<size_t>(sqlite3_column_bytes(q.s, 4 + 2 * part)),
                                     row.values.data());
            } else {
                // Through the stored form, so that a figure reads the same before and
                // after its round moves into a chunk.
                blob.clear();
                EncodeReadings(values, part, blob);
                ok = current[part].Decode(blob.data(), blob.size(), row.values.data());
            }
        }
        if (!ok) continue;
        if (!each(row)) return true;
    }
    if (rc != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

int64_t HistoryReader::MinutesUntil(uint32_t data_id, int64_t since, int64_t until) {
    novex::MutexLock lock(mutex_);
    sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    const int64_t boundary = MinutesBoundary(data_id, since, until);
    sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    return boundary;
}

int64_t HistoryReader::MinutesBoundary(uint32_t data_id, int64_t since, int64_t until) {
    if (!has_minutes_ || since >= until) return 0;
    // The oldest stored round: its chunk is the first by time; the rounds table holds
    // only rounds newer than every chunk.
    int64_t oldest = until;
    for (const char* sql : {"SELECT first_utc FROM chunks WHERE data_id = ? ORDER BY last_utc LIMIT 1",
                            "SELECT utc FROM rounds WHERE data_id = ? ORDER BY id LIMIT 1"}) {
        Statement q(db_, sql);
        if (!q.s || sqlite3_bind_int64(q.s, 1, data_id) != SQLITE_OK) return 0;
        if (sqlite3_step(q.s) == SQLITE_ROW) {
            oldest = std::min<int64_t>(oldest, sqlite3_column_int64(q.s, 0));
            break;
        }
    }
    // The minute of the oldest round may hold rounds pruned and rounds kept: its row
    // would count the kept ones twice, so the rounds answer from its start.
    const int64_t boundary = oldest < until ? MinuteOf(oldest) : until;
    if (since >= boundary) return 0;
    // A minute in the span: the hours that meet it may hold none (the minute of a
    // clean stop lies beside the rounds that follow it).
    Statement q(db_, "SELECT hour, data FROM aggregates WHERE data_id = ?1 AND hour > ?2 - 3600 "
                     "AND hour < ?3 ORDER BY hour");
    if (!q.s) return 0;
    sqlite3_bind_int64(q.s, 1, data_id);
    sqlite3_bind_int64(q.s, 2, since);
    sqlite3_bind_int64(q.s, 3, boundary);
    std::vector<StoredMinute> minutes;
    while (sqlite3_step(q.s) == SQLITE_ROW) {
        if (!DecodeHour(static_cast<const unsigned char*>(sqlite3_column_blob(q.s, 1)),
                        static_cast<size_t>(sqlite3_column_bytes(q.s, 1)), sqlite3_column_int64(q.s, 0),
                        minutes))
            continue;
        for (const StoredMinute& m : minutes)
            if (m.minute >= since && m.minute < boundary) return boundary;
    }
    return 0;
}

bool HistoryReader::MinuteReadings(uint32_t data_id, int64_t since, int64_t boundary,
                                   const std::vector<size_t>& fields, const bool* needed,
                                   const std::function<bool(const ReadingRow&)>& each, bool& go_on,
                                   std::string& error) {
    Statement q(db_,
                "SELECT hour, data FROM aggregates WHERE data_id = ?1 AND hour > ?2 - 3600 "
                "AND hour < ?3 ORDER BY hour");
    if (!q.s) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_int64(q.s, 1, data_id);
    sqlite3_bind_int64(q.s, 2, since);
    sqlite3_bind_int64(q.s, 3, boundary);
    std::map<int64_t, AggregateDecoder> decoders;  // by layout id
    sqlite3* const db = db_;  // the lambda runs under our lock, which the analysis cannot see
    const auto decoder = [&](int64_t layout) -> const AggregateDecoder* {
        const auto found = decoders.find(layout);
        if (found != decoders.end()) return &found->second;
        Statement l(db, "SELECT measures FROM layouts WHERE id = ?");
        AggregateDecoder d;
        if (!l.s || sqlite3_bind_int64(l.s, 1, layout) != SQLITE_OK ||
            sqlite3_step(l.s) != SQLITE_ROW || !d.Bind(Text(l.s, 0), fields))
            return nullptr;
        return &decoders.emplace(layout, d).first->second;
    };
    ReadingRow row;
    row.minute = true;
    row.values.resize(fields.size());
    row.spread.resize(fields.size());
    std::vector<Spread> spreads(fields.size());
    std::vector<double> scales(fields.size(), 1.0);
    std::vector<StoredMinute> minutes;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        if (!DecodeHour(static_cast<const unsigned char*>(sqlite3_column_blob(q.s, 1)),
                        static_cast<size_t>(sqlite3_column_bytes(q.s, 1)), sqlite3_column_int64(q.s, 0),
                        minutes)) {
            error = "an hour of minute aggregates is damaged";
            return false;
        }
        for (const StoredMinute& m : minutes) {
            if (m.minute < since || m.minute >= boundary) continue;
            row.utc = m.minute;
            row.rounds = m.rounds;
            for (Spread& s : spreads) s = Spread();
            bool ok = true;
            for (int part = 0; part < kReadingParts && ok; ++part) {
                if (!needed[part]) continue;
                const AggregateDecoder* d = decoder(m.layout[part]);
                ok = d && d->Decode(m.vals[part].data(), m.vals[part].size(), spreads.data());
                for (size_t f = 0; ok && f < fields.size(); ++f)
                    if (ReadingPart(fields[f]) == part) scales[f] = d->Scale(f);
            }
            // A minute that does not decode is left out, as a damaged reading is.
            if (!ok) continue;
            for (size_t f = 0; f < fields.size(); ++f) {
                row.spread[f] = Summarize(spreads[f], scales[f]);
                row.values[f] = row.spread[f].mean;
            }
            if (!each(row)) {
                go_on = false;
                return true;
            }
        }
    }
    if (rc != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool HistoryReader::ChunkReadings(uint32_t data_id, int64_t since, int64_t until,
                                  const std::vector<size_t>& fields, const bool* needed,
                                  const std::function<bool(const ReadingRow&)>& each,
                                  ReadingRow& row, bool& go_on, std::string& error) {
    // The device's chunks that reach into the span, oldest first: from the first whose
    // newest round is in it, on while their oldest round is before its end.
    Statement q(db_,
                "SELECT first_utc, meta, data FROM chunks WHERE data_id = ?1 AND last_utc >= ?2 "
                "ORDER BY last_utc");
    if (!q.s) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_int64(q.s, 1, data_id);
    sqlite3_bind_int64(q.s, 2, since);
    unsigned want = 0;
    for (int part = 0; part < kReadingParts; ++part)
        if (needed[part]) want |= ChunkReadingPart(part);
    std::vector<ChunkRound> rounds;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        if (sqlite3_column_int64(q.s, 0) >= until) break;
        const auto blob = [&](int column) {
            return static_cast<const unsigned char*>(sqlite3_column_blob(q.s, column));
        };
        const auto size = [&](int column) {
            return static_cast<size_t>(sqlite3_column_bytes(q.s, column));
        };
        if (!DecodeChunk(blob(1), size(1), blob(2), size(2), want, rounds)) {
            error = "a chunk of rounds is damaged";
            return false;
        }
        for (const ChunkRound& r : rounds) {
            if (r.utc < since || r.utc >= until) continue;
            row.round = r.id;
            row.utc = r.utc;
            for (double& v : row.values) v = std::nan("");
            // A round without readings (a short record) is no row, as in the rounds table.
            if (r.layout[0] == 0 && r.layout[1] == 0) continue;
            bool ok = true;
            for (int part = 0; part < kReadingParts; ++part) {
                if (!needed[part] || r.layout[part] == 0) continue;
                const ReadingsDecoder* decoder = Decoder(r.layout[part], fields);
                ok = ok && decoder && decoder->Decode(r.vals[part].data(), r.vals[part].size(),
                                                      row.values.data());
            }
            if (!ok) continue;
            if (!each(row)) {
                go_on = false;
                return true;
            }
        }
    }
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool HistoryReader::Downsample(uint32_t data_id, int64_t since, int64_t until, int64_t step,
                               int64_t origin, const std::vector<size_t>& fields,
                               std::vector<ReadingBucket>& out, std::string& error,
                               size_t max_buckets) {
    out.clear();
    if (step < 1) step = 1;
    // Within the shared range, offsets from the origin and bucket starts stay far from
    // the 64-bit limits for any step.
    if (!novex::TimeInRange(since) || !novex::TimeInRange(until) ||
        !novex::TimeInRange(origin)) {
        error = std::string("times must lie ") + novex::kTimeRangeText;
        return false;
    }
    bool too_many = false;
    // Bucket index to its place in `out`.
    std::map<int64_t, size_t> place;
    const bool ok = Readings(data_id, since, until, fields, [&](const ReadingRow& row) {
        const int64_t offset = row.utc - origin;
        const int64_t index = offset >= 0 ? offset / step : -((-offset + step - 1) / step);
        auto at = place.find(index);
        if (at == place.end()) {
            if (out.size() >= max_buckets) {
                too_many = true;
                return false;
            }
            ReadingBucket bucket;
            bucket.start = origin + index * step;
            bucket.fields.resize(fields.size());
            at = place.emplace(index, out.size()).first;
            out.push_back(std::move(bucket));
        }
        ReadingBucket& b = out[at->second];
        b.rounds += row.rounds;
        if (row.minute) {
            b.minutes = true;
            for (size_t f = 0; f < row.spread.size(); ++f) {
                const FieldSummary& m = row.spread[f];
                if (m.count == 0) continue;
                FieldSummary& s = b.fields[f];
                if (s.count == 0 || m.min < s.min) s.min = m.min;
                if (s.count == 0 || m.max > s.max) s.max = m.max;
                s.mean += m.mean * static_cast<double>(m.count);  // the sum until the end
                s.count += m.count;
            }
            return true;
        }
        for (size_t f = 0; f < row.values.size(); ++f) {
            const double v = row.values[f];
            if (std::isnan(v)) continue;
            FieldSummary& s = b.fields[f];
            if (s.count == 0 || v < s.min) s.min = v;
            if (s.count == 0 || v > s.max) s.max = v;
            s.mean += v;  // the sum until the end
            ++s.count;
        }
        return true;
    }, error);
    if (!ok) return false;
    if (too_many) {
        out.clear();
        error = "more than " + std::to_string(max_buckets) + " intervals: choose a longer step";
        return false;
    }
    std::vector<ReadingBucket> ordered;
    ordered.reserve(out.size());
    for (const auto& entry : place) ordered.push_back(std::move(out[entry.second]));
    for (ReadingBucket& b : ordered)
        for (FieldSummary& s : b.fields) {
            if (s.count > 0)
                s.mean /= static_cast<double>(s.count);
            else
                s.min = s.mean = s.max = std::nan("");
        }
    out = std::move(ordered);
    return true;
}

bool HistoryReader::Events(const EventQuery& query, std::vector<StoredEvent>& out,
                           std::string& error) {
    novex::MutexLock lock(mutex_);
    out.clear();
    // ?1 null: every device. Active: the newest event of its alarm is this raise.
    const std::string sql =
        std::string("SELECT ") + kEventColumns + " FROM events e " + kEventDevice +
        " WHERE (?1 IS NULL OR e.data_id = ?1) AND e.utc >= ?2 AND e.utc < ?3 "
        "AND (?4 = 0 OR (e.state = 'raised' AND e.id = (SELECT max(id) FROM events l "
        "WHERE l.data_id = e.data_id AND l.alarm = e.alarm))) "
        "ORDER BY e.utc, e.id LIMIT ?5";
    Statement q(db_, sql.c_str());
    if (!q.s) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    BindQuery(q.s, query, 5);
    sqlite3_bind_int(q.s, 4, query.active_only ? 1 : 0);
    return EventRows(q.s, out, error);
}

bool HistoryReader::Rules(const EventQuery& query, std::vector<StoredRule>& out,
                          std::string& error) {
    novex::MutexLock lock(mutex_);
    out.clear();
    Statement q(db_,
                "SELECT a.id, a.data_id, coalesce(d.name, 'ups' || a.data_id), a.rule_id, a.rule, "
                "a.state, a.utc, a.time FROM alarms a LEFT JOIN devices d ON d.data_id = a.data_id "
                "WHERE (?1 IS NULL OR a.data_id = ?1) AND a.utc >= ?2 AND a.utc < ?3 "
                "ORDER BY a.utc, a.id LIMIT ?4");
    if (!q.s) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    BindQuery(q.s, query, 4);
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        StoredRule r;
        r.id = sqlite3_column_int64(q.s, 0);
        r.data_id = static_cast<uint32_t>(sqlite3_column_int64(q.s, 1));
        r.device = Text(q.s, 2);
        r.rule_id = Text(q.s, 3);
        r.rule = Text(q.s, 4);
        r.raised = Text(q.s, 5) == "raised";
        r.utc = sqlite3_column_int64(q.s, 6);
        r.local = Text(q.s, 7);
        out.push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool HistoryReader::ActiveAt(uint32_t data_id, int64_t at, std::vector<StoredEvent>& out,
                             std::string& error) {
    novex::MutexLock lock(mutex_);
    out.clear();
    // The device's alarm ids one seek apart (each the least above the one before), then
    // each one's last event before `at`: both walk events_by_alarm. CROSS JOIN keeps
    // that order, so no other plan scans the events.
    const std::string sql =
        std::string(
            "WITH RECURSIVE ids(alarm) AS ("
            "SELECT (SELECT min(alarm) FROM events WHERE data_id = ?1) UNION ALL "
            "SELECT (SELECT min(alarm) FROM events WHERE data_id = ?1 AND alarm > ids.alarm) "
            "FROM ids WHERE ids.alarm IS NOT NULL) SELECT ") +
        kEventColumns +
        " FROM ids CROSS JOIN events e ON e.id = (SELECT id FROM events "
        "WHERE data_id = ?1 AND alarm = ids.alarm AND utc < ?2 ORDER BY utc DESC, id DESC LIMIT 1) " +
        kEventDevice + " WHERE e.state = 'raised' ORDER BY e.utc, e.id";
    Statement q(db_, sql.c_str());
    if (!q.s) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_bind_int64(q.s, 1, data_id);
    sqlite3_bind_int64(q.s, 2, at);
    return EventRows(q.s, out, error);
}

bool HistoryReader::EventRows(sqlite3_stmt* q, std::vector<StoredEvent>& out,
                              std::string& error) {
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
        StoredEvent e;
        e.id = sqlite3_column_int64(q, 0);
        e.data_id = static_cast<uint32_t>(sqlite3_column_int64(q, 1));
        e.device = Text(q, 2);
        e.alarm = Text(q, 3);
        e.text = Text(q, 4);
        e.severity = Text(q, 5);
        e.raised = Text(q, 6) == "raised";
        e.utc = sqlite3_column_int64(q, 7);
        e.local = Text(q, 8);
        out.push_back(std::move(e));
    }
    if (rc != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

}  // namespace vimo
