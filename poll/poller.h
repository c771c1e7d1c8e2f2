// The event loop: one thread per line (serial port or TCP endpoint), which polls the
// devices on that line one round at a time, each at its own interval.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/failure_note.h"
#include "board/device_monitor.h"
#include "session/device_session.h"
#include "modbus/modbus_line.h"
#include "board/snapshot_board.h"
#include "core/thread_annotations.h"

namespace vimo {

struct PollSettings {
    int64_t rounds = 0;        // completed rounds per device; 0: no limit
    int64_t max_failures = 0;  // failed rounds in a row before giving up; 0: never
    // Called by each line thread as it ends, once the board's subscribers have dealt
    // with its rounds and before it reports its totals (so that the stored count
    // includes the rounds still on their way to the history).
    std::function<void()> before_totals;
    // Called by each line thread as its very last step, so that whoever waits for the
    // lines to end hears of it at once.
    std::function<void()> after_end;
    // Where each device's rounds are published (required): every output of a round
    // (console, status file, history, hooks, servers) is a subscriber of the board.
    SnapshotBoard* board = nullptr;
    // Whether updates carry the device's status document (BoardUpdate::document), made
    // by the device itself on the line thread: for --status-out.
    bool documents = false;
};

class Poller {
public:
    // Groups the sessions by line and gives each device its slot on the board. False
    // with a one-line error when devices that share a serial port disagree about its
    // settings.
    bool Setup(const std::vector<DeviceSession*>& sessions, const PollSettings& settings,
               std::string& error);
    // What Setup refuses, and with `resolve` also a TCP host that does not resolve,
    // checked without a poller: a reload asks before it stops anything.
    static bool Check(const std::vector<DeviceSession*>& sessions, bool resolve,
                      std::string& error);
    ~Poller();
    // Opens every serial port and resolves every TCP host before the threads start, so
    // that a port another program holds, or a host that does not resolve, stops the
    // start with one line naming it.
    bool Claim(std::string& error);

    // Starts a thread per line, each held until Go; false with a one-line error when
    // the system gives no more threads (a process limit), the threads started held and
    // ended by Stop or the destructor without a word or a round.
    bool Start(std::string& error);
    void Go();
    // Asks every line thread to stop after its current exchange, leaving its round
    // unfinished; returns at once.
    void Stop();
    bool Finished() const { return running_.load() == 0; }
    void Join();
    // True when a device failed --max-failures rounds in a row.
    bool GaveUp() const { return gave_up_.load(); }
    // False when a line thread has been inside one round for longer than any round can
    // take with its timeouts and retries: what the service manager's watchdog is told.
    bool Responsive(std::chrono::steady_clock::time_point now) const;
    // Each device's slot on the board.
    std::vector<size_t> Slots() const;

    void SetBeforeTotals(std::function<void()> call) { settings_.before_totals = std::move(call); }
    void SetAfterEnd(std::function<void()> call) { settings_.after_end = std::move(call); }

    // Before Start: the alarm ids the history knows as active for the session's device.
    void RestoreAlarms(DeviceSession& session, const std::vector<std::string>& active_ids);
    // Before Start: the output energy the history counted for the session's device.
    void RestoreEnergy(DeviceSession& session, const novex::monitor::OutputEnergy& energy);
    // Before Start: publishes the round just loaded from the history (stored at local
    // time `time`, "YYYY-MM-DD HH:MM:SS"); the device's first polled round then waits
    // for the clock's next second.
    void PublishLoaded(DeviceSession& session, const std::string& time);

private:
    struct Device {
        DeviceSession* session = nullptr;
        int64_t attempts = 0;
        int64_t completed = 0;
        int64_t failed = 0;
        int64_t failures_in_row = 0;
        bool done = false;
        std::time_t loaded_second = -1;  // when a round was loaded at start (time())
        bool wire_said = false;           // the interval shorter than the wire time
        std::chrono::steady_clock::time_point first_start, last_start;  // of polled rounds
        bool backoff_said = false;        // in this run of failed rounds
        std::chrono::steady_clock::time_point due;
        size_t slot = 0;  // on the board
        std::unique_ptr<DeviceMonitor> monitor;
    };
    struct Line {
        std::unique_ptr<ModbusLine> transport;
        std::vector<Device> devices;
        std::thread thread;
        // When the round in progress must be over (steady clock ticks); 0 between rounds.
        std::atomic<int64_t> round_deadline{0};
    };

    void Serve(Line& line);
    bool WaitForGo();
    bool Wait(std::chrono::steady_clock::time_point until);
    // Counts the round and publishes it.
    void Account(Device& device, const RoundResult& result);
    void GiveUpIfDue(const Device& device);
    // Puts off the next round of a device whose rounds keep failing.
    void BackOff(Device& device, const RoundResult& result);
    void SayWireTime(Device& device, const RoundResult& result);
    static std::string Period(const Device& device);
    // The communication rule of every device on the line; the earliest next deadline.
    std::chrono::steady_clock::time_point CheckCommunication(Line& line);
    // Publishes the monitor's update, if any, as `out` of `kind`; with the device's
    // document when `shows_change` and documents are asked for.
    void Publish(Device& device, DeviceMonitor::Update update, BoardUpdate::Kind kind,
                 BoardUpdate out = BoardUpdate(), bool shows_change = true);
    Device* Find(const DeviceSession& session);

    PollSettings settings_;
    std::vector<std::unique_ptr<Line>> lines_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> gave_up_{false};
    std::atomic<int> running_{0};
    // Held to wake the line threads: a stop or Go said between a thread's look at
    // the flags and its wait would otherwise be missed until the wait ends.
    novex::Mutex mutex_;
    bool go_ GUARDED_BY(mutex_) = false;
    std::condition_variable wake_;
};

}  // namespace vimo
