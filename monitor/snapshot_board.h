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

#include "common/thread_annotations.h"
#include "monitor/snapshot.h"

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
    // names the device and holds no round. Also while polling: a reload adds the
    // devices it starts.
    size_t AddDevice(const std::string& name, uint32_t data_id, const std::string& line);
    // The device stopped (a reload removed or changed it): its slot is no longer read,
    // its snapshot is released, and publishing to it does nothing (Get gives null).
    void Retire(size_t slot);
    // Before any line thread starts; every listener sees every publish, in order.
    void Subscribe(Listener listener);

    void Publish(size_t slot, Snapshot snapshot);

    Snapshot Get(size_t slot) const;
    // Every polled device's current snapshot, in the order they were added.
    std::vector<Snapshot> Snapshots() const;

private:
    struct Slot {
        mutable novex::Mutex mutex;  // held only to copy or swap `current`
        Snapshot current GUARDED_BY(mutex);
        bool retired = false;  // guarded by list_mutex_ (the analysis cannot name it here)
    };
    // The slot at `slot`, or null (also once retired); slots are never freed, so the
    // pointer stays good.
    Slot* At(size_t slot) const EXCLUDES(list_mutex_);

    mutable novex::Mutex list_mutex_;  // held briefly, to add to or read `slots_`
    std::vector<std::unique_ptr<Slot>> slots_ GUARDED_BY(list_mutex_);
    std::vector<Listener> listeners_;
};

}  // namespace vimo
