// The poll run's own outputs of a round, each a subscriber of the board
// (board/snapshot_board.h); the poller only publishes. What each does when it cannot
// keep up (docs/vimohost.md, "Who reads the board"):
//
//   ConsoleSummary  its own thread, every update in order up to 4096 waiting; beyond
//                   that the newest are dropped and counted (the lines are not needed
//                   by anything else).
//   StatusFiles     its own thread, the latest update of each device: the file always
//                   ends up showing the device's latest state.
//   HistoryFeed     hands each round's record and events to the history writer's own
//                   queue (history/writer.h), which never waits for the database.
//   HookFeed        hands each round's events to the hook runner's queue per device
//                   (hooks/event_hooks.h), which never waits for a hook.
// The notifications are a subscriber of their own (notify/notifier.h).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/failure_note.h"
#include "common/console.h"
#include "core/thread_annotations.h"
#include "hooks/event_hooks.h"
#include "history/writer.h"
#include "board/board_queue.h"

namespace vimo {

// A line per round ("[ups1] round 3 in 0.120 s | state on_mains | ..."), per
// communication loss and per alarm event, on the console and in the log.
class ConsoleSummary : public BoardSubscriber {
public:
    ConsoleSummary();
    void Take(const BoardUpdate& update) override { queue_.Take(update); }
    bool Drain(std::chrono::milliseconds timeout) override { return queue_.Drain(timeout); }

    // The lines an update makes, each with its level, in order.
    static std::vector<std::pair<Level, std::string>> Lines(const BoardUpdate& update);

private:
    QueuedSubscriber queue_;
};

// --status-out: the device's status document with vimohost's member, rewritten after
// every completed or loaded round and whenever communication is lost or back.
class StatusFiles : public BoardSubscriber {
public:
    // Publishers are to attach documents (PollSettings::documents).
    StatusFiles();
    // The file of device `data_id`; before its first round.
    void SetPath(uint32_t data_id, const std::string& path);
    std::string Path(uint32_t data_id) const;  // "" for none

    void Take(const BoardUpdate& update) override { queue_.Take(update); }
    bool Drain(std::chrono::milliseconds timeout) override { return queue_.Drain(timeout); }

private:
    void Write(const BoardUpdate& update);

    mutable novex::Mutex mutex_;
    std::map<uint32_t, std::string> paths_ GUARDED_BY(mutex_);
    // Each file's failures, said once and then as reminders; only the queue's thread
    // writes the files, so only it reads these.
    std::map<uint32_t, FailureNote> notes_;
    QueuedSubscriber queue_;  // last: its thread ends before the rest goes
};

// The history: each round's record (with the monitor's figures of it) and each alarm
// event, handed to the writer in publish order.
class HistoryFeed : public BoardSubscriber {
public:
    explicit HistoryFeed(HistoryWriter& writer) : writer_(writer) {}
    void Take(const BoardUpdate& update) override;

private:
    HistoryWriter& writer_;
};

// The hooks: each round's events, in one run in "round" mode.
class HookFeed : public BoardSubscriber {
public:
    explicit HookFeed(EventHooks& hooks) : hooks_(hooks) {}
    void Take(const BoardUpdate& update) override {
        if (!update.events.empty()) hooks_.SubmitRound(update.events);
    }

private:
    EventHooks& hooks_;
};

}  // namespace vimo
