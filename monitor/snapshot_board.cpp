#include "monitor/snapshot_board.h"

#include <utility>

namespace vimo {

size_t PublishedState::AddDevice(const std::string& name, uint32_t data_id,
                                 const std::string& line) {
    auto first = std::make_shared<novex::monitor::DeviceSnapshot>();
    first->device_name = name;
    first->data_id = data_id;
    first->line = line;
    auto slot = std::make_unique<Slot>();
    {
        novex::MutexLock hold(slot->mutex);  // not shared yet; taken for the analysis
        slot->current = std::move(first);
    }
    novex::MutexLock lock(list_mutex_);
    slots_.push_back(std::move(slot));
    return slots_.size() - 1;
}

void PublishedState::Retire(size_t slot) {
    Slot* s = nullptr;
    {
        novex::MutexLock lock(list_mutex_);
        if (slot >= slots_.size()) return;
        s = slots_[slot].get();
        s->retired = true;
    }
    // The device's last snapshot (its document, alarms and figures) goes with it:
    // reloads that restart lines would otherwise keep every retired device's.
    Snapshot last;
    {
        novex::MutexLock lock(s->mutex);
        last = std::move(s->current);
    }
}

PublishedState::Slot* PublishedState::At(size_t slot) const {
    novex::MutexLock lock(list_mutex_);
    return slot < slots_.size() && !slots_[slot]->retired ? slots_[slot].get() : nullptr;
}

void PublishedState::Subscribe(Listener listener) { listeners_.push_back(std::move(listener)); }

void PublishedState::Publish(size_t slot, Snapshot snapshot) {
    Slot* s = At(slot);
    if (!s || !snapshot) return;
    Snapshot before;
    {
        novex::MutexLock lock(s->mutex);
        before = std::exchange(s->current, snapshot);
    }
    // The replaced snapshot is released here, outside the lock, if no reader holds it.
    for (const Listener& listener : listeners_) listener(snapshot, before);
}

Snapshot PublishedState::Get(size_t slot) const {
    Slot* s = At(slot);
    if (!s) return nullptr;
    novex::MutexLock lock(s->mutex);
    return s->current;
}

std::vector<Snapshot> PublishedState::Snapshots() const {
    std::vector<Slot*> polled;
    {
        novex::MutexLock lock(list_mutex_);
        for (const auto& s : slots_)
            if (!s->retired) polled.push_back(s.get());
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
