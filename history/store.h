// Device history and alarm events in one SQLite file (tables in history/schema.cpp).
// vimohost's history writer is its only writer while polling; `vimohost history` and
// tests use it directly. Every method is safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <functional>

#include "core/thread_annotations.h"
#include "history/aggregates.h"
#include "history/chunk_codec.h"
#include "monitor/energy.h"
#include "monitor/measures.h"
#include "board/alarm_event.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vimo {

struct StoredRound {
    int64_t id = 0;
    uint32_t data_id = 0;
    std::string time;  // local time of the round, "YYYY-MM-DD HH:MM:SS"
    std::vector<unsigned char> record;
    int64_t utc = 0;     // the same instant, seconds since the epoch
    std::string device;  // the device's name when it was last polled
};

// A raise or clear of one of the device's own alarm rules (CheckThresholdBool,
// DoBatchCheckThreshold), recorded as the device reports it; the last change of each
// is the rule's state at the next start.
struct RuleEvent {
    uint32_t data_id = 0;
    std::string time;
    std::string rule_id;
    std::string rule;
    bool raised = false;
};

// What one write holds: a completed round, a change of a device rule, or an event of
// the alarm table.
struct HistoryEntry {
    enum class Kind { kRound, kRule, kEvent };
    Kind kind = Kind::kRound;
    uint32_t data_id = 0;
    int64_t utc = 0;
    std::string local;  // round, rule: "YYYY-MM-DD HH:MM:SS"; event: with its offset
    std::vector<unsigned char> record;  // round
    // Round: the monitor's figures of `record`, so that the writer need not decode it
    // again; empty: decoded where needed.
    std::vector<novex::monitor::MeasureValue> measures;
    // Round: the device's output energy after it; stored (the device's one row of the
    // energy table) when counted.
    novex::monitor::OutputEnergy energy;
    std::string id;        // rule id, or the event's alarm id
    std::string text;      // rule name, or the event's alarm text
    std::string severity;  // event
    bool raised = false;   // rule, event
};

// An alarm event as a history entry.
HistoryEntry EventEntry(const AlarmEvent& event);

class HistoryStore {
public:
    // A layout's text by its id; false when there is none.
    using LayoutText = std::function<bool(int64_t id, std::string& text)>;
    // Opens the file, creating it unless `must_exist`, and brings it to the current
    // version (history/schema.h); null with a one-line error.
    static std::unique_ptr<HistoryStore> Open(const std::string& path, bool must_exist,
                                              std::string& error);
    // For reading commands: an existing file at version 2, opened read-only, so that a
    // file this user may not write can still be read; nothing is changed. A file of the
    // version before is upgraded (Open) when this user may write it.
    static std::unique_ptr<HistoryStore> OpenReadOnly(const std::string& path, std::string& error);
    // Whether the file opened is still at its path (same device and inode): false,
    // with why, once it has been deleted, moved away or replaced, when whatever is
    // written goes nowhere a reader will find.
    bool InPlace(std::string& error) const;
    // PRAGMA quick_check over the whole file, as every command that opens the history
    // runs it first; false with the one-line finding and what to do about it.
    bool QuickCheck(std::string& error);
    // The poller's claim on the file: MarkOpen says whether the last writer closed it
    // cleanly (MarkClosed) and marks it open until it does. A file that was not closed
    // cleanly deserves the whole-file check.
    bool MarkOpen(bool& was_clean, std::string& error);
    bool MarkClosed(std::string& error);
    // The SQLite error of the last read (Newest, Round, List, CountRounds) that failed;
    // empty when it succeeded.
    std::string ReadError();
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Writes `batch` in one transaction, each round with its readings, and the finished
    // `minutes` (each merged into the row of its device and minute if there is one); all
    // or nothing. `round_ids` receives the ids of the stored rounds in order.
    bool Write(const std::vector<HistoryEntry>& batch, std::vector<int64_t>& round_ids,
               std::string& error, const std::vector<MinuteAggregate>& minutes = {});
    // One round or rule change, its UTC time from the local time text.
    bool AddRound(uint32_t data_id, const std::string& time, const unsigned char* data,
                  size_t length, std::string& error);
    bool AddAlarm(const RuleEvent& event, std::string& error);
    // One alarm event, with its time as UTC epoch seconds and as local ISO 8601 text.
    bool AddEvent(const AlarmEvent& event, std::string& error);
    // The name shown for the device's rounds and events.
    bool SetDeviceName(uint32_t data_id, const std::string& name, std::string& error);

    // Retention, a bounded number of rounds (or events) per call, each call one small
    // transaction; the count removed, -1 with `error`. Rounds go with their readings.
    int64_t PruneRoundsBefore(int64_t utc, int64_t limit, std::string& error);
    int64_t PruneOldestRounds(int64_t limit, std::string& error);
    int64_t PruneEventsBefore(int64_t utc, int64_t limit, std::string& error);
    // Minute aggregates of whole hours that end before `utc`, or the oldest hours; the
    // count of hours removed, -1 with `error`.
    int64_t PruneAggregatesBefore(int64_t utc, int64_t limit, std::string& error);
    int64_t PruneOldestAggregates(int64_t limit, std::string& error);
    // Runs SQL of the caller's (maintenance, tests); false with the error.
    bool Execute(const std::string& sql, std::string& error);
    // Bytes of the file in use (free pages not counted), -1 on failure.
    int64_t UsedBytes();

