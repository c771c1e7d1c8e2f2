#include "board/device_monitor.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace vimo {

namespace monitor = novex::monitor;

namespace {

constexpr std::chrono::milliseconds kShortestInterval{1000};

AlarmEvent MakeEvent(const monitor::DeviceSnapshot& s, monitor::AlarmIndex index, bool raised,
                     int64_t utc) {
    const monitor::Alarm& alarm = monitor::Alarms()[index];
    AlarmEvent e;
    e.device = s.device_name;
    e.data_id = s.data_id;
    e.kind = raised ? AlarmEvent::Kind::kRaised : AlarmEvent::Kind::kCleared;
    e.alarm = alarm.id;
    e.text = alarm.text;
    e.description = alarm.description;
    e.severity = monitor::SeverityName(alarm.severity);
    e.time = utc;
    return e;
}

}  // namespace

std::chrono::milliseconds CommLossWindow(const MonitorSettings& settings) {
    return std::max(std::chrono::milliseconds(settings.interval_ms), kShortestInterval) *
           settings.comm_loss_intervals;
}

DeviceMonitor::DeviceMonitor(Snapshot first, MonitorSettings settings)
    : settings_(settings),
      current_(std::move(first)),
      known_(monitor::kAlarmCount, false),
      last_completed_(Clock::now()) {}

void DeviceMonitor::Restore(const std::vector<std::string>& active_ids) {
    for (const std::string& id : active_ids) {
        const size_t index = monitor::FindAlarm(id);
        if (index < known_.size()) known_[index] = true;
    }
}

void DeviceMonitor::RestoreEnergy(const monitor::OutputEnergy& energy) {
    energy_ = monitor::EnergyCounter{energy, {}};
    auto next = std::make_shared<monitor::DeviceSnapshot>(*current_);
    next->energy = energy;
    current_ = std::move(next);
}

void DeviceMonitor::Decode(monitor::DeviceSnapshot& next, std::vector<unsigned char> record) {
    monitor::DecodedRound decoded;
    std::string error;
    if (monitor::DecodeRecord(record.data(), record.size(), decoded, error)) {
        next.measures = std::move(decoded.measures);
        record_alarms_ = std::move(decoded.alarms);
        next.last_error.clear();
    } else {
        next.measures.clear();
        record_alarms_.clear();
        next.last_error = "the device handed over a " + error;
    }
    next.record = std::move(record);
}

DeviceMonitor::Update DeviceMonitor::Loaded(std::vector<unsigned char> record,
                                            const Moment& now) {
    monitor::DeviceSnapshot next = *current_;
    Decode(next, std::move(record));
    next.last_round_utc = now.utc;
    next.last_round_local = monitor::LocalTimeText(static_cast<std::time_t>(now.utc));
    // Shown, but not compared: the events of that round were reported when it was polled.
    return Next(std::move(next), Compare::kNothing, now.utc);
}

DeviceMonitor::Update DeviceMonitor::Completed(std::vector<unsigned char> record,
                                               double seconds, const Moment& now) {
    monitor::DeviceSnapshot next = *current_;
    Decode(next, std::move(record));
    ++next.rounds_completed;
    next.last_round_utc = now.utc;
    next.last_round_local = monitor::LocalTimeText(static_cast<std::time_t>(now.utc));
    next.last_round_seconds = seconds;
    failures_in_row_ = 0;
    lost_ = false;
    last_completed_ = now.steady;
    const double seconds_now =
        std::chrono::duration<double>(now.steady.time_since_epoch()).count();
    energy_ = monitor::StepEnergy(energy_, monitor::PowerOf(next.measures, seconds_now),
                                  monitor::EnergyMaxGapSeconds(settings_.interval_ms));
    next.energy = energy_.energy;
    return Next(std::move(next), Compare::kEveryAlarm, now.utc);
}

DeviceMonitor::Update DeviceMonitor::Failed(const std::string& error, double seconds,
                                            const Moment& now) {
    monitor::DeviceSnapshot next = *current_;
    ++next.rounds_failed;
    next.last_error = error;
    next.last_round_seconds = seconds;
    ++failures_in_row_;
    if (failures_in_row_ >= settings_.comm_loss_rounds || now.steady >= Deadline()) lost_ = true;
    return Next(std::move(next), Compare::kCommunication, now.utc);
}

DeviceMonitor::Update DeviceMonitor::Check(const Moment& now) {
    if (lost_ || now.steady < Deadline()) return Update();
    lost_ = true;
    return Next(*current_, Compare::kCommunication, now.utc);
}

DeviceMonitor::Clock::time_point DeviceMonitor::Deadline() const {
    if (lost_ || failures_in_row_ == 0) return Clock::time_point::max();
    return last_completed_ + CommLossWindow(settings_);
}

// Fills in the communication state and the active alarms, and reports each alarm of
// `what` whose state differs from the one known. After a failed round only
// communication_lost can change: the record, and so its alarms, is the old one.
DeviceMonitor::Update DeviceMonitor::Next(monitor::DeviceSnapshot next, Compare what,
                                          int64_t utc) {
    next.communication = lost_ ? monitor::Communication::kLost : monitor::Communication::kOk;
    next.stale = lost_;
    next.active_alarms = record_alarms_;
    if (lost_) next.active_alarms.push_back(monitor::kCommunicationLost);
    Update update;
    // communication_lost first: that the UPS is back comes before what it says.
    const auto compare = [&](monitor::AlarmIndex index, bool active) {
        if (known_[index] == active) return;
        known_[index] = active;
        update.events.push_back(MakeEvent(next, index, active, utc));
    };
    if (what != Compare::kNothing) compare(monitor::kCommunicationLost, lost_);
    if (what == Compare::kEveryAlarm) {
        size_t at = 0;  // record_alarms_ is in list order
        for (monitor::AlarmIndex i = 0; i < monitor::kCommunicationLost; ++i) {
            const bool active = at < record_alarms_.size() && record_alarms_[at] == i;
            if (active) ++at;
            compare(i, active);
        }
    }
    update.snapshot = std::make_shared<const monitor::DeviceSnapshot>(std::move(next));
    current_ = update.snapshot;
    return update;
}

}  // namespace vimo
