// The one thread that writes the history while vimohost polls. Line threads hand it
// completed rounds and alarm changes and go on at once: a locked, full, read-only or
// damaged database, a slow disk or the pruning of old rounds never holds up a round.
// Entries wait in a bounded queue; when it is full the oldest round is dropped and
// counted. A failure is reported once, the batch is retried until it goes through,
// and a round counts as stored only once its transaction has committed. Rounds are
// committed in groups, a few seconds' worth at the real pace; alarm changes at once. The minute
// aggregates (history/aggregates.h) are made here from the rounds as they are stored.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/value.h>

#include "core/thread_annotations.h"
#include "history/store.h"
#include "history/retention.h"

namespace vimo {

struct HistoryWriterOptions {
    size_t capacity = 4096;                       // entries waiting, at most
    size_t batch = 256;                           // entries per transaction, at most
    int64_t prune_rows = 500;                     // rounds per pruning transaction, > batch
    std::chrono::milliseconds retry{1000};        // after a failed write
    std::chrono::milliseconds prune_every{60000}; // between pruning passes
    RetentionSettings retention;
    // Group commit: rounds are committed at most once a period while fewer than
    // `batch` wait (0: at once), so at one round a second a commit holds a few rounds
    // instead of one. An alarm's raise or clear is committed as soon as it comes, with
    // the rounds queued before it. This is what a power loss can cost: the rounds of
    // the last period and those of the commit under way (see docs/vimohost.md).
    std::chrono::milliseconds group{5000};
    bool verbose = false;  // a line per commit naming the rounds stored
    // Checks the whole file (PRAGMA quick_check) before the first write; what is
    // submitted meanwhile waits in the queue. A damaged file takes nothing (Damaged).
    bool check_first = false;
};

class HistoryWriter {
public:
    HistoryWriter(HistoryStore& store, const HistoryWriterOptions& options);
    // Stores what is still queued (waiting at most a few seconds for a failing
    // database), then stops.
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // From any thread; never waits for the database.
    void Submit(HistoryEntry entry);
    // Waits until everything submitted before is written (true) or `timeout` passed.
    bool Flush(std::chrono::milliseconds timeout);
    // The same, for a stop: gives up as soon as a write tried during the flush fails
    // (a full disk; a write already failing gets its next try first), so that a stop
    // never waits for the disk; the writer's own last tries then end within a few
    // seconds, and what was not stored is counted.
    bool FlushUnlessFailing(std::chrono::milliseconds timeout);

    int64_t Stored(uint32_t data_id) const;  // rounds committed for the device
    int64_t Dropped() const;                 // entries dropped from a full queue
    int64_t Pruned() const;                  // rounds removed by retention
    // True once the check before the first write found the file damaged, with the
    // finding in `why`; nothing is stored then.
    bool Damaged(std::string& why) const;
    // Waits until the check before the first write is done (true; at once without
    // one) or `timeout` passed.
    bool WaitChecked(std::chrono::milliseconds timeout);

private:
    bool Wait(std::chrono::milliseconds timeout, bool unless_failing);
    void Run();
    // `closing`: the open minutes are finished with it (the last write of a run).
    bool WriteBatch(std::vector<HistoryEntry>& batch, bool closing = false);
    bool PruneStep(std::chrono::steady_clock::time_point now);
    void Report(const std::string& failure);

    HistoryStore& store_;
    const HistoryWriterOptions options_;
    mutable novex::Mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    std::deque<HistoryEntry> queue_ GUARDED_BY(mutex_);
    size_t queued_events_ GUARDED_BY(mutex_) = 0;  // entries in queue_ other than rounds
    uint64_t submitted_ GUARDED_BY(mutex_) = 0;  // entries ever queued
    uint64_t finished_ GUARDED_BY(mutex_) = 0;   // entries ever written or dropped
    int64_t dropped_ GUARDED_BY(mutex_) = 0;
    int64_t dropped_reported_ GUARDED_BY(mutex_) = 0;
    int64_t pruned_ GUARDED_BY(mutex_) = 0;
    std::map<uint32_t, int64_t> stored_ GUARDED_BY(mutex_);
    bool stop_ GUARDED_BY(mutex_) = false;
    std::string damage_ GUARDED_BY(mutex_);  // the check's finding; empty: sound or not checked
    bool checked_ GUARDED_BY(mutex_) = false;
    int flushing_ GUARDED_BY(mutex_) = 0;  // callers waiting in Flush
    bool gathering_ GUARDED_BY(mutex_) = false;  // the writer waits for a group's end
    // Writer thread only.
    std::string failure_;  // the failure last reported; empty while writes succeed
    bool failing_ GUARDED_BY(mutex_) = false;  // failure_ is not empty
    uint64_t failed_writes_ GUARDED_BY(mutex_) = 0;  // writes that failed, ever
    bool lost_ = false;    // the file was deleted or replaced: nothing more is stored
    MinuteAggregator minutes_;  // each device's minute not yet stored, as committed so far
    std::thread thread_;
};

}  // namespace vimo
