#include "web/feed.h"

#include <unordered_set>

#include "core/command_line.h"
#include "common/console.h"
#include "web/metrics.h"
#include "web/web_config.h"

namespace novex {
namespace web {

namespace monitor = novex::monitor;

std::unique_ptr<WebFeed> WebFeed::Create(const std::string& listen, const std::string& token_file,
                                         std::string& error) {
    std::unique_ptr<WebFeed> feed(new WebFeed());
    std::string address, token;
    int port = 0;
    if (!web::ParseListen(listen, address, port, error)) return nullptr;
    if (!token_file.empty() && !web::ReadTokenFile(token_file, token, error)) return nullptr;
    feed->options_.listen = listen;
    feed->options_.token_file = token_file;
    return feed;
}

WebFeed::~WebFeed() { Stop(); }

bool WebFeed::SetWebConfig(const std::string& file, std::string& error) {
    options_.web_config = file;
    options_.log = [](const std::string& line) { vimo::Say("vimohost: web: " + line); };
    novex::web::WebConfig config;
    if (file.empty() || !novex::web::LoadWebConfig(file, config, error)) return file.empty();
    for (const std::string& warning : config.warnings)
        vimo::Say(vimo::Level::kWarning, "vimohost: " + file + ": " + warning);
    if (config.tls && !novex::tls::ServerTls::Create(config.tls_settings, error)) {
        error = file + ": " + error;
        return false;
    }
    return true;
}

bool WebFeed::Start(vimo::SnapshotBoard& board, std::string& error) {
    board_ = &board;
    // "vimohost 1.0.0 (git abc1234)": the label holds what follows the name.
    const std::string line = novex::VersionLine("vimohost");
    version_ = line.substr(line.find(' ') + 1);
    board.Subscribe(*this);
    server_ = web::HttpServer::Start(*this, options_, error);
    return server_ != nullptr;
}

void WebFeed::SetBatteryLimits(uint32_t data_id, const novex::monitor::LowBatteryLimits& limits) {
    novex::MutexLock lock(mutex_);
    battery_limits_[data_id] = limits;
}

void WebFeed::Stop() { server_.reset(); }

std::string WebFeed::Address() const { return server_ ? server_->address() : options_.listen; }

// On the line thread, after each publish: a completed round adds its duration, and
// once /metrics is scraped the device's series are rendered here, once per round
// shortly before the next scrape is due, rather than by every scrape.
void WebFeed::Take(const vimo::BoardUpdate& update) {
    const vimo::Snapshot& now = update.now;
    const uint64_t completed_before = update.before ? update.before->rounds_completed : 0;
    web::DeviceState device{now, 0.0, {}, nullptr};
    {
        novex::MutexLock lock(mutex_);
        web::RoundDurations& durations = durations_[now->data_id];
        if (now->rounds_completed > completed_before && !now->stale)
            durations.Add(now->last_round_seconds);
        device.round_durations = durations;
        // On battery from the first fresh round that shows it; a stale round changes nothing.
        static const size_t kOnBattery = monitor::FindAlarm("run_state.on_battery");
        if (!now->stale && !now->measures.empty()) {
            const bool on_battery = kOnBattery < monitor::kAlarmCount &&
                                    monitor::IsActive(*now, static_cast<monitor::AlarmIndex>(kOnBattery));
            if (!on_battery) on_battery_since_.erase(now->data_id);
            else on_battery_since_.emplace(now->data_id, now->last_round_utc);
        }
        const auto limits = battery_limits_.find(now->data_id);
        if (limits != battery_limits_.end()) device.battery_limits = limits->second;
    }
    if (!metrics_wanted_.load() || !rhythm_.RenderNow(web::ScrapeRhythm::Clock::now())) return;
    std::shared_ptr<const web::DeviceMetrics> previous, metrics;
    {
        novex::MutexLock lock(mutex_);
        const auto found = metrics_.find(now->data_id);
        if (found != metrics_.end()) previous = found->second.metrics;
    }
    try {
        metrics = web::RenderDeviceMetrics(device, gzip_wanted_.load(), previous.get());
    } catch (const std::exception&) {
        // Out of memory or compression refused: the scrape renders the device itself.
    }
    novex::MutexLock lock(mutex_);
    metrics_[now->data_id] = {now, std::move(metrics)};
}

web::HostState WebFeed::State() const {
    web::HostState state;
    state.version = version_;
    if (!board_) return state;
    if (hook_counters_) hook_counters_(state.hook_runs, state.hook_failures);
    if (modbus_counters_) modbus_counters_(state);
    if (notify_counters_) notify_counters_(state);
    const std::vector<vimo::Snapshot> snapshots = board_->Snapshots();
    state.devices.reserve(snapshots.size());
    // A device whose snapshot names no window (none should) counts as lost after 10 s.
    constexpr double kDefaultLossWindow = 10.0;
    novex::MutexLock lock(mutex_);
    for (const vimo::Snapshot& s : snapshots) {
        const auto durations = durations_.find(s->data_id);
        const auto rendered = metrics_.find(s->data_id);
        // Only a rendering of this very snapshot (owner-based: never a later one that
        // happens to have the same address).
        const bool current = rendered != metrics_.end() && !rendered->second.snapshot.owner_before(s) &&
                             !s.owner_before(rendered->second.snapshot);
        state.devices.push_back({s, s->loss_window_s > 0 ? s->loss_window_s : kDefaultLossWindow,
                                 durations == durations_.end() ? web::RoundDurations()
                                                               : durations->second,
                                 current ? rendered->second.metrics : nullptr});
        const auto limits = battery_limits_.find(s->data_id);
        if (limits != battery_limits_.end()) state.devices.back().battery_limits = limits->second;
        const auto since = on_battery_since_.find(s->data_id);
        if (since != on_battery_since_.end()) state.devices.back().on_battery_since = since->second;
    }
    return state;
}

web::HostState WebFeed::MetricsState(bool gzip) const {
    metrics_wanted_ = true;
    if (gzip) gzip_wanted_ = true;
    rhythm_.Scraped(web::ScrapeRhythm::Clock::now());
    web::HostState state = State();
    // Devices a reload removed leave their rendering behind: drop it.
    std::unordered_set<uint32_t> present;
    for (const web::DeviceState& d : state.devices) present.insert(d.snapshot->data_id);
    novex::MutexLock lock(mutex_);
    for (auto it = metrics_.begin(); it != metrics_.end();)
        it = present.count(it->first) ? std::next(it) : metrics_.erase(it);
    return state;
}

}  // namespace web
}  // namespace novex
