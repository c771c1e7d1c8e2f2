// Queries over the history file on a read-only connection of their own: devices,
// readings of a device over a time span, the same downsampled to buckets of min, mean
// and max, and alarm events. `vimohost history` uses them, and so may any other
// thread (a web server): open one reader per thread or share one, its calls take
// turns. Readers never block the writer (WAL) and never write.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/thread_annotations.h"
#include "history/aggregates.h"
#include "history/readings_codec.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vimo {

struct HistoryDevice {
    uint32_t data_id = 0;
    std::string name;
};

// One round's values of the asked fields, in their order; NaN where absent. A span
// older than the device's oldest stored round is answered from the minute aggregates
// (history/aggregates.h): a row per minute, `minute` set, `round` 0, `rounds` the
// minute's rounds, `values` the means and `spread` each field's min, mean and max.
struct ReadingRow {
    int64_t round = 0;
    int64_t utc = 0;
    std::vector<double> values;
    bool minute = false;
    int64_t rounds = 1;
    std::vector<FieldSummary> spread;  // minute rows only
};

// The rounds of [start, start + step); buckets without rounds are left out.
// `minutes`: some of it comes from minute aggregates.
struct ReadingBucket {
    int64_t start = 0;
    int64_t rounds = 0;
    std::vector<FieldSummary> fields;
    bool minutes = false;
};

struct StoredEvent {
    int64_t id = 0;
    uint32_t data_id = 0;
    std::string device;    // its name
    std::string alarm;     // alarm id
    std::string text;      // Chinese text
    std::string severity;  // "critical", "warning", "info" ("" for some upgraded rows)
    bool raised = false;
    int64_t utc = 0;
    std::string local;     // local time with offset when it was stored
};

// One report of the plug-in's own alarm rules (its CheckThresholdBool and batch
// checks): what a controller would have been told, kept apart from the alarm events.
struct StoredRule {
    int64_t id = 0;
    uint32_t data_id = 0;
    std::string device;   // its name
    std::string rule_id;  // the rule's id as the plug-in gave it
    std::string rule;     // the rule's text
    bool raised = false;
    int64_t utc = 0;
    std::string local;    // local time with offset of the round that reported it
};

struct EventQuery {
    std::optional<uint32_t> data_id;  // null: every device
    int64_t since = std::numeric_limits<int64_t>::min();
    int64_t until = std::numeric_limits<int64_t>::max();  // exclusive
    bool active_only = false;  // only raises not cleared since (whenever they were)
    size_t limit = std::numeric_limits<size_t>::max();  // the first this many, at most
};

// The bucket width that gives at most `points` buckets over [since, until), whole seconds.
int64_t StepForPoints(int64_t since, int64_t until, int64_t points);

class HistoryReader {
public:
    static std::unique_ptr<HistoryReader> Open(const std::string& path, std::string& error);
    ~HistoryReader();
    HistoryReader(const HistoryReader&) = delete;
    HistoryReader& operator=(const HistoryReader&) = delete;

    std::vector<HistoryDevice> Devices();
    // A device by name or data id; with an empty `which`, the only device there is.
    bool FindDevice(const std::string& which, HistoryDevice& device, std::string& error);

    // The rounds of [since, until) in time order; `each` returns false to stop.
    // `fields` index Measures() (ResolveFields). The part of the span before the
    // device's oldest stored round comes first, as minute rows (ReadingRow).
    bool Readings(uint32_t data_id, int64_t since, int64_t until,
                  const std::vector<size_t>& fields,
                  const std::function<bool(const ReadingRow&)>& each, std::string& error);
    // The same rounds as buckets of `step` seconds, which start at `origin` + k * step
    // (origin 0: on whole minutes, hours, UTC days). The times lie within
    // novex::TimeInRange; more than `max_buckets` buckets fail the query, so
    // that no span and step can make an answer grow without bound.
    bool Downsample(uint32_t data_id, int64_t since, int64_t until, int64_t step, int64_t origin,
                    const std::vector<size_t>& fields, std::vector<ReadingBucket>& out,
                    std::string& error,
                    size_t max_buckets = std::numeric_limits<size_t>::max());
    // "Fields F of device D from T1 to T2 in at most N points", buckets from T1.
    bool DownsamplePoints(uint32_t data_id, int64_t since, int64_t until, int64_t points,
                          const std::vector<size_t>& fields, std::vector<ReadingBucket>& out,
                          std::string& error) {
        return Downsample(data_id, since, until, StepForPoints(since, until, points), since,
                          fields, out, error, static_cast<size_t>(points > 1 ? points : 1));
    }

    // Where a readings query over [since, until) stops answering from minute aggregates
    // (the start of the device's oldest stored round's minute, or `until`); 0 when it
    // answers from rounds alone.
    int64_t MinutesUntil(uint32_t data_id, int64_t since, int64_t until);

    // Events in time order.
    bool Events(const EventQuery& query, std::vector<StoredEvent>& out, std::string& error);
    // The plug-in's rule reports in time order (`active_only` is not used).
    bool Rules(const EventQuery& query, std::vector<StoredRule>& out, std::string& error);
    // The raises of a device's alarms still active at `at`: those whose last event
    // before it is a raise, in time order. One index seek per alarm the device ever had,
    // however many events lie before `at`.
    bool ActiveAt(uint32_t data_id, int64_t at, std::vector<StoredEvent>& out,
                  std::string& error);

private:
    HistoryReader() = default;
    const ReadingsDecoder* Decoder(int64_t layout, const std::vector<size_t>& fields)
        REQUIRES(mutex_);
    bool EventRows(sqlite3_stmt* q, std::vector<StoredEvent>& out, std::string& error)
        REQUIRES(mutex_);
    // The span's rounds that are in chunks (all older than those in the rounds table);
    // `go_on` false when `each` asked to stop.
    bool ChunkReadings(uint32_t data_id, int64_t since, int64_t until,
                       const std::vector<size_t>& fields, const bool* needed,
                       const std::function<bool(const ReadingRow&)>& each, ReadingRow& row,
                       bool& go_on, std::string& error) REQUIRES(mutex_);

    // MinutesUntil with the lock held.
    int64_t MinutesBoundary(uint32_t data_id, int64_t since, int64_t until) REQUIRES(mutex_);
    // The minute rows of [since, boundary); `go_on` false when `each` asked to stop.
    bool MinuteReadings(uint32_t data_id, int64_t since, int64_t boundary,
                        const std::vector<size_t>& fields, const bool* needed,
                        const std::function<bool(const ReadingRow&)>& each, bool& go_on,
                        std::string& error) REQUIRES(mutex_);

    // One query at a time: the web's request threads share the connection, and a
    // readings query holds its read transaction across several statements.
    novex::Mutex mutex_;
    sqlite3* db_ GUARDED_BY(mutex_) = nullptr;
    bool has_minutes_ = false;  // set by Open; a file of the version before has no aggregates table
    std::map<int64_t, ReadingsDecoder> decoders_ GUARDED_BY(mutex_);  // by layout, for the current query's fields
};

}  // namespace vimo
