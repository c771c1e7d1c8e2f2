// The board every face of vimohost reads: one slot per device holding the device's
// latest snapshot. A line thread publishes once after each completed, loaded or failed
// round (and when the time rule finds communication lost); a reader copies the
// pointer. The only locks are the slot's, held for that pointer copy or swap, and the
// list's, held to find the slot: a slow reader never delays a round.
//
// Every face is a subscriber: the console summary, the status files, the history, the
// hooks, the web page, the UPS protocol server, the SNMP agent. A new face is
//
//     class MyFace : public vimo::BoardSubscriber {
//         void Take(const vimo::BoardUpdate& update) override;  // queue it; return
//     };
//     board.Subscribe(my_face);  // one line in vimohost's wiring
//
// or, to run a slow handler on a thread of its own, a QueuedSubscriber
// (board/board_queue.h) with a lossless queue or a latest-value slot per device.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/thread_annotations.h"
#include "board/alarm_event.h"
#include "monitor/snapshot.h"

namespace vimo {

using Snapshot = std::shared_ptr<const novex::monitor::DeviceSnapshot>;

// A record the device asked to keep (its history), with the round's time.
struct KeptRecord {
    std::string local;  // "YYYY-MM-DD HH:MM:SS", the round's time as the device has it
    int64_t utc = 0;
    std::vector<unsigned char> record;
};

// One publish: the device's new snapshot, the one it replaced, and what came of the
// round. Plain values and shared pointers only: a subscriber may copy it whole.
struct BoardUpdate {
    enum class Kind : unsigned char {
        kLoaded,     // the round stored last, shown at start
        kCompleted,  // a polled round that completed
        kFailed,     // a polled round that failed (now->last_error says why)
        kLost,       // the time rule: no round completed for too long
    };
    Kind kind = Kind::kCompleted;
    size_t slot = 0;  // the device's slot on the board
    Snapshot now;     // never null
    Snapshot before;  // the snapshot it replaced; never null
    // The alarm raises and clears of the round, communication_lost first: in order.
    std::vector<AlarmEvent> events;
    int64_t round = 0;            // the polled round's number (1, 2, ...); 0: none polled
    bool first_failure = false;   // kFailed: the first of a run of failed rounds
    bool port_unavailable = false;  // kFailed: the serial port could not be opened
    std::string loaded_time;      // kLoaded: the stored round's local time
    std::optional<KeptRecord> kept;  // the record to store in the history, if any
    // The device's status document as the update leaves it, when a subscriber asked
    // for documents (the status files) and the update changes what it shows; else null.
    std::shared_ptr<const std::string> document;

    // Communication was found lost by this update.
    bool LostNow() const {
        return now->communication == novex::monitor::Communication::kLost &&
               before->communication != novex::monitor::Communication::kLost;
    }
};

class BoardSubscriber {
public:
    virtual ~BoardSubscriber() = default;
    // Called on the publishing line thread for every publish, in publish order for
    // each device (two lines publish from their own threads, so two devices may be
    // taken at once). The round waits for it: copy what is needed, queue it and return.
    virtual void Take(const BoardUpdate& update) = 0;
    // Waits until every update taken before the call has been dealt with (true), or
    // `timeout` passed (false). A subscriber that works inside Take has nothing to wait
    // for.
    virtual bool Drain(std::chrono::milliseconds timeout) {
        (void)timeout;
        return true;
    }
};

class SnapshotBoard {
public:
    // One slot per device, in configuration order; each starts with `first`, a
    // snapshot that names the device and holds no round. Also while polling: a reload
    // adds the devices it starts.
    size_t AddDevice(novex::monitor::DeviceSnapshot first);
    size_t AddDevice(const std::string& name, uint32_t data_id, const std::string& line);
    // The device stopped (a reload removed or changed it): its slot is no longer read,
    // its snapshot is released, and publishing to it does nothing (Get gives null).
    void Retire(size_t slot);
    // From now on `subscriber` takes every publish; it outlives the publishing (the
    // lines stop before it goes).
    void Subscribe(BoardSubscriber& subscriber);

    // Puts `update.now` in the slot, fills in `update.slot` and `update.before`, and
    // hands the update to every subscriber.
    void Publish(size_t slot, BoardUpdate update);
    // Every subscriber's Drain, within `timeout` altogether.
    bool Drain(std::chrono::milliseconds timeout);

    Snapshot Get(size_t slot) const;
    // Every polled device's current snapshot, in the order they were added.
    std::vector<Snapshot> Snapshots() const;

private:
    struct Slot {
        mutable novex::Mutex mutex;  // held only to copy or swap `current`
        Snapshot current GUARDED_BY(mutex);
    };
    // The slot at `slot`, or null (also once retired); slots are never freed, so the
    // pointer stays good.
    Slot* At(size_t slot) const EXCLUDES(list_mutex_);
    std::vector<BoardSubscriber*> Subscribers() const EXCLUDES(list_mutex_);

    mutable novex::Mutex list_mutex_;  // held briefly, to add to or read the lists
    std::vector<std::unique_ptr<Slot>> slots_ GUARDED_BY(list_mutex_);
    std::vector<bool> retired_ GUARDED_BY(list_mutex_);  // per slot
    std::vector<BoardSubscriber*> subscribers_ GUARDED_BY(list_mutex_);
};

}  // namespace vimo
