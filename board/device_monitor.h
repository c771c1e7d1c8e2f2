// What one device's rounds mean to vimohost: from each completed, loaded or failed
// round it builds the device's next snapshot, decides whether communication is lost,
// and compares the snapshot's alarms with those known before, so that each raise and
// each clear of an alarm of the table is one event, whatever the device's b_mode.
// Used by the device's line thread alone; it neither prints nor stores.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "board/alarm_event.h"
#include "board/snapshot_board.h"

namespace vimo {

struct MonitorSettings {
    int comm_loss_rounds = 3;     // failed rounds in a row that raise communication_lost
    int comm_loss_intervals = 5;  // intervals without a completed round, the last failed
    int interval_ms = 1000;       // the device's interval; counted as at least 1 s here
};

// How long after the last completed round, the last one failed, communication counts
// as lost: `comm_loss_intervals` intervals, each counted as at least a second. The
// faces read it from the snapshot (DeviceSnapshot::loss_window_s).
std::chrono::milliseconds CommLossWindow(const MonitorSettings& settings);

class DeviceMonitor {
public:
    using Clock = std::chrono::steady_clock;

    // The moment of a call: the steady clock for the communication rule, UTC epoch
    // seconds for the snapshot and the events.
    struct Moment {
        Clock::time_point steady;
        int64_t utc = 0;
    };
    struct Update {
        Snapshot snapshot;  // to publish; null when nothing changed
        std::vector<AlarmEvent> events;
    };

    // `first` is the device's snapshot before any round (names, line).
    DeviceMonitor(Snapshot first, MonitorSettings settings);

    // The alarm ids active when vimohost last stopped (from the history): they are not
    // raised again, and those no longer active in the first completed round are cleared.
    void Restore(const std::vector<std::string>& active_ids);
    // The output energy counted when vimohost last stopped (from the history): the
    // count goes on from it, the first round after it starting a new stretch.
    void RestoreEnergy(const novex::monitor::OutputEnergy& energy);
    // The time polling starts: "no round completed" counts from here.
    void Start(Clock::time_point start) { last_completed_ = start; }

    // A round loaded from the history at start (`now.utc`: the round's stored time):
    // its figures are shown, no event comes of it, and it is no completed round for
    // the counters or the communication rule.
    Update Loaded(std::vector<unsigned char> record, const Moment& now);
    // A polled round that completed: the record the device handed over (SendSP); clears
    // communication_lost.
    Update Completed(std::vector<unsigned char> record, double seconds, const Moment& now);
    // A polled round that failed with the one-line `error`.
    Update Failed(const std::string& error, double seconds, const Moment& now);
    // The time rule between rounds: an update when communication_lost is raised now.
    Update Check(const Moment& now);
    // When Check must run next to raise communication_lost in time; Clock's max when
    // no deadline is armed (no failed round since the last completed one, or raised).
    Clock::time_point Deadline() const;

    const Snapshot& current() const { return current_; }
    bool lost() const { return lost_; }

private:
    enum class Compare { kNothing, kCommunication, kEveryAlarm };
    Update Next(novex::monitor::DeviceSnapshot next, Compare what, int64_t utc);
    void Decode(novex::monitor::DeviceSnapshot& next, std::vector<unsigned char> record);

    const MonitorSettings settings_;
    Snapshot current_;
    std::vector<novex::monitor::AlarmIndex> record_alarms_;  // of the current record
    std::vector<bool> known_;  // per alarm of the table: raised and not cleared
    int64_t failures_in_row_ = 0;
    bool lost_ = false;
    Clock::time_point last_completed_;
    novex::monitor::EnergyCounter energy_;
};

}  // namespace vimo
