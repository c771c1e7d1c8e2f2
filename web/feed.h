// The web face (--listen): the HTTP server reading the board of snapshots and, when
// vimohost keeps history, the stored readings and events. It never touches a device
// or a line: a request copies snapshot pointers under the board's short slot locks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/thread_annotations.h"
#include "web/http_server.h"
#include "web/scrape_rhythm.h"
#include "board/snapshot_board.h"
#include "web/state_source.h"

namespace novex {
namespace web {

class WebFeed : public novex::web::StateSource, public vimo::BoardSubscriber {
public:
    // Checks the listen address and the token file (readable, owner-only). Null with a
    // one-line error: bad options, nothing bound yet.
    static std::unique_ptr<WebFeed> Create(const std::string& listen, const std::string& token_file,
                                           std::string& error);
    // The web configuration (--web-config): read and checked now, certificates too, and
    // used from Start on. False with a one-line error.
    bool SetWebConfig(const std::string& file, std::string& error);
    ~WebFeed() override;  // Stop()
    WebFeed(const WebFeed&) = delete;
    WebFeed& operator=(const WebFeed&) = delete;

    // Subscribes to the board (round durations) and starts listening. Before any line
    // thread starts. False with a one-line error when the address cannot be bound.
    bool Start(vimo::SnapshotBoard& board, std::string& error);
    // A device's low-battery limits, for ups_battery_low (any time; before Start too).
    void SetBatteryLimits(uint32_t data_id, const novex::monitor::LowBatteryLimits& limits);
    // Where readings and events come from (null: none, they answer 503). At any time:
    // the history is opened after the listener, whose address is checked first.
    void AttachHistory(const novex::web::HistoryReader* history) { history_.store(history); }
    // What makes the status documents (null: none, they answer 503). At any time.
    void AttachDocuments(const novex::web::DocumentSource* documents) { documents_.store(documents); }
    // Where the hook counters of /metrics come from (empty: none, both 0). Before Start.
    using HookCounters = std::function<void(uint64_t& runs, uint64_t& failures)>;
    void SetHookCounters(HookCounters counters) { hook_counters_ = std::move(counters); }
    // Where the Modbus server's counters of /metrics come from (empty: none, all 0).
    // Before Start.
    using StateFiller = std::function<void(novex::web::HostState& state)>;
    void SetModbusCounters(StateFiller counters) { modbus_counters_ = std::move(counters); }
    // Where the notification channels' counters come from (empty: none). Before Start.
    void SetNotifyCounters(StateFiller counters) { notify_counters_ = std::move(counters); }
    // What the page's test button starts (empty: there are no channels). Before Start.
    using NotifyTester = std::function<novex::web::NotifyTest(const std::string& channel)>;
    void SetNotifyTester(NotifyTester tester) { notify_tester_ = std::move(tester); }
    // Stops listening and waits for the requests in progress.
    void Stop();
    // "127.0.0.1:8080" as bound.
    std::string Address() const;
    // "https" or "http", as the listener speaks.
    std::string Scheme() const { return server_ && server_->https() ? "https" : "http"; }

    novex::web::HostState State() const override;
    // Also, from the first scrape on, renders each device's series as it publishes
    // (compressed too, once a scraper has asked for gzip).
    novex::web::HostState MetricsState(bool gzip) const override;
    const novex::web::HistoryReader* History() const override { return history_.load(); }
    const novex::web::DocumentSource* Documents() const override { return documents_.load(); }
    novex::web::NotifyTest StartNotifyTest(const std::string& channel) const override {
        return notify_tester_ ? notify_tester_(channel) : novex::web::NotifyTest::kNoChannel;
    }

private:
    WebFeed() = default;
    // On the publishing line thread: a completed round adds its duration, and once
    // /metrics is scraped the device's series are rendered here (ScrapeRhythm).
    void Take(const vimo::BoardUpdate& update) override;

    novex::web::ServerOptions options_;
    vimo::SnapshotBoard* board_ = nullptr;
    std::atomic<const novex::web::HistoryReader*> history_{nullptr};
    std::atomic<const novex::web::DocumentSource*> documents_{nullptr};
    // By data id, since a reload adds and removes devices; held to add or copy.
    mutable novex::Mutex mutex_;
    std::unordered_map<uint32_t, novex::monitor::LowBatteryLimits> battery_limits_ GUARDED_BY(mutex_);
    std::unordered_map<uint32_t, int64_t> on_battery_since_ GUARDED_BY(mutex_);  // epoch seconds
    std::unordered_map<uint32_t, novex::web::RoundDurations> durations_ GUARDED_BY(mutex_);
    // Each device's /metrics series and the snapshot they were rendered from (weakly:
    // the snapshot's document is not kept for them).
    struct Rendered {
        std::weak_ptr<const novex::monitor::DeviceSnapshot> snapshot;
        std::shared_ptr<const novex::web::DeviceMetrics> metrics;
    };
    mutable std::unordered_map<uint32_t, Rendered> metrics_ GUARDED_BY(mutex_);
    mutable std::atomic<bool> metrics_wanted_{false};
    mutable std::atomic<bool> gzip_wanted_{false};
    mutable novex::web::ScrapeRhythm rhythm_;
    std::string version_;
    HookCounters hook_counters_;
    StateFiller modbus_counters_;
    StateFiller notify_counters_;
    NotifyTester notify_tester_;
    std::unique_ptr<novex::web::HttpServer> server_;
};

}  // namespace web
}  // namespace novex
