#include "history/writer.h"

#include <cstdio>
#include <ctime>

#include "common/console.h"
#include "device/novexups_data.h"
#include "history/times.h"
#include "common/thread_name.h"

namespace vimo {

namespace {

// How long the end of a run waits for a failing database before giving up the rest.
constexpr std::chrono::seconds kFinalWait{5};

std::string RoundRange(const std::vector<int64_t>& ids) {
    if (ids.empty()) return "";
    return ids.size() == 1 ? std::to_string(ids[0])
                           : std::to_string(ids.front()) + ".." + std::to_string(ids.back());
}

}  // namespace

HistoryWriter::HistoryWriter(HistoryStore& store, const HistoryWriterOptions& options)
    : store_(store), options_(options), thread_([this] {
          NameThisThread("history");
          Run();
      }) {}

HistoryWriter::~HistoryWriter() {
    {
        novex::MutexLock lock(mutex_);
        stop_ = true;
        wake_.notify_all();
    }
    thread_.join();
}

void HistoryWriter::Submit(HistoryEntry entry) {
    novex::MutexLock lock(mutex_);
    if (queue_.size() >= options_.capacity) {
        // Make room by the oldest round; events are few and small, and each is the
        // only record of its change.
        auto victim = queue_.begin();
        while (victim != queue_.end() && victim->kind != HistoryEntry::Kind::kRound) ++victim;
        if (victim == queue_.end()) {
            victim = queue_.begin();
            --queued_events_;
        }
        queue_.erase(victim);
        ++dropped_;
        ++finished_;
    }
    const bool event = entry.kind != HistoryEntry::Kind::kRound;
    queue_.push_back(std::move(entry));
    ++submitted_;
    if (event) ++queued_events_;
    // The writer waits either for a first entry or, gathering a group, for a full
    // batch or an alarm change: a wake-up for any other round costs both threads a
    // switch and finds nothing to do.
    if ((queue_.size() == 1 && !gathering_) || queue_.size() >= options_.batch || event)
        wake_.notify_all();
}

bool HistoryWriter::Flush(std::chrono::milliseconds timeout) { return Wait(timeout, false); }

bool HistoryWriter::FlushUnlessFailing(std::chrono::milliseconds timeout) { return Wait(timeout, true); }

bool HistoryWriter::Wait(std::chrono::milliseconds timeout, bool unless_failing) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    novex::MutexLock lock(mutex_);
    const uint64_t target = submitted_;
    // A write already failing when the flush begins is given its next try (the lock
    // that made it fail may be gone by now); a try that fails during the flush ends it.
    const uint64_t failed_before = failed_writes_;
    ++flushing_;
    wake_.notify_all();
    {
        novex::CondLock waiting(mutex_);
        while (finished_ < target && !(unless_failing && failed_writes_ > failed_before) &&
               written_.wait_until(waiting.get(), deadline) != std::cv_status::timeout) {
        }
    }
    --flushing_;
    return finished_ >= target;
}

int64_t HistoryWriter::Stored(uint32_t data_id) const {
    novex::MutexLock lock(mutex_);
    const auto it = stored_.find(data_id);
    return it == stored_.end() ? 0 : it->second;
}

int64_t HistoryWriter::Dropped() const {
    novex::MutexLock lock(mutex_);
    return dropped_;
}

bool HistoryWriter::Damaged(std::string& why) const {
    novex::MutexLock lock(mutex_);
    why = damage_;
    return !damage_.empty();
}

bool HistoryWriter::WaitChecked(std::chrono::milliseconds timeout) {
    if (!options_.check_first) return true;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    novex::MutexLock lock(mutex_);
    novex::CondLock waiting(mutex_);
    while (!checked_ && written_.wait_until(waiting.get(), deadline) != std::cv_status::timeout) {
    }
    return checked_;
}

int64_t HistoryWriter::Pruned() const {
    novex::MutexLock lock(mutex_);
    return pruned_;
}

void HistoryWriter::Report(const std::string& failure) {
    {
        novex::MutexLock lock(mutex_);
        failing_ = !failure.empty();
        if (failing_) {
            ++failed_writes_;
            written_.notify_all();  // a stop's flush waits no longer
        }
    }
    if (failure.empty()) {
        novex::MutexLock lock(mutex_);
        const int64_t lost = dropped_ - dropped_reported_;
        dropped_reported_ = dropped_;
        Say("vimohost: history: storing again" +
            (lost > 0 ? "; " + std::to_string(lost) + " entries were dropped meanwhile"
                      : std::string()));
    } else if (failure != failure_) {
        Say("vimohost: history: cannot store: " + failure + "; polling goes on, up to " +
            std::to_string(options_.capacity) + " entries wait and the write is retried");
    }
    failure_ = failure;
}

