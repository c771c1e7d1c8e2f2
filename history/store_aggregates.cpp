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

// `stored`'s spreads added to `into`, each moved to this program's decimals; false
// for a damaged blob.
bool MergeStored(HistoryStore::LayoutText layout_text, const StoredMinute& stored,
                 MinuteAggregate& into) {
    for (int part = 0; part < kReadingParts; ++part) {
        AggregateDecoder decoder;
        std::vector<Spread> spreads(AllMeasures().size());
        std::string text;
        if (!layout_text(stored.layout[part], text) || !decoder.Bind(text, AllMeasures()) ||
            !decoder.Decode(stored.vals[part].data(), stored.vals[part].size(), spreads.data()))
            return false;
        for (size_t m = 0; m < spreads.size(); ++m)
            if (ReadingPart(m) == part) into.measures[m].Merge(Rescaled(spreads[m], decoder.Scale(m), m));
    }
    into.rounds += stored.rounds;
    return true;
}

}  // namespace

bool HistoryStore::WriteMinute(const MinuteAggregate& minute) {
    const int64_t hour = HourOf(minute.minute);
    std::vector<StoredMinute> minutes;
    {
        Use use(Prepare("SELECT data FROM aggregates WHERE data_id = ? AND hour = ?"));
        if (!use.s) return false;
        sqlite3_bind_int64(use.s, 1, minute.data_id);
        sqlite3_bind_int64(use.s, 2, hour);
        const int rc = sqlite3_step(use.s);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return false;
        // A damaged hour gives way to the minute as this run saw it: it could not be
        // read anyway.
        if (rc == SQLITE_ROW &&
            !DecodeHour(static_cast<const unsigned char*>(sqlite3_column_blob(use.s, 0)),
                        static_cast<size_t>(sqlite3_column_bytes(use.s, 0)), hour, minutes))
            minutes.clear();
    }
    MinuteAggregate merged = minute;
    merged.measures.resize(AllMeasures().size());
    auto at = minutes.begin();
    while (at != minutes.end() && at->minute < minute.minute) ++at;
    if (at != minutes.end() && at->minute == minute.minute) {
        // The minute was stored before (a restart within it, a clock set back).
        MinuteAggregate stored = merged;
        const auto text = [this](int64_t id, std::string& out) {
            mutex_.AssertHeld();  // called by MergeStored, below, under the lock
            Use l(Prepare("SELECT measures FROM layouts WHERE id = ?"));
            if (!l.s || sqlite3_bind_int64(l.s, 1, id) != SQLITE_OK || sqlite3_step(l.s) != SQLITE_ROW)
                return false;
            out = ColumnText(l.s, 0);
            return true;
        };
        if (MergeStored(text, *at, stored)) merged = std::move(stored);
    } else {
        at = minutes.insert(at, StoredMinute());
    }
    at->minute = merged.minute;
    at->rounds = merged.rounds;
    for (int part = 0; part < kReadingParts; ++part) {
        at->layout[part] = layout_[part];
        at->vals[part].clear();
        EncodeAggregate(merged, part, at->vals[part]);
    }
    std::vector<unsigned char> blob;
    if (!EncodeHour(minutes, hour, blob)) return false;
    // Queries find a device through the devices table, also once its rounds are gone.
    {
        Use use(Prepare("INSERT OR IGNORE INTO devices (data_id, name) VALUES (?1, 'ups' || ?1)"));
        if (!use.s || sqlite3_bind_int64(use.s, 1, minute.data_id) != SQLITE_OK ||
            sqlite3_step(use.s) != SQLITE_DONE)
            return false;
    }
    Use use(Prepare("INSERT OR REPLACE INTO aggregates (data_id, hour, minutes, data) "
                    "VALUES (?, ?, ?, ?)"));
    if (!use.s) return false;
    sqlite3_bind_int64(use.s, 1, minute.data_id);
    sqlite3_bind_int64(use.s, 2, hour);
    sqlite3_bind_int64(use.s, 3, static_cast<int64_t>(minutes.size()));
    sqlite3_bind_blob(use.s, 4, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
    return sqlite3_step(use.s) == SQLITE_DONE;
}

int64_t HistoryStore::PruneMinutes(const char* select, int64_t bound, int64_t limit,
                                   std::string& error) {
    novex::MutexLock lock(mutex_);
    const std::string sql = std::string("DELETE FROM aggregates WHERE rowid IN (") + select + ")";
    Use use(Prepare(sql.c_str()));
    if (!use.s || sqlite3_bind_int64(use.s, 1, bound) != SQLITE_OK ||
        sqlite3_bind_int64(use.s, 2, limit) != SQLITE_OK || sqlite3_step(use.s) != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return -1;
    }
    return sqlite3_changes(db_);
}


// Whole hours, about `limit` minutes' worth, at least one: an hour that still holds a
// minute of the window stays.
int64_t HistoryStore::PruneAggregatesBefore(int64_t utc, int64_t limit, std::string& error) {
    return PruneMinutes(
        "SELECT rowid FROM aggregates WHERE hour <= ?1 - 3600 ORDER BY hour LIMIT ?2", utc,
        std::max<int64_t>(1, limit / 60), error);
}

int64_t HistoryStore::PruneOldestAggregates(int64_t limit, std::string& error) {
    return PruneMinutes("SELECT rowid FROM aggregates WHERE ?1 = ?1 ORDER BY hour LIMIT ?2", 0,
                        std::max<int64_t>(1, limit / 60), error);
}

}  // namespace vimo
