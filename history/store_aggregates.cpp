// The minute aggregates side of the history store: writing a finished minute (merged
// with the row already stored for it) and pruning old minutes.
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "history/statement.h"
#include "history/store.h"
#include "monitor/measures.h"

namespace vimo {

namespace {

// Every measure of this program, in table order: what a stored row is decoded into.
const std::vector<size_t>& AllMeasures() {
    static const std::vector<size_t> all = [] {
        std::vector<size_t> v(novex::monitor::Measures().size());
        std::iota(v.begin(), v.end(), size_t{0});
        return v;
    }();
    return all;
}

// `s` at a layout's scale `from`, moved to the current decimals of measure `m`.
Spread Rescaled(const Spread& s, double from, size_t m) {
    const int decimals = novex::monitor::Measures()[m].decimals;
    if (from == ReadingScale(decimals)) return s;
    Spread out = s;
    for (int64_t* v : {&out.min, &out.max, &out.sum})
        *v = ScaledReading(static_cast<double>(*v) * from, decimals);
    return out;
}

}  // namespace

bool HistoryStore::WriteMinute(const MinuteAggregate& minute) {
    MinuteAggregate merged = minute;
    merged.measures.resize(AllMeasures().size());
    {
        Use use(Prepare("SELECT a.rounds, a.vals, a.vals_detail, l.measures, d.measures "
                        "FROM aggregates a LEFT JOIN layouts l ON l.id = a.layout "
                        "LEFT JOIN layouts d ON d.id = a.layout_detail "
                        "WHERE a.data_id = ? AND a.minute = ?"));
        if (!use.s) return false;
        sqlite3_bind_int64(use.s, 1, minute.data_id);
        sqlite3_bind_int64(use.s, 2, minute.minute);
        const int rc = sqlite3_step(use.s);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
        if (rc == SQLITE_ROW) {
            // The minute was stored before (a restart within it, a clock set back).
            MinuteAggregate stored;
            stored.rounds = sqlite3_column_int64(use.s, 0);
            stored.measures.resize(AllMeasures().size());
            bool sound = true;
            for (int part = 0; part < kReadingParts && sound; ++part) {
                AggregateDecoder decoder;
                std::vector<Spread> spreads(AllMeasures().size());
                const auto* blob =
                    static_cast<const unsigned char*>(sqlite3_column_blob(use.s, 1 + part));
                sound = decoder.Bind(ColumnText(use.s, 3 + part), AllMeasures()) &&
                        decoder.Decode(blob, static_cast<size_t>(sqlite3_column_bytes(use.s, 1 + part)),
                                       spreads.data());
                for (size_t m = 0; sound && m < spreads.size(); ++m)
                    if (ReadingPart(m) == part)
                        stored.measures[m].Merge(Rescaled(spreads[m], decoder.Scale(m), m));
            }
            // A damaged row gives way to the minute as this run saw it.
            if (sound) merged.Merge(stored);
        }
    }
    // Queries find a device through the devices table, also once its rounds are gone.
    {
        Use use(Prepare("INSERT OR IGNORE INTO devices (data_id, name) VALUES (?1, 'ups' || ?1)"));
        if (!use.s || sqlite3_bind_int64(use.s, 1, minute.data_id) != SQLITE_OK ||
            sqlite3_step(use.s) != SQLITE_DONE)
            return false;
    }
    Use use(Prepare("INSERT OR REPLACE INTO aggregates (data_id, minute, rounds, layout, vals, "
                    "layout_detail, vals_detail) VALUES (?, ?, ?, ?, ?, ?, ?)"));
    if (!use.s) return false;
    std::vector<unsigned char> blobs[kReadingParts];
    for (int part = 0; part < kReadingParts; ++part) EncodeAggregate(merged, part, blobs[part]);
    sqlite3_bind_int64(use.s, 1, merged.data_id);
    sqlite3_bind_int64(use.s, 2, merged.minute);
    sqlite3_bind_int64(use.s, 3, merged.rounds);
    for (int part = 0; part < kReadingParts; ++part) {
        sqlite3_bind_int64(use.s, 4 + 2 * part, layout_[part]);
        sqlite3_bind_blob(use.s, 5 + 2 * part, blobs[part].data(),
                          static_cast<int>(blobs[part].size()), SQLITE_STATIC);
    }
    return sqlite3_step(use.s) == SQLITE_DONE;
}

int64_t HistoryStore::PruneMinutes(const char* select, int64_t bound, int64_t limit,
                                   std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string sql = std::string("DELETE FROM aggregates WHERE rowid IN (") + select + ")";
    Use use(Prepare(sql.c_str()));
    if (!use.s || sqlite3_bind_int64(use.s, 1, bound) != SQLITE_OK ||
        sqlite3_bind_int64(use.s, 2, limit) != SQLITE_OK || sqlite3_step(use.s) != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return -1;
    }
    return sqlite3_changes(db_);
}

int64_t HistoryStore::PruneAggregatesBefore(int64_t utc, int64_t limit, std::string& error) {
    return PruneMinutes("SELECT rowid FROM aggregates WHERE minute < ?1 ORDER BY minute LIMIT ?2",
                        utc, limit, error);
}

int64_t HistoryStore::PruneOldestAggregates(int64_t limit, std::string& error) {
    return PruneMinutes("SELECT rowid FROM aggregates WHERE ?1 = ?1 ORDER BY minute LIMIT ?2", 0,
                        limit, error);
}

}  // namespace vimo