bool HistoryWriter::WriteBatch(std::vector<HistoryEntry>& batch, bool closing) {
    std::vector<int64_t> ids;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    // A file deleted (or moved, or replaced) under the open connection takes every
    // commit and keeps none for anyone to find: said once, and nothing more is stored
    // in this run; what is handed on counts as not stored. A restart makes a new file.
    if (!lost_ && !store_.InPlace(error)) {
        lost_ = true;
        Say(Level::kError, "vimohost: history: " + error);
    }
    if (lost_) {
        novex::MutexLock lock(mutex_);
        dropped_ += static_cast<int64_t>(batch.size());
        finished_ += batch.size();
        written_.notify_all();
        batch.clear();
        return true;
    }
    // The minutes the batch finishes go in its transaction; the open ones are kept
    // only once it has committed, so that a retried batch is not counted twice.
    MinuteAggregator minutes = minutes_;
    std::vector<MinuteAggregate> finished;
    for (const HistoryEntry& e : batch) {
        if (e.kind != HistoryEntry::Kind::kRound || e.record.size() < sizeof(NovexUPS_Data_t))
            continue;
        // The monitor's figures as they are; only a round without them is decoded.
        if (e.measures.empty())
            minutes.Add(e.data_id, e.utc, novex::monitor::DecodeMeasures(e.record.data()), finished);
        else
            minutes.Add(e.data_id, e.utc, e.measures, finished);
    }
    if (closing) minutes.TakeAll(finished);
    if ((!batch.empty() || !finished.empty()) && !store_.Write(batch, ids, error, finished)) {
        Report(error);
        return false;
    }
    minutes_ = std::move(minutes);
    if (!failure_.empty()) Report("");
    if (options_.verbose && !ids.empty()) {
        char took[32];
        std::snprintf(took, sizeof took, "%.1f ms",
                      std::chrono::duration<double, std::milli>(
                          std::chrono::steady_clock::now() - start)
                          .count());
        Say("vimohost: history: stored rounds " + RoundRange(ids) + " in " + took);
    }
    novex::MutexLock lock(mutex_);
    for (const HistoryEntry& e : batch)
        if (e.kind == HistoryEntry::Kind::kRound) ++stored_[e.data_id];
    finished_ += batch.size();
    written_.notify_all();
    batch.clear();
    return true;
}

// One small transaction of retention; false when there is nothing left to remove.
bool HistoryWriter::PruneStep(std::chrono::steady_clock::time_point) {
    const RetentionSettings& r = options_.retention;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    std::string error;
    int64_t removed = 0;
    if (r.keep_seconds > 0)
        removed = store_.PruneRoundsBefore(now - r.keep_seconds, options_.prune_rows, error);
    int64_t minutes = 0;
    if (removed == 0 && r.keep_aggregates_seconds > 0)
        minutes = store_.PruneAggregatesBefore(now - r.keep_aggregates_seconds, options_.prune_rows,
                                               error);
    if (removed == 0 && minutes == 0 && r.max_bytes > 0) {
        const int64_t used = store_.UsedBytes();
        // Down to 90 % once over the limit, so that pruning comes in passes, not a
        // transaction after every round. The rounds go first; once none is left, the
        // oldest minutes.
        if (used > r.max_bytes * 9 / 10) {
            removed = store_.PruneOldestRounds(options_.prune_rows, error);
            if (removed == 0) minutes = store_.PruneOldestAggregates(options_.prune_rows, error);
        }
    }
    int64_t events = 0;
    if (removed == 0 && minutes == 0 && r.keep_events_seconds > 0)
        events = store_.PruneEventsBefore(now - r.keep_events_seconds, options_.prune_rows, error);
    if (removed < 0 || minutes < 0 || events < 0) {
        Report(error);
        return false;
    }
    if (removed > 0) {
        novex::MutexLock lock(mutex_);
        pruned_ += removed;
    }
    return removed > 0 || minutes > 0 || events > 0;
}

