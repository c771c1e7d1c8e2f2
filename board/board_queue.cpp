#include "board/board_queue.h"

#include <exception>
#include <utility>

#include "common/thread_name.h"

namespace vimo {

QueuedSubscriber::QueuedSubscriber(Options options, Handler handler)
    : options_(std::move(options)), handler_(std::move(handler)), thread_([this] {
          NameThisThread(options_.name);
          Run();
      }) {}

QueuedSubscriber::~QueuedSubscriber() {
    {
        novex::MutexLock lock(mutex_);
        stop_ = true;
        wake_.notify_all();
    }
    thread_.join();
}

void QueuedSubscriber::Take(const BoardUpdate& update) {
    if (options_.wanted && !options_.wanted(update)) return;
    novex::MutexLock lock(mutex_);
    ++taken_;
    if (options_.kind == Kind::kLatest) {
        if (latest_.size() <= update.slot) latest_.resize(update.slot + 1);
        std::optional<BoardUpdate>& waiting = latest_[update.slot];
        if (waiting)
            ++finished_;  // the one it replaces
        else
            order_.push_back(update.slot);
        waiting = update;
    } else if (queue_.size() >= options_.capacity) {
        ++dropped_;
        ++finished_;
        handled_.notify_all();
        return;
    } else {
        queue_.push_back(update);
    }
    wake_.notify_one();
}

bool QueuedSubscriber::Drain(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    novex::MutexLock lock(mutex_);
    const uint64_t target = taken_;
    novex::CondLock waiting(mutex_);
    while (finished_ < target)
        if (handled_.wait_until(waiting.get(), until) == std::cv_status::timeout)
            return finished_ >= target;
    return true;
}

uint64_t QueuedSubscriber::Dropped() const {
    novex::MutexLock lock(mutex_);
    return dropped_;
}

bool QueuedSubscriber::Next(BoardUpdate& out) {
    novex::CondLock waiting(mutex_);
    while (queue_.empty() && order_.empty()) {
        if (stop_) return false;
        wake_.wait(waiting.get());
    }
    if (!order_.empty()) {
        std::optional<BoardUpdate>& slot = latest_[order_.front()];
        order_.pop_front();
        out = std::move(*slot);
        slot.reset();
    } else {
        out = std::move(queue_.front());
        queue_.pop_front();
    }
    return true;
}

void QueuedSubscriber::Run() {
    novex::MutexLock lock(mutex_);
    BoardUpdate update;
    while (Next(update)) {
        std::string said;
        if (dropped_ > dropped_said_) {
            said = options_.name + ": " + std::to_string(dropped_ - dropped_said_) +
                   " updates dropped, the queue of " + std::to_string(options_.capacity) +
                   " was full";
            dropped_said_ = dropped_;
        }
        lock.Unlock();
        if (!said.empty() && options_.report) options_.report(said);
        try {
            handler_(update);
        } catch (const std::exception& e) {
            if (options_.report) options_.report(options_.name + ": " + e.what());
        }
        update = BoardUpdate();  // its snapshots released outside the lock
        lock.Lock();
        ++finished_;
        handled_.notify_all();
    }
}

}  // namespace vimo
