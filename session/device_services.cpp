#include "session/device_services.h"

#include <cstdio>
#include <ctime>

#include "common/console.h"
#include "history/store.h"
#include "history/times.h"
#include "history/writer.h"
#include "session/round_time.h"

namespace vimo {

DeviceServices::DeviceServices(uint32_t data_id, std::string name, HistoryStore* history)
    : data_id_(data_id), name_(std::move(name)), history_(history) {}

int DeviceServices::ReadBits(SPModbus&, int first, int count) {
    pending_ = PendingRequest{SPModbus::BITS, first, count};
    return 0;
}

int DeviceServices::ReadInputRegisters(SPModbus&, int first, int count) {
    pending_ = PendingRequest{SPModbus::INPUT_REGISTERS, first, count};
    return 0;
}

std::optional<PendingRequest> DeviceServices::TakeRequest() {
    std::optional<PendingRequest> request = pending_;
    pending_.reset();
    return request;
}

// The record handed over after a round is the device's current data: kept as the
// latest value of the device. Nothing is forwarded anywhere else.
int DeviceServices::SendSP(VimoVDevice&, int, const unsigned char* data, unsigned int length, bool) {
    novex::MutexLock lock(mutex_);
    if (data == nullptr) length = 0;
    latest_record_.assign(data, data + length);
    return 0;
}

int DeviceServices::SaveDeviceHistory(VimoVDevice& device, const unsigned char* data,
                                  unsigned int length) {
    if (replaying_ || history_ == nullptr) return 0;
    if (data == nullptr || length == 0) {
        Say(Level::kWarning, "[" + name_ + "] history: the device handed over an empty record; not stored");
        return -1;
    }
    HistoryEntry entry;
    entry.data_id = data_id_;
    entry.local = RoundTimeText(device);
    entry.utc = UtcOfRecentLocalText(entry.local, static_cast<int64_t>(std::time(nullptr)));
    entry.record.assign(data, data + length);
    if (!writer_) return Store(std::move(entry), "round") ? 0 : -1;
    FlushRound();  // a second record in one round: the first goes as it is
    round_entry_ = std::move(entry);
    return 0;
}

std::optional<HistoryEntry> DeviceServices::TakeRound() {
    std::optional<HistoryEntry> entry = std::move(round_entry_);
    round_entry_.reset();
    return entry;
}

void DeviceServices::FlushRound() {
    if (!round_entry_) return;
    HistoryEntry entry = std::move(*round_entry_);
    round_entry_.reset();
    Store(std::move(entry), "round");
}

bool DeviceServices::Store(HistoryEntry entry, const char* what) {
    if (writer_) {
        writer_->Submit(std::move(entry));
        return true;
    }
    std::string error;
    std::vector<int64_t> ids;
    if (!history_->Write({entry}, ids, error)) {
        Say(Level::kError, "[" + name_ + "] history: cannot store the " + what + ": " + error);
        return false;
    }
    if (entry.kind == HistoryEntry::Kind::kRound) ++rounds_stored_;
    return true;
}

int64_t DeviceServices::rounds_stored() const {
    return writer_ ? writer_->Stored(data_id_) : rounds_stored_;
}

// Analogue points are the host's (ao_names / ao_values); vimohost configures none, so
// the device normally calls neither check. Should a point appear, a value is reported
// when it differs from the one reported last; no limits are configured, so
// CheckThreshold keeps the runtime's answer.
bool DeviceServices::CheckAOReport(VimoVDevice&, const std::string& name, float value) {
    auto it = ao_reported_.find(name);
    if (it != ao_reported_.end() && it->second == value) return false;
    ao_reported_[name] = value;
    return true;
}

bool DeviceServices::Track(const VimoVDevice& device, const std::string& rule_id,
                       const std::string& rule, bool active) {
    RuleStates::Change change;
    {
        novex::MutexLock lock(mutex_);
        change = rules_.Observe(rule_id, rule, active);
    }
    if (change == RuleStates::Change::kNone) return false;
    // Recorded only: the alarm table's events (from the published state) are what is
    // printed and handed to the hooks, so that one alarm makes one event.
    const bool raised = change == RuleStates::Change::kRaised;
    const std::string time = RoundTimeText(device);
    if (history_) {
        HistoryEntry entry;
        entry.kind = HistoryEntry::Kind::kRule;
        entry.data_id = data_id_;
        entry.local = time;
        entry.utc = UtcOfRecentLocalText(time, static_cast<int64_t>(std::time(nullptr)));
        entry.id = rule_id;
        entry.text = rule;
        entry.raised = raised;
        Store(std::move(entry), "alarm");
    }
    return true;
}

// A boolean rule: tracked by rule id and name; its raise and its clear are stored
// once each. Answers 1 on a change, 0 otherwise.
int DeviceServices::CheckThresholdBool(VimoVDevice& device, int, const std::string& id1,
                                   const std::string&, const std::string& name1,
                                   const std::string&, bool state, unsigned short) {
    if (replaying_) return 0;
    return Track(device, id1, name1, state) ? 1 : 0;
}

// Rule records the host queued for the round: one whose level is above 0 is active, and
// goes through the same tracking as a boolean rule. vimohost queues none itself.
bool DeviceServices::DoBatchCheckThreshold(VimoVDevice& device, const std::vector<rule_value>& rules) {
    if (replaying_) return false;
    bool changed = false;
    for (const rule_value& r : rules)
        changed = Track(device, r.rule_id, r.name.empty() ? r.rule_id : r.name, r.level > 0) ||
                  changed;
    return changed;
}

// vimohost carries out no command of its own (no setting is written to the UPS): every
// code the device hands on is answered -1, "not done", and the output is left as the
// device set it.
int DeviceServices::DeviceIoControl(VimoVDevice&, int, const void*, int, void*, int, int&) {
    return -1;
}

void DeviceServices::RestoreAlarms() {
    if (!history_) return;
    novex::MutexLock lock(mutex_);
    for (const auto& entry : history_->AlarmStates(data_id_))
        rules_.Restore(entry.first.first, entry.first.second, entry.second);
}

std::vector<unsigned char> DeviceServices::LatestRecord() const {
    novex::MutexLock lock(mutex_);
    return latest_record_;
}

}  // namespace vimo
