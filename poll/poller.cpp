#include "poll/poller.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <system_error>

#include "common/console.h"
#include "session/round_time.h"
#include "common/thread_name.h"

namespace vimo {

namespace {

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

// The device tells rounds apart by time() (its round time comes from the second
// clock), which lags the precise clock by up to a tick. Until `second` + 1 by that
// clock: computed on the precise clock, and a few milliseconds once that has passed
// but time() has not turned yet, never a whole second more.
std::chrono::milliseconds UntilAfterSecond(std::time_t second) {
    const auto turn = std::chrono::system_clock::from_time_t(second + 1);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        turn - std::chrono::system_clock::now());
    constexpr std::chrono::milliseconds kTick{2};
    return std::max(left + std::chrono::milliseconds(1), kTick);
}

using Clock = std::chrono::steady_clock;

// A round that fails at once (a refused connection, a missing port) would be tried
// again at once on a short interval, thousands of times a second. From the second
// failed round in a row the next waits kFirstBackoff, twice that after each further
// failure, at most kMaxBackoff: a device polled once a second or slower is not slowed.
constexpr std::chrono::milliseconds kFirstBackoff{10};
constexpr std::chrono::milliseconds kMaxBackoff{1000};
// How long a line thread that ends waits for the board's subscribers.
constexpr std::chrono::seconds kDrainWait{10};

DeviceMonitor::Moment Now() {
    return {Clock::now(), static_cast<int64_t>(std::time(nullptr))};
}

// "/dev/ttyUSB0 9600 8N1 slave 1" or "tcp 127.0.0.1:502 slave 1".
std::string DescribeLine(const LineSettings& s, int slave) {
    const std::string tail = " slave " + std::to_string(slave);
    if (s.transport == "tcp") return "tcp " + s.port + tail;
    return s.port + " " + std::to_string(s.baud) + " " + std::to_string(s.data_bits) + s.parity +
           std::to_string(s.stop_bits) + tail;
}

// Epoch seconds of a stored local time text; the present time when it is no time.
int64_t StoredTime(const std::string& text) {
    ttime_t t{};
    if (!ParseTimeText(text, t)) return static_cast<int64_t>(std::time(nullptr));
    std::tm local{};
    local.tm_year = t.year - 1900;
    local.tm_mon = t.month - 1;
    local.tm_mday = t.day;
    local.tm_hour = t.hour;
    local.tm_min = t.minute;
    local.tm_sec = t.second;
    local.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&local));
}

bool SameSerialSettings(const LineSettings& a, const LineSettings& b) {
    return a.transport == b.transport && a.baud == b.baud && a.parity == b.parity &&
           a.data_bits == b.data_bits && a.stop_bits == b.stop_bits && a.rs485 == b.rs485;
}

}  // namespace

bool Poller::Check(const std::vector<DeviceSession*>& sessions, bool resolve, std::string& error) {
    for (size_t i = 0; i < sessions.size(); ++i) {
        const LineSettings wanted = sessions[i]->Line();
        const DeviceSession* first = nullptr;  // the first device before it on its port
        for (size_t k = 0; k < i && !first; ++k) {
            const LineSettings have = sessions[k]->Line();
            if (have.transport == wanted.transport && have.port == wanted.port) first = sessions[k];
        }
        // Speed, parity, framing and RS-485 mode mean nothing to a TCP endpoint.
        if (first && wanted.transport == "rtu" && !SameSerialSettings(first->Line(), wanted)) {
            error = "devices " + first->config().name + " and " + sessions[i]->config().name +
                    " share " + wanted.port + " but not its speed, parity, data bits, stop bits or rs485";
            return false;
        }
        std::string why;
        if (!first && resolve && wanted.transport == "tcp" && !MakeLine(wanted)->Check(why)) {
            error = wanted.port + ": " + why;
            return false;
        }
    }
    return true;
}

