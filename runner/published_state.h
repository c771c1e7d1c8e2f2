// The board every face of vimohost reads: one slot per device holding the device's
// latest snapshot. A line thread publishes a new immutable snapshot after each
// completed, loaded or failed round; a reader copies the pointer. The only lock is the
// slot's, held for that pointer copy or swap, so a slow reader never delays a round.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "event_hooks.h"
#include "snapshot.h"

namespace vimo {

using Snapshot = std::shared_ptr<const novex::monitor::DeviceSnapshot>;

class PublishedState {
public:
    // Called on the publishing line thread right after each publish, with the new
    // snapshot and the one it replaced (null for the first). Lines publish from their
    // own threads, so a listener may run for two devices at once. Keep it short:
    // polling waits for it. A reader that needs more time copies the pointer and works
    // later.
    using Listener = std::function<void(const Snapshot& now, const Snapshot& before)>;

    // One slot per device, in configuration order; each starts with a snapshot that
    // names the device and holds no round. Before any line thread starts.
    size_t AddDevice(const std::string& name, uint32_t data_id, const std::string& line);
    // Before any line thread starts; every listener sees every publish, in order.
    void Subscribe(Listener listener);
    // The hook runner whose counters Hooks() reads (null: none). Before start.
    void AttachHooks(const EventHooks* hooks) { hooks_ = hooks; }

    void Publish(size_t slot, Snapshot snapshot);

    size_t size() const { return slots_.size(); }
    Snapshot Get(size_t slot) const;
    // Every device's current snapshot, in configuration order.
    std::vector<Snapshot> Snapshots() const;
    // The hook runner's counters (all 0 without hooks).
    HookCounters Hooks() const;

private:
    struct Slot {
        mutable std::mutex mutex;  // guards `current`, held only to copy or swap it
        Snapshot current;
    };
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<Listener> listeners_;
    const EventHooks* hooks_ = nullptr;
};

}  // namespace vimo
