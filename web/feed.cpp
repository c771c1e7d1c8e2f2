#include "web/feed.h"

#include "common/command_line.h"
#include "common/console.h"
#include "web/web_config.h"

namespace vimo {

namespace web = novex::web;

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
    options_.log = [](const std::string& line) { Say("vimohost: web: " + line); };
    novex::web::WebConfig config;
    if (file.empty() || !novex::web::LoadWebConfig(file, config, error)) return file.empty();
    if (config.tls && !novex::tls::ServerTls::Create(config.tls_settings, error)) {
        error = file + ": " + error;
        return false;
    }
    return true;
}

bool WebFeed::Start(PublishedState& board, const std::vector<double>& loss_windows,
                    std::string& error) {
    board_ = &board;
    const std::vector<Snapshot> all = board.Snapshots();
    for (size_t i = 0; i < all.size() && i < loss_windows.size(); ++i)
        SetLossWindow(all[i]->data_id, loss_windows[i]);
    // "vimohost 1.0.0 (git abc1234)": the label holds what follows the name.
    const std::string line = novexcli::VersionLine("vimohost");
    version_ = line.substr(line.find(' ') + 1);
    board.Subscribe([this](const Snapshot& now, const Snapshot& before) { Take(now, before); });
    server_ = web::HttpServer::Start(*this, options_, error);
    return server_ != nullptr;
}

void WebFeed::SetLossWindow(uint32_t data_id, double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    loss_windows_[data_id] = seconds;
}

void WebFeed::Stop() { server_.reset(); }

std::string WebFeed::Address() const { return server_ ? server_->address() : options_.listen; }

// On the line thread, after each publish: a completed round adds its duration.
void WebFeed::Take(const Snapshot& now, const Snapshot& before) {
    const uint64_t completed_before = before ? before->rounds_completed : 0;
    if (now->rounds_completed <= completed_before || now->stale) return;
    std::lock_guard<std::mutex> lock(mutex_);
    durations_[now->data_id].Add(now->last_round_seconds);
}

web::HostState WebFeed::State() const {
    web::HostState state;
    state.version = version_;
    if (!board_) return state;
    if (hook_counters_) hook_counters_(state.hook_runs, state.hook_failures);
    const std::vector<Snapshot> snapshots = board_->Snapshots();
    state.devices.reserve(snapshots.size());
    // A device that has had no window set (none should) counts as lost after 10 s.
    constexpr double kDefaultLossWindow = 10.0;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Snapshot& s : snapshots) {
        const auto window = loss_windows_.find(s->data_id);
        const auto durations = durations_.find(s->data_id);
        state.devices.push_back({s, window == loss_windows_.end() ? kDefaultLossWindow : window->second,
                                 durations == durations_.end() ? web::RoundDurations()
                                                               : durations->second});
    }
    return state;
}

}  // namespace vimo