bool Poller::Setup(const std::vector<DeviceSession*>& sessions, const PollSettings& settings,
                   std::string& error) {
    settings_ = settings;
    if (!settings_.board) {
        error = "no board to publish on";
        return false;
    }
    // Checked whole before any device takes a slot on the board, so that a refusal
    // leaves none behind.
    if (!Check(sessions, false, error)) return false;
    for (DeviceSession* session : sessions) {
        const LineSettings wanted = session->Line();
        Line* line = nullptr;
        for (auto& existing : lines_) {
            const LineSettings& have = existing->transport->settings();
            if (have.transport == wanted.transport && have.port == wanted.port) line = existing.get();
        }
        if (!line) {
            lines_.push_back(std::make_unique<Line>());
            line = lines_.back().get();
            line->transport = MakeLine(wanted);
        }
        Device device;
        device.session = session;
        const PortSettings& port = session->device().port_settings;
        const MonitorSettings rule{port.comm_loss_rounds, port.comm_loss_intervals,
                                   port.interval_ms};
        novex::monitor::DeviceSnapshot first;
        first.device_name = session->config().name;
        first.data_id = session->config().data_id;
        first.line = DescribeLine(wanted, session->slave());
        first.loss_window_s = std::chrono::duration<double>(CommLossWindow(rule)).count();
        device.slot = settings_.board->AddDevice(std::move(first));
        device.monitor = std::make_unique<DeviceMonitor>(settings_.board->Get(device.slot), rule);
        line->devices.push_back(std::move(device));
    }
    return true;
}

bool Poller::Claim(std::string& error) {
    for (auto& line : lines_) {
        // A host that does not resolve would fail every round as if it were down.
        std::string why;
        if (!line->transport->Check(why)) {
            error = line->transport->Describe() + ": " + why;
            return false;
        }
        if (line->transport->settings().transport != "rtu") continue;
        bool in_use = false;
        // A port that cannot be opened now may come back (an adapter plugged in
        // later) and is retried every round; one that another program holds, or that
        // refuses its RS-485 mode, is not.
        if (!line->transport->Open(why, &in_use) && in_use) {
            error = "serial port " + line->transport->settings().port + ": " + why;
            return false;
        }
    }
    return true;
}

Poller::~Poller() {
    Stop();
    Join();
}

bool Poller::Start(std::string& error) {
    const auto now = std::chrono::steady_clock::now();
    for (auto& line : lines_) {
        for (Device& d : line->devices) {
            d.due = now;
            d.monitor->Start(now);
        }
        ++running_;
        try {
            line->thread = std::thread([this, l = line.get()] {
                NameThisThread("line");
                if (WaitForGo()) Serve(*l);
                --running_;
                {
                    novex::MutexLock lock(mutex_);
                    wake_.notify_all();
                }
                if (settings_.after_end) settings_.after_end();
            });
        } catch (const std::system_error& e) {
            --running_;
            error = "cannot start a thread for " + line->transport->Describe() + ": " + e.what();
            Stop();
            Join();
            return false;
        }
    }
    return true;
}

void Poller::Go() {
    novex::MutexLock lock(mutex_);
    go_ = true;
    wake_.notify_all();
}

// Whether the thread may poll: false when it was stopped before Go.
bool Poller::WaitForGo() {
    novex::MutexLock lock(mutex_);
    novex::CondLock waiting(mutex_);
    while (!go_ && !stop_) wake_.wait(waiting.get());
    return go_;
}

void Poller::Stop() {
    novex::MutexLock lock(mutex_);
    stop_ = true;
    wake_.notify_all();
}

bool Poller::Responsive(Clock::time_point now) const {
    const int64_t ticks = now.time_since_epoch().count();
    for (const auto& line : lines_) {
        const int64_t deadline = line->round_deadline.load();
        if (deadline != 0 && ticks > deadline) return false;
    }
    return true;
}

std::vector<size_t> Poller::Slots() const {
    std::vector<size_t> out;
    for (const auto& line : lines_)
        for (const Device& d : line->devices) out.push_back(d.slot);
    return out;
}

void Poller::Join() {
    for (auto& line : lines_)
        if (line->thread.joinable()) line->thread.join();
}

bool Poller::Wait(std::chrono::steady_clock::time_point until) {
    novex::MutexLock lock(mutex_);
    novex::CondLock waiting(mutex_);
    while (!stop_ && wake_.wait_until(waiting.get(), until) != std::cv_status::timeout) {
    }
    return !stop_;
}

