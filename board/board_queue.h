// A board subscriber whose handler runs on a thread of its own: Take only queues, so
// however long the handler takes (a slow disk, a blocked pipe), neither the rounds nor
// the other subscribers wait for it. What it does when it cannot keep up is its kind:
//
//   kEvery   every update, in order, while fewer than `capacity` wait; beyond that the
//            newest are dropped, counted, and said once the queue has room again.
//   kLatest  one slot per device: an update not yet handled is replaced by the
//            device's next one, so a slow handler sees each device's latest state and
//            never falls behind by more than one update a device.
//
//     QueuedSubscriber status({"status file", QueuedSubscriber::Kind::kLatest},
//                             [](const BoardUpdate& u) { Write(u); });
//     board.Subscribe(status);
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/thread_annotations.h"
#include "board/snapshot_board.h"

namespace vimo {

class QueuedSubscriber : public BoardSubscriber {
public:
    enum class Kind { kEvery, kLatest };
    struct Options {
        std::string name;  // in the line that reports drops, e.g. "console"
        Kind kind = Kind::kEvery;
        size_t capacity = 4096;  // kEvery: updates waiting, at most
        // Called on the publishing thread: false leaves the update out (kLatest keeps
        // the last wanted one then). Null: every update.
        std::function<bool(const BoardUpdate&)> wanted;
        // Told of drops, on the subscriber's thread: "console: 12 updates dropped ...".
        std::function<void(const std::string&)> report;
    };
    using Handler = std::function<void(const BoardUpdate&)>;

    QueuedSubscriber(Options options, Handler handler);
    // Handles what is still queued, then stops.
    ~QueuedSubscriber() override;
    QueuedSubscriber(const QueuedSubscriber&) = delete;
    QueuedSubscriber& operator=(const QueuedSubscriber&) = delete;

    void Take(const BoardUpdate& update) override;
    bool Drain(std::chrono::milliseconds timeout) override;
    uint64_t Dropped() const;  // kEvery: updates dropped from a full queue

private:
    void Run();
    // The next update to handle, with mutex_ held; false when stopping with none left.
    bool Next(BoardUpdate& out) REQUIRES(mutex_);

    const Options options_;
    const Handler handler_;
    mutable novex::Mutex mutex_;
    std::condition_variable wake_;     // an update queued, or stop
    std::condition_variable handled_;  // an update handled or dropped
    std::deque<BoardUpdate> queue_ GUARDED_BY(mutex_);       // kEvery
    std::vector<std::optional<BoardUpdate>> latest_ GUARDED_BY(mutex_);  // kLatest, by slot
    std::deque<size_t> order_ GUARDED_BY(mutex_);            // kLatest: slots waiting
    uint64_t taken_ GUARDED_BY(mutex_) = 0;     // updates ever queued
    uint64_t finished_ GUARDED_BY(mutex_) = 0;  // handled, replaced or dropped
    uint64_t dropped_ GUARDED_BY(mutex_) = 0;
    uint64_t dropped_said_ GUARDED_BY(mutex_) = 0;
    bool stop_ GUARDED_BY(mutex_) = false;
    std::thread thread_;
};

}  // namespace vimo