void HistoryWriter::Run() {
    using Clock = std::chrono::steady_clock;
    const RetentionSettings& r = options_.retention;
    const bool retention = r.keep_seconds > 0 || r.max_bytes > 0 || r.keep_events_seconds > 0 ||
                           r.keep_aggregates_seconds > 0;
    std::vector<HistoryEntry> batch;  // taken from the queue, not yet committed
    Clock::time_point retry_at = Clock::now();
    Clock::time_point next_prune = Clock::now();
    Clock::time_point give_up_at = Clock::time_point::max();
    Clock::time_point last_commit = Clock::time_point::min();
    bool pruning = false;  // in a pass: one small transaction after another
    std::string damage;
    const bool sound = !options_.check_first || store_.QuickCheck(damage);
    {
        novex::MutexLock lock(mutex_);
        checked_ = true;
        damage_ = sound ? "" : damage;
        written_.notify_all();
    }
    if (!sound) {
        // Nothing goes into a damaged file: what comes is dropped and counted.
        novex::MutexLock lock(mutex_);
        novex::CondLock waiting(mutex_);
        for (;;) {
            dropped_ += static_cast<int64_t>(queue_.size());
            finished_ += queue_.size();
            queue_.clear();
            queued_events_ = 0;
            written_.notify_all();
            if (stop_) return;
            while (!stop_ && queue_.empty()) wake_.wait(waiting.get());
        }
    }
    for (;;) {
        bool stopping = false;
        {
            novex::MutexLock lock(mutex_);
            {
                novex::CondLock waiting(mutex_);
                // Waits for work: a queued entry, the retry of a failed batch, the next pass.
                const Clock::time_point until = !batch.empty() ? retry_at
                                                : retention && !pruning ? next_prune
                                                                        : Clock::time_point::max();
                // Within a group period after a commit, rounds wait for its end: the
                // writer wakes by itself then, so the round that comes first need not
                // wake it (a switch of both threads for nothing).
                const Clock::time_point group_end =
                    options_.group.count() > 0 && last_commit != Clock::time_point::min()
                        ? last_commit + options_.group
                        : Clock::time_point::min();
                if (batch.empty() && !pruning && Clock::now() < group_end) {
                    gathering_ = true;
                    while (!(stop_ || flushing_ > 0 || queued_events_ > 0 ||
                             queue_.size() >= options_.batch) &&
                           wake_.wait_until(waiting.get(), std::min(until, group_end)) !=
                               std::cv_status::timeout) {
                    }
                    gathering_ = false;
                }
                while (!(stop_ || (batch.empty() && (!queue_.empty() || pruning))) &&
                       wake_.wait_until(waiting.get(), until) != std::cv_status::timeout) {
                }
                // Group commit: what was queued since the last commit goes in one
                // transaction, at most one a `group` period unless a batch is full, an
                // alarm change waits, someone waits in Flush or the writer stops. A
                // commit costs more than its rounds.
                if (batch.empty() && !queue_.empty() && options_.group.count() > 0) {
                    const Clock::time_point group_until = last_commit + options_.group;
                    while (!(stop_ || flushing_ > 0 || queued_events_ > 0 ||
                             queue_.size() >= options_.batch) &&
                           wake_.wait_until(waiting.get(), group_until) != std::cv_status::timeout) {
                    }
                }
            }
            stopping = stop_;
            if (stopping && give_up_at == Clock::time_point::max())
                give_up_at = Clock::now() + kFinalWait;
            if (stopping && queue_.empty() && batch.empty() && !minutes_.Empty() && !lost_) {
                // A clean stop stores each device's minute so far; the next run's rounds
                // of the same minute are merged into it.
                lock.Unlock();
                if (!WriteBatch(batch, true) && Clock::now() < give_up_at) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    continue;
                }
                if (!minutes_.Empty()) minutes_ = MinuteAggregator();  // given up
                lock.Lock();
            }
            if (stopping && ((queue_.empty() && batch.empty()) || Clock::now() >= give_up_at)) {
                const size_t left = queue_.size() + batch.size();
                dropped_ += static_cast<int64_t>(left);
                finished_ += left;
                queue_.clear();
                queued_events_ = 0;
                written_.notify_all();
                if (dropped_ > dropped_reported_)
                    Say("vimohost: history: " + std::to_string(dropped_ - dropped_reported_) +
                        " entries were not stored");
                return;
            }
            while (batch.empty() || (batch.size() < options_.batch && failure_.empty())) {
                if (queue_.empty()) break;
                if (queue_.front().kind != HistoryEntry::Kind::kRound) --queued_events_;
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
        }
        const Clock::time_point now = Clock::now();
        if (!batch.empty()) {
            if (now < retry_at && !stopping) continue;
            last_commit = Clock::now();
            if (!WriteBatch(batch)) {
                retry_at = Clock::now() + (stopping ? std::chrono::milliseconds(100) : options_.retry);
                continue;
            }
            pruning = pruning || r.max_bytes > 0;  // the file may be over its size now
        }
        // A pass goes one step per batch written, so that a steady stream of rounds
        // neither waits for a whole pass nor outgrows it.
        if (retention && !lost_ && (pruning || now >= next_prune)) {
            pruning = PruneStep(now);
            if (!pruning) next_prune = Clock::now() + options_.prune_every;
        }
    }
}

}  // namespace vimo