Poller::Device* Poller::Find(const DeviceSession& session) {
    for (auto& line : lines_)
        for (Device& d : line->devices)
            if (d.session == &session) return &d;
    return nullptr;
}

void Poller::RestoreAlarms(DeviceSession& session, const std::vector<std::string>& active_ids) {
    if (Device* d = Find(session)) d->monitor->Restore(active_ids);
}

void Poller::RestoreEnergy(DeviceSession& session, const novex::monitor::OutputEnergy& energy) {
    if (Device* d = Find(session)) d->monitor->RestoreEnergy(energy);
}

void Poller::PublishLoaded(DeviceSession& session, const std::string& time) {
    Device* d = Find(session);
    if (!d) return;
    d->loaded_second = std::time(nullptr);
    BoardUpdate loaded;
    loaded.loaded_time = time;
    Publish(*d, d->monitor->Loaded(session.services().LatestRecord(), {Clock::now(), StoredTime(time)}),
            BoardUpdate::Kind::kLoaded, std::move(loaded));
}

void Poller::Publish(Device& d, DeviceMonitor::Update update, BoardUpdate::Kind kind,
                     BoardUpdate out, bool shows_change) {
    if (!update.snapshot) return;
    if (settings_.documents && shows_change) {
        // The device shows the last round that completed until another completes.
        auto document = std::make_shared<std::string>();
        std::string error;
        if (!d.session->Document(*document, error)) {
            Say(Level::kWarning, "[" + d.session->config().name + "] " + error);
            document->clear();
        }
        out.document = std::move(document);
    }
    out.kind = kind;
    out.now = std::move(update.snapshot);
    out.events = std::move(update.events);
    settings_.board->Publish(d.slot, std::move(out));
}

void Poller::Account(Device& d, const RoundResult& result) {
    if (result.stopped) {
        d.session->services().FlushRound();  // the record of a round cut short goes as it is
        return;
    }
    BoardUpdate out;
    out.round = d.attempts;
    if (std::optional<HistoryEntry> kept = d.session->services().TakeRound())
        out.kept = KeptRecord{std::move(kept->local), kept->utc, std::move(kept->record)};
    if (result.completed) {
        ++d.completed;
        d.failures_in_row = 0;
        Publish(d, d.monitor->Completed(d.session->services().LatestRecord(), result.seconds, Now()),
                BoardUpdate::Kind::kCompleted, std::move(out));
        if (settings_.rounds > 0 && d.completed >= settings_.rounds) d.done = true;
        return;
    }
    ++d.failed;
    ++d.failures_in_row;
    out.first_failure = d.failures_in_row == 1;
    out.port_unavailable = result.port_unavailable;
    const bool was_lost = d.monitor->lost();
    DeviceMonitor::Update update = d.monitor->Failed(result.error, result.seconds, Now());
    Publish(d, std::move(update), BoardUpdate::Kind::kFailed, std::move(out),
            d.monitor->lost() != was_lost);
}

void Poller::GiveUpIfDue(const Device& d) {
    if (settings_.max_failures <= 0 || d.failures_in_row < settings_.max_failures) return;
    Say(Level::kError, "[" + d.session->config().name + "] giving up after " +
                           std::to_string(d.failures_in_row) + " failed rounds in a row");
    gave_up_ = true;
    Stop();
}

// A serial line cannot carry rounds faster than their bytes take on the wire: an
// interval shorter than that is said once, with the period the rounds will keep.
void Poller::SayWireTime(Device& d, const RoundResult& result) {
    const double interval = d.session->interval_ms() / 1000.0;
    if (d.wire_said || interval <= 0 || result.wire_seconds <= interval) return;
    d.wire_said = true;
    const LineSettings line = d.session->Line();
    Say(Level::kWarning, "[" + d.session->config().name + "] the interval of " +
                             std::to_string(d.session->interval_ms()) + " ms is shorter than a round's " +
                             Seconds(result.wire_seconds) + " on the wire at " +
                             std::to_string(line.baud) + " baud " + std::to_string(line.data_bits) +
                             line.parity + std::to_string(line.stop_bits) +
                             ": rounds come at most every " + Seconds(result.wire_seconds));
}

