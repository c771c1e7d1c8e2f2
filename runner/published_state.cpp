#include "published_state.h"

#include <utility>

namespace vimo {

size_t PublishedState::AddDevice(const std::string& name, uint32_t data_id,
                                 const std::string& line) {
    auto first = std::make_shared<novex::monitor::DeviceSnapshot>();
    first->device_name = name;
    first->data_id = data_id;
    first->line = line;
    slots_.push_back(std::make_unique<Slot>());
    slots_.back()->current = std::move(first);
    return slots_.size() - 1;
}

void PublishedState::Subscribe(Listener listener) { listeners_.push_back(std::move(listener)); }

void PublishedState::Publish(size_t slot, Snapshot snapshot) {
    if (slot >= slots_.size() || !snapshot) return;
    Snapshot before;
    {
        std::lock_guard<std::mutex> lock(slots_[slot]->mutex);
        before = std::exchange(slots_[slot]->current, snapshot);
    }
    // The replaced snapshot is released here, outside the lock, if no reader holds it.
    for (const Listener& listener : listeners_) listener(snapshot, before);
}

Snapshot PublishedState::Get(size_t slot) const {
    if (slot >= slots_.size()) return nullptr;
    std::lock_guard<std::mutex> lock(slots_[slot]->mutex);
    return slots_[slot]->current;
}

std::vector<Snapshot> PublishedState::Snapshots() const {
    std::vector<Snapshot> out;
    out.reserve(slots_.size());
    for (size_t i = 0; i < slots_.size(); ++i) out.push_back(Get(i));
    return out;
}

HookCounters PublishedState::Hooks() const { return hooks_ ? hooks_->Counters() : HookCounters(); }

}  // namespace vimo
