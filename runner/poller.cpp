#include "poller.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>

#include "console.h"
#include "status_output.h"

namespace vimo {

namespace {

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

// Slightly past the clock's next whole second.
std::chrono::milliseconds UntilNextSecond() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto into = now - std::chrono::duration_cast<std::chrono::seconds>(now);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::seconds(1) - into) +
           std::chrono::milliseconds(1);
}

bool SameSerialSettings(const LineSettings& a, const LineSettings& b) {
    return a.transport == b.transport && a.baud == b.baud && a.parity == b.parity &&
           a.data_bits == b.data_bits && a.stop_bits == b.stop_bits;
}

}  // namespace

bool Poller::Setup(const std::vector<DeviceSession*>& sessions, const PollSettings& settings,
                   std::string& error) {
    settings_ = settings;
    several_devices_ = sessions.size() > 1;
    for (DeviceSession* session : sessions) {
        const LineSettings wanted = session->Line();
        Line* line = nullptr;
        for (auto& existing : lines_) {
            const LineSettings& have = existing->transport->settings();
            if (have.transport == wanted.transport && have.port == wanted.port) line = existing.get();
        }
        // Speed, parity and framing mean nothing to a TCP endpoint.
        if (line && wanted.transport == "rtu" &&
            !SameSerialSettings(line->transport->settings(), wanted)) {
            error = "devices " + line->devices.front().session->config().name + " and " +
                    session->config().name + " share " + wanted.port +
                    " but not its speed, parity, data bits or stop bits";
            return false;
        }
        if (!line) {
            lines_.push_back(std::make_unique<Line>());
            line = lines_.back().get();
            line->transport = MakeLine(wanted);
        }
        Device device;
        device.session = session;
        line->devices.push_back(device);
    }
    return true;
}

Poller::~Poller() {
    Stop();
    Join();
}

void Poller::Start() {
    const auto now = std::chrono::steady_clock::now();
    for (auto& line : lines_) {
        for (Device& d : line->devices) d.due = now;
        ++running_;
        line->thread = std::thread([this, l = line.get()] {
            Serve(*l);
            --running_;
            std::lock_guard<std::mutex> lock(mutex_);
            wake_.notify_all();
        });
    }
}

void Poller::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    wake_.notify_all();
}

void Poller::Join() {
    for (auto& line : lines_)
        if (line->thread.joinable()) line->thread.join();
}

bool Poller::Wait(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_until(lock, until, [this] { return stop_.load(); });
    return !stop_;
}

std::string Poller::StatusPath(const DeviceSession& session) const {
    if (settings_.status_out.empty()) return "";
    return several_devices_ ? settings_.status_out + "." + std::to_string(session.config().data_id)
                            : settings_.status_out;
}

void Poller::PublishLoaded(DeviceSession& session, const std::string& what) {
    for (auto& line : lines_)
        for (Device& d : line->devices)
            if (d.session == &session) d.loaded_second = std::time(nullptr);
    PublishStatus(session, StatusPath(session), what);
}

void Poller::Account(Device& d, const RoundResult& result) {
    const std::string& name = d.session->config().name;
    const std::string round = "round " + std::to_string(d.attempts);
    if (result.stopped) return;
    if (result.completed) {
        ++d.completed;
        d.failures_in_row = 0;
        PublishStatus(*d.session, StatusPath(*d.session), round + " in " + Seconds(result.seconds));
        if (settings_.rounds > 0 && d.completed >= settings_.rounds) d.done = true;
        return;
    }
    ++d.failed;
    ++d.failures_in_row;
    if (result.port_unavailable)
        Say("[" + name + "] " + round + ": " + result.error + "; retrying next round");
    else
        Say("[" + name + "] " + round + " failed after " + Seconds(result.seconds) + ": " +
            result.error);
    if (settings_.max_failures > 0 && d.failures_in_row >= settings_.max_failures) {
        Say("[" + name + "] giving up after " + std::to_string(d.failures_in_row) +
            " failed rounds in a row");
        gave_up_ = true;
        Stop();
    }
}

void Poller::Serve(Line& line) {
    using Clock = std::chrono::steady_clock;
    while (!stop_) {
        Device* next = nullptr;
        for (Device& d : line.devices)
            if (!d.done && (!next || d.due < next->due)) next = &d;
        if (!next) break;
        if (!Wait(next->due)) break;
        // The device rebuilds its status document only for a round that completes in
        // another clock second than the one before it. The loaded round completed just
        // now: a first round within the same second would leave its figures on show.
        if (next->loaded_second == std::time(nullptr)) {
            next->due = Clock::now() + UntilNextSecond();
            continue;
        }
        next->loaded_second = -1;
        ++next->attempts;
        line.transport->SetTimeout(next->session->Line().timeout_ms);
        const RoundResult result = next->session->Poll(*line.transport, &stop_);
        Account(*next, result);
        // Rounds start one interval apart; one that overran starts the next at once.
        next->due += std::chrono::milliseconds(next->session->interval_ms());
        const Clock::time_point now = Clock::now();
        if (next->due < now) next->due = now;
    }
    line.transport->Close();
    if (settings_.before_totals) settings_.before_totals();
    for (const Device& d : line.devices)
        Say("[" + d.session->config().name + "] " + std::to_string(d.completed) +
            " rounds completed, " + std::to_string(d.failed) + " failed, " +
            std::to_string(d.session->host().rounds_stored()) + " stored");
}

}  // namespace vimo
