// The controller's side of one device: what each host operation the plug-in calls does
// in vimohost. One DeviceServices per device, reached through the device's VimoController.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/thread_annotations.h"
#include "history/store.h"
#include "monitor/measures.h"
#include "session/rule_states.h"
#include "host/host_services.h"

namespace vimo {

class HistoryStore;
class HistoryWriter;
struct HistoryEntry;

struct PendingRequest {
    SPModbus::tab_type table = SPModbus::BITS;
    int first = 0;
    int count = 0;
};

class DeviceServices : public HostServices {
public:
    DeviceServices(uint32_t data_id, std::string name, HistoryStore* history);

    // Requests are only noted here: the line thread performs the noted request after
    // the device's call has returned, never inside it.
    int ReadBits(SPModbus& device, int first, int count) override;
    int ReadInputRegisters(SPModbus& device, int first, int count) override;
    std::optional<PendingRequest> TakeRequest();

    int SendSP(VimoVDevice& device, int data_id, const unsigned char* data, unsigned int length,
               bool flag) override;
    int SaveDeviceHistory(VimoVDevice& device, const unsigned char* data,
                          unsigned int length) override;
    bool CheckAOReport(VimoVDevice& device, const std::string& name, float value) override;
    int CheckThresholdBool(VimoVDevice& device, int kind, const std::string& id1,
                           const std::string& id2, const std::string& name1,
                           const std::string& name2, bool state, unsigned short seq) override;
    bool DoBatchCheckThreshold(VimoVDevice& device, const std::vector<rule_value>& rules) override;
    int DeviceIoControl(VimoVDevice& device, int code, const void* input, int input_length,
                        void* output, int output_capacity, int& output_length) override;

    // While replaying a stored round (the start-up load, `vimohost history`), the
    // round completion it causes stores nothing and reports no alarm.
    void SetReplaying(bool replaying) { replaying_ = replaying; }
    // Where rounds and alarms are stored from now on (null: nowhere). With a writer,
    // they are handed to it and the line thread goes on at once; without, they are
    // written before the call returns.
    void AttachHistory(HistoryStore* history, HistoryWriter* writer = nullptr) {
        history_ = history;
        writer_ = writer;
    }
    // Takes the alarm states the history knows, so that a restart does not raise again.
    void RestoreAlarms();
    // With a writer, a round's record waits after SaveDeviceHistory until the round is
    // over: TakeRound gives it to the line thread, which publishes it with the round
    // (the history's subscriber stores it with the monitor's figures of that record).
    // FlushRound hands a waiting record to the writer as it is (a round cut short).
    std::optional<HistoryEntry> TakeRound();
    void FlushRound();

    const std::string& name() const { return name_; }
    uint32_t data_id() const { return data_id_; }
    // Rounds whose transaction has committed.
    int64_t rounds_stored() const;
    std::vector<unsigned char> LatestRecord() const;

private:
    bool Store(HistoryEntry entry, const char* what);
    bool Track(const VimoVDevice& device, const std::string& rule_id, const std::string& rule,
               bool active);

    const uint32_t data_id_;
    const std::string name_;
    HistoryStore* history_;
    HistoryWriter* writer_ = nullptr;
    bool replaying_ = false;
    std::optional<PendingRequest> pending_;
    std::optional<HistoryEntry> round_entry_;  // line thread only
    int64_t rounds_stored_ = 0;
    std::map<std::string, float> ao_reported_;
    // The latest record and the alarm states, so that a thread other than the line's
    // may read them; the summary reads the status document instead.
    mutable novex::Mutex mutex_;
    RuleStates rules_ GUARDED_BY(mutex_);
    std::vector<unsigned char> latest_record_ GUARDED_BY(mutex_);
};

}  // namespace vimo
