// Device history in one SQLite file, shared by all line threads: the rounds, the
// device's rule reports ("alarms") and the alarm events of vimohost's alarm table
// ("events").
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "alarm_event.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vimo {

struct StoredRound {
    int64_t id = 0;
    uint32_t data_id = 0;
    std::string time;  // local time of the round, "YYYY-MM-DD HH:MM:SS"
    std::vector<unsigned char> record;
};

// A raise or clear of one of the device's own alarm rules (CheckThresholdBool,
// DoBatchCheckThreshold), recorded as the device reports it.
struct RuleEvent {
    uint32_t data_id = 0;
    std::string time;
    std::string rule_id;
    std::string rule;
    bool raised = false;
};

class HistoryStore {
public:
    // Opens the file, creating it unless `must_exist`; null with a one-line error.
    static std::unique_ptr<HistoryStore> Open(const std::string& path, bool must_exist,
                                              std::string& error);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    bool AddRound(uint32_t data_id, const std::string& time, const unsigned char* data,
                  size_t length, std::string& error);
    bool AddAlarm(const RuleEvent& event, std::string& error);
    // One alarm event, with its time as UTC epoch seconds and as local ISO 8601 text.
    bool AddEvent(const AlarmEvent& event, std::string& error);

    std::optional<StoredRound> Newest(uint32_t data_id);
    std::optional<StoredRound> Round(int64_t id);
    // The newest `last` rounds (all for 0), oldest first, without their records;
    // `data_id` null: every device.
    std::vector<StoredRound> List(const std::optional<uint32_t>& data_id, int64_t last);
    int64_t CountRounds(const std::optional<uint32_t>& data_id);
    std::vector<RuleEvent> Alarms(uint32_t data_id);
    // The device's alarm events, oldest first.
    std::vector<AlarmEvent> Events(uint32_t data_id);
    // The alarm ids whose last event is a raise: the alarms active when vimohost stopped.
    std::vector<std::string> ActiveAlarms(uint32_t data_id);
    // The last state of every rule that has an event, by (rule id, rule).
    std::map<std::pair<std::string, std::string>, bool> AlarmStates(uint32_t data_id);

private:
    HistoryStore() = default;
    bool Exec(const char* sql, std::string& error);
    sqlite3_stmt* Prepare(const char* sql);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace vimo