// ", a round every 1.236 s": the period the device's polled rounds kept.
std::string Poller::Period(const Device& d) {
    if (d.attempts < 2) return "";
    const double span = std::chrono::duration<double>(d.last_start - d.first_start).count();
    return ", a round every " + Seconds(span / static_cast<double>(d.attempts - 1));
}

void Poller::BackOff(Device& d, const RoundResult& result) {
    if (result.completed) d.backoff_said = false;
    if (result.completed || result.stopped || d.failures_in_row < 2) return;
    const int64_t doublings = std::min<int64_t>(d.failures_in_row - 2, 16);
    const auto wait = std::min(kFirstBackoff * (int64_t{1} << doublings), kMaxBackoff);
    if (d.due >= Clock::now() + wait) return;
    d.due = Clock::now() + wait;
    if (d.backoff_said) return;
    d.backoff_said = true;
    Say("[" + d.session->config().name + "] rounds keep failing: the next ones wait up to " +
        Seconds(std::chrono::duration<double>(kMaxBackoff).count()) +
        " apart until one completes");
}

Clock::time_point Poller::CheckCommunication(Line& line) {
    Clock::time_point earliest = Clock::time_point::max();
    for (Device& d : line.devices) {
        Publish(d, d.monitor->Check(Now()), BoardUpdate::Kind::kLost);
        earliest = std::min(earliest, d.monitor->Deadline());
    }
    return earliest;
}

void Poller::Serve(Line& line) {
    while (!stop_) {
        // The time rule is checked on every pass, so a line whose rounds fail slowly
        // still raises communication_lost in time.
        const Clock::time_point deadline = CheckCommunication(line);
        Device* next = nullptr;
        for (Device& d : line.devices)
            if (!d.done && (!next || d.due < next->due)) next = &d;
        if (!next) break;
        if (!Wait(std::min(next->due, deadline))) break;
        if (Clock::now() < next->due) continue;  // woken for a deadline
        // The device rebuilds its status document only for a round that completes in
        // another clock second than the one before it. The loaded round completed just
        // now: a first round within the same second would leave its figures on show.
        if (next->loaded_second >= std::time(nullptr)) {
            next->due = Clock::now() + UntilAfterSecond(next->loaded_second);
            continue;
        }
        next->loaded_second = -1;
        ++next->attempts;
        next->last_start = Clock::now();
        if (next->attempts == 1) next->first_start = next->last_start;
        const LineSettings device_line = next->session->Line();
        line.transport->SetTimeout(device_line.timeout_ms);
        line.transport->SetRetries(device_line.retries);
        // A round is some twenty requests, each tried retries + 1 times; far more than
        // that (a minute on top) means the thread is stuck.
        const auto longest = std::chrono::milliseconds(
            int64_t{device_line.timeout_ms} * (device_line.retries + 1) * 32 + 60000);
        line.round_deadline = (Clock::now() + longest).time_since_epoch().count();
        RoundResult result = next->session->Poll(*line.transport, &stop_);
        line.round_deadline = 0;
        // A round that fails once a stop was asked for was cut short by whatever stops
        // us (a service manager stops the UPS's gateway or simulator too): unfinished,
        // neither completed nor failed.
        if (!result.completed && stop_) result.stopped = true;
        Account(*next, result);
        if (result.completed) SayWireTime(*next, result);
        if (!result.completed && !result.stopped) GiveUpIfDue(*next);
        // Rounds start one interval apart; one that overran starts the next at once.
        next->due += std::chrono::milliseconds(next->session->interval_ms());
        const Clock::time_point now = Clock::now();
        if (next->due < now) next->due = now;
        BackOff(*next, result);
    }
    line.transport->Close();
    // The round lines and the stored count come before the totals.
    settings_.board->Drain(kDrainWait);
    if (settings_.before_totals) settings_.before_totals();
    for (const Device& d : line.devices)
        Say("[" + d.session->config().name + "] " + std::to_string(d.completed) +
            " rounds completed, " + std::to_string(d.failed) + " failed, " +
            std::to_string(d.session->services().rounds_stored()) + " stored" + Period(d));
}

}  // namespace vimo
