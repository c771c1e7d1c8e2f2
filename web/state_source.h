// What the HTTP server reads: the published snapshots, vimohost's own counters and,
// when vimohost keeps history, the stored readings and alarm events. The server only
// reads through these interfaces; an implementation hands out copies of shared
// pointers under a short lock, so no request can hold up a line thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "monitor/battery_low.h"
#include "monitor/snapshot.h"

namespace novex {
namespace web {

// Upper bounds of the round duration histogram's buckets, in seconds; a last bucket
// without a bound counts the rest.
constexpr size_t kRoundDurationBoundCount = 10;
extern const double kRoundDurationBounds[kRoundDurationBoundCount];

// How long a device's rounds took: counts per bucket (not cumulative), their sum.
struct RoundDurations {
    std::array<uint64_t, kRoundDurationBoundCount + 1> counts{};
    double sum_seconds = 0.0;
    void Add(double seconds);
    uint64_t Count() const;
};

struct DeviceMetrics;  // web/metrics.h

// One device as the server sees it.
struct DeviceState {
    std::shared_ptr<const monitor::DeviceSnapshot> snapshot;  // never null
    // A device whose last completed round is older than this is unhealthy (/healthz).
    double loss_window_s = 10.0;
    RoundDurations round_durations;  // completed rounds only
    // Its /metrics series rendered from this snapshot; null: rendered when asked.
    std::shared_ptr<const DeviceMetrics> metrics = nullptr;
    // Its "battery_charge_low" and "battery_runtime_low", for ups_battery_low.
    monitor::LowBatteryLimits battery_limits{};
    // Epoch seconds of the first round on battery of the current run on battery; 0: not on
    // battery (or not seen to go there).
    int64_t on_battery_since = 0;
};

// One notification channel's counters (notify/notifier.h).
struct NotifyChannelState {
    std::string name;
    std::string kind;  // "smtp", "webhook", "syslog"
    uint64_t queued = 0;
    uint64_t sent = 0;
    uint64_t failed = 0;
    uint64_t dropped = 0;
    bool failing = false;  // its last try failed
    std::string last_error;  // why, "" when it worked
    std::string test;        // the page's last test: "sending", "sent", "failed: why"; ""
    int64_t test_time = 0;   // epoch seconds it was asked for
};

// How the page's test button went: started (each channel's state then shows how it
// goes), no channel of that name (or none at all), or a test still under way.
enum class NotifyTest { kStarted, kNoChannel, kBusy };

struct HostState {
    std::vector<DeviceState> devices;  // configuration order
    std::vector<NotifyChannelState> notify_channels;
    uint64_t hook_runs = 0;
    uint64_t hook_failures = 0;
    bool modbus_serving = false;
    // The Modbus server's: clients connected now, requests answered, of them
    // exceptions, connections closed for a bad frame or a deadline (all 0: not serving).
    uint64_t modbus_clients = 0;
    uint64_t modbus_requests = 0;
    uint64_t modbus_exceptions = 0;
    uint64_t modbus_errors = 0;
    std::string version;  // vimohost's, for vimohost_build_info
};

// Stored readings of one device, cut into at most `points` buckets of equal length
// over [since_utc, until_utc); buckets without a reading are left out.
struct ReadingsQuery {
    uint32_t data_id = 0;
    std::vector<size_t> measures;  // into monitor::Measures()
    int64_t since_utc = 0;
    int64_t until_utc = 0;
    size_t points = 0;
};
struct ReadingBucket {
    int64_t start_utc = 0;
    int64_t end_utc = 0;
    double min = 0.0, mean = 0.0, max = 0.0;
    uint32_t count = 0;  // readings in the bucket
    bool minutes = false;  // some from minute aggregates: the rounds of then are gone
};
struct ReadingSeries {
    size_t measure = 0;  // into monitor::Measures()
    std::vector<ReadingBucket> buckets;  // oldest first
};

// Alarm events of one device: a raise and, once it happened, its clear. Returned are
// the events whose span (raise to clear, or to now while active) meets
// [since_utc, until_utc); with `active_only` only those not cleared. At most
// `max_events`, the oldest raises; `truncated` tells that the span held more.
constexpr size_t kMaxEventsPerAnswer = 2000;
struct EventsQuery {
    uint32_t data_id = 0;
    int64_t since_utc = 0;
    int64_t until_utc = 0;
    bool active_only = false;
    size_t max_events = kMaxEventsPerAnswer;
};
struct AlarmEvent {
    monitor::AlarmIndex alarm = 0;  // into monitor::Alarms()
    int64_t raised_utc = 0;
    int64_t cleared_utc = 0;  // 0 while active
};
struct EventList {
    std::vector<AlarmEvent> events;  // oldest raise first
    bool truncated = false;
};

class HistoryReader {
public:
    virtual ~HistoryReader() = default;
    // One series per query measure, in query order; false with a one-line error.
    virtual bool Readings(const ReadingsQuery& query, std::vector<ReadingSeries>& out,
                          std::string& error) const = 0;
    // False with a one-line error.
    virtual bool Events(const EventsQuery& query, EventList& out, std::string& error) const = 0;
};

// A snapshot's status document (command 801), made from its record when asked:
// snapshots keep the record, not the text.
class DocumentSource {
public:
    virtual ~DocumentSource() = default;
    // False with a one-line error.
    virtual bool Document(const monitor::DeviceSnapshot& snapshot, std::string& text,
                          std::string& error) const = 0;
};

class StateSource {
public:
    virtual ~StateSource() = default;
    virtual HostState State() const = 0;
    // The state for a /metrics scrape, which tells the source that series are wanted
    // (and compressed, with `gzip`): it may then render them ahead, once per round.
    virtual HostState MetricsState(bool gzip) const {
        (void)gzip;
        return State();
    }
    // Null when vimohost keeps no history: readings and events then answer 503.
    virtual const HistoryReader* History() const = 0;
    // Null when no plug-in makes documents: the document then answers 503.
    virtual const DocumentSource* Documents() const { return nullptr; }
    // The page's test button: a test message through every notification channel, or
    // the one named ("" for all), sent in the background.
    virtual NotifyTest StartNotifyTest(const std::string& channel) const {
        (void)channel;
        return NotifyTest::kNoChannel;
    }
};

}  // namespace web
}  // namespace novex