    std::optional<StoredRound> Newest(uint32_t data_id);
    std::optional<StoredRound> Round(int64_t id);
    // The newest `last` rounds (all for 0), oldest first, without their records
    // (record.size() is the record's size, its bytes are not read); `data_id` null:
    // every device. ListEach hands them over one at a time, holding one chunk's
    // list per device, and stops when `each` returns false.
    std::vector<StoredRound> List(const std::optional<uint32_t>& data_id, int64_t last);
    bool ListEach(const std::optional<uint32_t>& data_id, int64_t last,
                  const std::function<bool(const StoredRound&)>& each);
    int64_t CountRounds(const std::optional<uint32_t>& data_id);
    // The id of the newest stored round of any device (ids grow with time), 0 for none.
    int64_t NewestRoundId();
    std::vector<RuleEvent> Alarms(uint32_t data_id);
    // The device's alarm events, oldest first.
    std::vector<AlarmEvent> Events(uint32_t data_id);
    // The output energy stored with the device's last round that carried a count; none
    // when there is none, or its figures are no count (negative, not finite).
    std::optional<novex::monitor::OutputEnergy> Energy(uint32_t data_id);
    // The alarm ids whose last event is a raise: the alarms active when vimohost stopped.
    std::vector<std::string> ActiveAlarms(uint32_t data_id);
    // The last state of every rule that has an event, by (rule id, rule).
    std::map<std::pair<std::string, std::string>, bool> AlarmStates(uint32_t data_id);

private:
    HistoryStore() = default;
    bool Exec(const char* sql, std::string& error) REQUIRES(mutex_);
    sqlite3_stmt* Prepare(const char* sql) REQUIRES(mutex_);
    bool WriteOne(const HistoryEntry& entry, int64_t id, std::vector<int64_t>& round_ids) REQUIRES(mutex_);
    // One finished minute, merged with its stored row (history/store_aggregates.cpp).
    bool WriteMinute(const MinuteAggregate& minute) REQUIRES(mutex_);
    int64_t PruneMinutes(const char* select, int64_t bound, int64_t limit, std::string& error);
    int64_t PruneRounds(const char* select, int64_t bound, int64_t limit, std::string& error);
    int64_t PruneChunks(const char* select, int64_t bound, int64_t limit, std::string& error);
    int64_t NextRoundId() REQUIRES(mutex_);
    bool WriteEnergy(uint32_t data_id, int64_t utc, const novex::monitor::OutputEnergy& energy)
        REQUIRES(mutex_);
    // Keeps the highest round id ever handed out, for when the rounds that hold it are
    // removed: called by a pruning before it removes any.
    bool NoteLastRound() REQUIRES(mutex_);
    // Moves the device's oldest kChunkRounds rounds into a chunk when it has as many
    // (history/chunks.cpp); false on a database error.
    bool CompactDevice(uint32_t data_id, bool& moved) REQUIRES(mutex_);
    bool LoadChunk(int64_t last_id, bool with_data, std::vector<ChunkRound>& rounds) REQUIRES(mutex_);
    std::string DeviceName(uint32_t data_id) REQUIRES(mutex_);
    std::optional<StoredRound> ChunkRoundById(int64_t id) REQUIRES(mutex_);
    std::optional<StoredRound> NewestInChunks(uint32_t data_id) REQUIRES(mutex_);
    int64_t CountLocked(const std::optional<uint32_t>& data_id) REQUIRES(mutex_);

    // Records the outcome of a read that ended with `rc` (SQLITE_ROW or SQLITE_DONE: none).
    void NoteRead(int rc) REQUIRES(mutex_);

    novex::Mutex mutex_;
    sqlite3* db_ = nullptr;
    std::string path_;
    uint64_t device_ = 0, inode_ = 0;  // the file's identity as opened
    std::string read_error_ GUARDED_BY(mutex_);
    bool energy_table_ GUARDED_BY(mutex_) = false;  // made or found by this store
    int64_t layout_[2] GUARDED_BY(mutex_) = {0, 0};  // the ids of this program's layouts, per reading part
    std::map<std::string, sqlite3_stmt*> statements_ GUARDED_BY(mutex_);
    std::vector<unsigned char> blob_ GUARDED_BY(mutex_);
    // Rounds of each device still in the rounds table, as far as this store knows;
    // forgotten after a rollback or a pruning.
    std::map<uint32_t, int64_t> unchunked_ GUARDED_BY(mutex_);
    // The id the next round stored takes, once asked of the file (0: not yet, or a
    // write was rolled back): this store is the file's one writer.
    int64_t next_round_id_ GUARDED_BY(mutex_) = 0;
    // The readings of rounds written by this store and not yet in a chunk, by round id
    // (WriteOne); forgotten with unchunked_. Bounded: past it, rounds are decoded when
    // they move into their chunk.
    using WaitingReadings = std::array<std::vector<unsigned char>, kReadingParts>;
    static constexpr size_t kMaxWaitingReadings = 16 * kChunkRounds;
    std::map<int64_t, WaitingReadings> readings_ GUARDED_BY(mutex_);
};

}  // namespace vimo
