// Runs a configured program for every alarm event, away from the line threads: the
// line threads only queue events; one supervisor thread starts the programs, drains
// their output, enforces their time limit and reaps them. Programs are started
// directly (never through a shell), one at a time per device in event order; different
// devices run side by side. A hook's failure is logged and counted, nothing more:
// polling never waits for a hook.
//
// Two modes. "each" runs the hook once per event; it sees vimohost's environment plus
//   VIMO_DEVICE, VIMO_DATA_ID, VIMO_EVENT (raised|cleared), VIMO_ALARM (the ASCII id),
//   VIMO_DESCRIPTION (English), VIMO_TEXT (the UPS's Chinese text), VIMO_SEVERITY,
//   VIMO_TIME (local, ISO 8601 with offset),
// and standard input from /dev/null. "round" runs it once per round that changed
// anything, with VIMO_DEVICE, VIMO_DATA_ID, VIMO_TIME and VIMO_EVENT_COUNT, and the
// round's events on standard input, one JSON object a line (RoundLine). A round hook
// need not read its input: what it leaves unread is thrown away when it exits, and one
// that neither reads nor exits is stopped at its time limit like any other.
// Standard output and error go into a pipe that is read and thrown away but for a
// short tail quoted when the hook fails.
//
// Nothing is dropped while a hook is merely slow: a device's queue holds
// kHookQueueEvents events, every alarm's raise and clear, more than any one round can
// bring. Only a hook that keeps the queue full round after round (one stuck at its time
// limit) loses events; they are counted and logged.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/failure_note.h"
#include "core/thread_annotations.h"
#include "board/alarm_event.h"
#include "monitor/alarms.h"

namespace vimo {

// Each alarm's raise and its clear.
constexpr size_t kHookQueueEvents = 2 * novex::monitor::kAlarmCount;

// A hook's time limit unless the configuration sets one.
constexpr int kDefaultHookTimeLimitMs = 30000;

enum class HookMode { kEach, kRound };
// "each", "round": the configuration's and the flag's words; nullptr past the end.
const char* HookModeName(HookMode mode);
bool ParseHookMode(const std::string& text, HookMode& mode);
// What the modes do, for the help of the flag and of the configuration key.
extern const char kHookModeHelp[];

// One event as its line on a round hook's standard input, without the newline:
// {"device":..,"data_id":..,"event":"raised","alarm":..,"description":..,"text":..,
//  "severity":..,"time":..}
std::string RoundLine(const AlarmEvent& event);

struct HookOptions {
    // The program and its arguments; argv[0] without a '/' is looked up in PATH once,
    // at Start. The event reaches the program only through its environment.
    std::vector<std::string> argv;
    int time_limit_ms = kDefaultHookTimeLimitMs;  // then SIGTERM to the hook's process group
    int kill_grace_ms = 2000;   // after SIGTERM, then SIGKILL
    HookMode mode = HookMode::kEach;
    size_t queue_per_device = kHookQueueEvents;  // waiting events per device; more are dropped
    size_t max_running = 16;       // hooks running at once, over all devices
};

// For metrics. runs: hooks started or attempted; failures: runs that did not exit 0
// (cannot be executed, non-zero exit, signal, time limit); timeouts: runs stopped at
// the time limit; dropped: events never run (queue full, or still queued at Stop).
struct HookCounters {
    uint64_t runs = 0;
    uint64_t failures = 0;
    uint64_t timeouts = 0;
    uint64_t dropped = 0;
};

class EventHooks {
public:
    using Log = std::function<void(const std::string& line)>;

    // `log` receives one line per failed hook and per overflow episode; it is called
    // from the supervisor thread. Empty: the console (Say).
    explicit EventHooks(HookOptions options, Log log = nullptr);
    ~EventHooks();  // Stop()
    EventHooks(const EventHooks&) = delete;
    EventHooks& operator=(const EventHooks&) = delete;

    // The program `argv` names, found as Start finds it (in PATH when it has no '/'):
    // "" when it may run, else the one-line error Start would give.
    static std::string ProgramProblem(const std::vector<std::string>& argv,
                                      std::string* resolved = nullptr);

    // Checks the options, takes a copy of the environment and starts the supervisor.
    // Once per object: a stopped EventHooks is not started again.
    // False with a one-line error on empty argv, a program not found in PATH, or
    // limits out of range; a program that exists but cannot be executed is reported
    // per event instead, so that fixing its mode needs no restart.
    bool Start(std::string& error);

    // Queues the event for its device and returns at once: never waits for a hook, a
    // child or the supervisor beyond a short lock. Beyond the device's queue the event
    // is dropped and counted; the episode is logged once, when the queue has room
    // again (or at Stop). Before Start and after Stop, every event is dropped.
    void Submit(const AlarmEvent& event);
    // A round's events of one device, in order: in "each" mode as many Submits, in
    // "round" mode one run of the hook. Events beyond the queue's room are dropped.
    void SubmitRound(const std::vector<AlarmEvent>& events);

    // Drops the queued events (counted as dropped, one line per device that had any)
    // and lets the running hooks finish, each within its own time limit and at most
    // `max_wait_ms` more (negative: its limit only); then SIGTERM, and SIGKILL after
    // the grace. Returns once every hook is reaped. Idempotent.
    void Stop(int max_wait_ms = -1);

    HookCounters Counters() const;
    // True when no event waits and no hook runs: an orderly exit waits for this (for a
    // while) before Stop, so that the last rounds' events are not dropped.
    bool Idle() const;

private:
    struct Device {
        std::string name;  // of its last event, for messages
        std::deque<std::vector<AlarmEvent>> queue;  // one run of the hook each
        size_t queued_events = 0;
        uint64_t dropped_in_episode = 0;
        bool running = false;
    };
    struct Running;  // one started hook, owned by the supervisor thread

    void Queue(std::vector<AlarmEvent> events);
    void Supervise();
    bool StartNext(std::vector<Running>& running);
    bool Spawn(Running& run, std::string& error) const;
    void Finish(const Running& run, int status);
    // A failed or a good run of the hook, on the supervisor thread: said as the
    // failure note decides (common/failure_note.h), a new kind of failure at once.
    void Failed(const std::string& run_name, const std::string& kind, const std::string& detail);
    void Worked();
    void Say(const std::string& line) const;
    std::string DroppedLine(const Device& device) const;
    void Wake() const;

    const HookOptions options_;
    const Log log_;
    std::string program_;                // argv[0] resolved
    std::vector<std::string> base_env_;  // vimohost's environment without VIMO_*
    std::thread supervisor_;
    int wake_read_ = -1, wake_write_ = -1;
    // The supervisor thread's alone: what has been said of the hook's failures.
    FailureNote failure_note_;
    std::string failure_kind_;  // of the last failure, e.g. "exit status 3"

    mutable novex::Mutex mutex_;
    std::map<uint32_t, Device> devices_ GUARDED_BY(mutex_);
    HookCounters counters_ GUARDED_BY(mutex_);
    bool started_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    // Stop gave running hooks at most until stop_deadline_.
    bool stop_limited_ GUARDED_BY(mutex_) = false;
    std::chrono::steady_clock::time_point stop_deadline_ GUARDED_BY(mutex_);
    // Data id, so that devices take turns for free slots.
    uint32_t last_started_ GUARDED_BY(mutex_) = 0;
};

}  // namespace vimo
