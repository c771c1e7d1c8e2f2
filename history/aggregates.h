// Minute aggregates: per device and minute, each measure's count, min, max and sum over
// the minute's rounds, kept long after the rounds themselves are pruned. The writer
// accumulates the current minute of each device and stores it once a round of another
// minute arrives (and at a clean stop); a minute stored twice (split by a restart, or
// met again after the clock was set back) is merged, so the row stays what the rounds
// themselves would give.
//
// A minute's form, one blob per reading part (readings_codec.h): a bitmap of the part's
// positions in its layout that had a value, then per such position four varints at the
// register's resolution: count, zigzag min, max - min, zigzag sum. Integers keep the
// sum exact, so a mean re-weights without drift; values of absent modules and cells
// take one bit. A busy unit's minute is some 2 kB so; the minutes of an hour are stored
// together, compressed with zstd (HourOfMinutes), in one row per device-hour, about a
// tenth of that per minute: consecutive minutes repeat most of their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "history/readings_codec.h"

namespace vimo {

constexpr int64_t kAggregateSeconds = 60;

// How answers name where figures older than the rounds come from: JSON's "source"
// member, and the word of the table's and CSV's source column beside "rounds".
constexpr char kMinuteSource[] = "minute aggregates";
constexpr char kMinuteColumn[] = "minutes";
constexpr char kRoundColumn[] = "rounds";

// One measure over one minute, at its register's resolution; count 0: no value.
struct Spread {
    int64_t count = 0;
    int64_t min = 0;
    int64_t max = 0;
    int64_t sum = 0;
    void Add(int64_t value);
    void Merge(const Spread& other);
};

// One field over a span, in its unit; count 0: no value, min/mean/max NaN.
struct FieldSummary {
    double min = 0;
    double mean = 0;
    double max = 0;
    int64_t count = 0;
};

struct MinuteAggregate {
    uint32_t data_id = 0;
    int64_t minute = 0;  // epoch seconds of the minute's start
    int64_t rounds = 0;  // rounds with readings in it
    std::vector<Spread> measures;  // aligned with Measures()
    // Adds another row of the same device and minute.
    void Merge(const MinuteAggregate& other);
};

// The start of the minute that holds `utc`.
int64_t MinuteOf(int64_t utc);

// The writer's open minutes, one per device. Copyable: the writer adds a batch to a
// copy and keeps it only once the batch has committed.
class MinuteAggregator {
public:
    // Adds a round's decoded measures. A round of another minute than the device's open
    // one finishes that minute into `finished`; one outside novex::TimeInRange adds
    // nothing.
    void Add(uint32_t data_id, int64_t utc, const std::vector<novex::monitor::MeasureValue>& values,
             std::vector<MinuteAggregate>& finished);
    // Every open minute, finished as it stands (at a stop).
    void TakeAll(std::vector<MinuteAggregate>& finished);
    bool Empty() const { return open_.empty(); }

private:
    std::map<uint32_t, MinuteAggregate> open_;
};

// Appends part `part` of `minute` in the current layout (CurrentLayoutText(part)).
void EncodeAggregate(const MinuteAggregate& minute, int part, std::vector<unsigned char>& out);

// Reads a part's blob of one layout into summaries of chosen measures.
class AggregateDecoder {
public:
    // `fields` index Measures(); a field the layout lacks is left as it is.
    bool Bind(const std::string& layout, const std::vector<size_t>& fields) {
        return slots_.Bind(layout, fields);
    }
    // Merges each field's values into `out` (one per field); false for a damaged blob.
    bool Decode(const unsigned char* blob, size_t size, Spread* out) const;
    // The scale of a field's integers: 10^-decimals in this layout.
    double Scale(size_t field) const { return slots_.scale[field]; }

private:
    LayoutSlots slots_;
};

// One stored minute: the blobs of its parts and the layouts they are in.
struct StoredMinute {
    int64_t minute = 0;
    int64_t rounds = 0;
    int64_t layout[kReadingParts] = {};
    std::vector<unsigned char> vals[kReadingParts];
};

// The start of the hour that holds `utc`: the key of its row.
int64_t HourOf(int64_t utc);
// The minutes of one hour (in time order, each of the hour, none twice) as one
// compressed blob, and back; false when zstd fails or the blob is damaged (decoding
// checks every length and that each minute lies in `hour`, in order).
bool EncodeHour(const std::vector<StoredMinute>& minutes, int64_t hour,
                std::vector<unsigned char>& out);
bool DecodeHour(const unsigned char* blob, size_t size, int64_t hour,
                std::vector<StoredMinute>& minutes);

// A field's spread in its unit, mean from the exact sum.
FieldSummary Summarize(const Spread& spread, double scale);

}  // namespace vimo
