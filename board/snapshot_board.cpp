#include "board/snapshot_board.h"

#include <algorithm>
#include <utility>

namespace vimo {

size_t SnapshotBoard::AddDevice(novex::monitor::DeviceSnapshot first) {
    auto slot = std::make_unique<Slot>();
    {
        novex::MutexLock hold(slot->mutex);  // not shared yet; taken for the analysis
        slot->current = std::make_shared<const novex::monitor::DeviceSnapshot>(std::move(first));
    }
    novex::MutexLock lock(list_mutex_);
    slots_.push_back(std::move(slot));
    retired_.push_back(false);
    return slots_.size() - 1;
}

size_t SnapshotBoard::AddDevice(const std::string& name, uint32_t data_id,
                                const std::string& line) {
    novex::monitor::DeviceSnapshot first;
    first.device_name = name;
    first.data_id = data_id;
    first.line = line;
    return AddDevice(std::move(first));
}

void SnapshotBoard::Retire(size_t slot) {
    Slot* s = nullptr;
    {
        novex::MutexLock lock(list_mutex_);
        if (slot >= slots_.size()) return;
        s = slots_[slot].get();
        retired_[slot] = true;
    }
    // The device's last snapshot (its document, alarms and figures) goes with it:
    // reloads that restart lines would otherwise keep every retired device's.
    Snapshot last;
    {
        novex::MutexLock lock(s->mutex);
        last = std::move(s->current);
    }
}

SnapshotBoard::Slot* SnapshotBoard::At(size_t slot) const {
    novex::MutexLock lock(list_mutex_);
    return slot < slots_.size() && !retired_[slot] ? slots_[slot].get() : nullptr;
}

std::vector<BoardSubscriber*> SnapshotBoard::Subscribers() const {
    novex::MutexLock lock(list_mutex_);
    return subscribers_;
}

void SnapshotBoard::Subscribe(BoardSubscriber& subscriber) {
    novex::MutexLock lock(list_mutex_);
    subscribers_.push_back(&subscriber);
}

void SnapshotBoard::Publish(size_t slot, BoardUpdate update) {
    Slot* s = At(slot);
    if (!s || !update.now) return;
    {
        novex::MutexLock lock(s->mutex);
        update.before = std::exchange(s->current, update.now);
    }
    if (!update.before) return;  // retired meanwhile
    update.slot = slot;
    // The replaced snapshot is released with the update, outside the lock, if no
    // reader holds it.
    for (BoardSubscriber* subscriber : Subscribers()) subscriber->Take(update);
}

bool SnapshotBoard::Drain(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    bool drained = true;
    for (BoardSubscriber* subscriber : Subscribers()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        drained = subscriber->Drain(std::max(left, std::chrono::milliseconds(0))) && drained;
    }
    return drained;
}

Snapshot SnapshotBoard::Get(size_t slot) const {
    Slot* s = At(slot);
    if (!s) return nullptr;
    novex::MutexLock lock(s->mutex);
    return s->current;
}

std::vector<Snapshot> SnapshotBoard::Snapshots() const {
    std::vector<Slot*> polled;
    {
        novex::MutexLock lock(list_mutex_);
        for (size_t i = 0; i < slots_.size(); ++i)
            if (!retired_[i]) polled.push_back(slots_[i].get());
    }
    std::vector<Snapshot> out;
    out.reserve(polled.size());
    for (Slot* s : polled) {
        novex::MutexLock lock(s->mutex);
        if (s->current) out.push_back(s->current);  // null: retired meanwhile
    }
    return out;
}

}  // namespace vimo
