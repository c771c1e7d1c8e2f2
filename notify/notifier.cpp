#include "notify/notifier.h"

#include <algorithm>
#include <ctime>

#include "common/console.h"
#include "monitor/measures.h"
#include "common/thread_name.h"

namespace vimo {
namespace notify {

namespace {

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

std::string Figure(const novex::monitor::DeviceSnapshot& s, const char* name, int divisor) {
    const size_t i = novex::monitor::FindMeasure(name);
    if (i >= s.measures.size() || !s.measures[i].present) return "";
    const novex::monitor::Measure& m = novex::monitor::Measures()[i];
    if (divisor == 1) return novex::monitor::FormatValue(m, s.measures[i]);
    return novex::monitor::FormatNumber(s.measures[i].value / divisor, 0);
}

// The rate limit's bucket: a quarter of the hour's messages at once, refilled evenly.
double Capacity(const ChannelSettings& settings) { return std::max(1.0, settings.rate_per_hour / 4.0); }

// The monotonic clock in seconds, for the bucket.
double Seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

DeviceFacts FactsOf(const BoardUpdate& update, int64_t on_battery_since) {
    const novex::monitor::DeviceSnapshot& s = *update.now;
    DeviceFacts f;
    f.device = s.device_name;
    f.time = update.events.empty() ? Now() : update.events.front().time;
    f.state = Figure(s, "run_state", 1);
    f.charge = Figure(s, "battery_charge", 1);
    f.runtime_min = Figure(s, "battery_runtime", 60);
    f.on_battery_since = on_battery_since;
    if (s.communication == novex::monitor::Communication::kLost) f.state += f.state.empty() ? "no answer" : " (last known)";
    return f;
}

Notifier::Notifier(std::vector<ChannelSettings> channels, Outbox& outbox, Options options)
    : options_(std::move(options)), outbox_(outbox) {
    for (ChannelSettings& settings : channels) {
        auto c = std::make_unique<Channel>();
        c->settings = std::move(settings);
        novex::MutexLock lock(c->mutex);
        c->status.name = c->settings.name;
        c->status.kind = ChannelKindName(c->settings.kind);
        c->tokens = Capacity(c->settings);
        channels_.push_back(std::move(c));
    }
}

Notifier::~Notifier() { Stop(0); }

bool Notifier::Start(std::string& error) {
    for (auto& c : channels_) {
        c->sender = options_.make_sender ? options_.make_sender(c->settings, error) : MakeSender(c->settings, error);
        if (!c->sender) {
            error = c->settings.name + ": " + error;
            return false;
        }
    }
    store_thread_ = std::thread([this] {
        NameThisThread("notify");
        Store();
    });
    for (auto& c : channels_) {
        Channel* channel = c.get();
        c->thread = std::thread([this, channel] {
            NameThisThread("notify " + channel->settings.name);
            Run(*channel);
        });
    }
    return true;
}

void Notifier::Queue(Channel& channel, Message message) {
    novex::MutexLock lock(inbox_mutex_);
    if (inbox_stop_) return;
    inbox_.emplace_back(&channel, std::move(message));
    inbox_wake_.notify_all();
}

void Notifier::Store() {
    for (;;) {
        std::deque<std::pair<Channel*, Message>> taken;
        {
            novex::MutexLock lock(inbox_mutex_);
            novex::CondLock waiting(inbox_mutex_);
            while (inbox_.empty() && !inbox_stop_) inbox_wake_.wait(waiting.get());
            if (inbox_.empty()) return;
            taken.swap(inbox_);
            storing_ = true;
        }
        for (auto& [channel, message] : taken) {
            std::string error;
            if (!outbox_.Add(channel->settings.name, message, error))
                Say(Level::kWarning, "vimohost: notify " + channel->settings.name + ": " + error);
            novex::MutexLock lock(channel->mutex);
            channel->stored = true;
            channel->wake.notify_all();
        }
        novex::MutexLock lock(inbox_mutex_);
        storing_ = false;
        inbox_wake_.notify_all();
    }
}

void Notifier::Take(const BoardUpdate& update) {
    if (update.events.empty()) return;
    int64_t since = 0;
    {
        novex::MutexLock lock(devices_mutex_);
        int64_t& on_battery = on_battery_since_[update.now->data_id];
        for (const AlarmEvent& e : update.events)
            if (e.alarm == "run_state.on_battery")
                on_battery = e.kind == AlarmEvent::Kind::kRaised ? e.time : 0;
        since = on_battery;
    }
    DeviceFacts facts = FactsOf(update, since);
    facts.link = options_.link;
    for (auto& c : channels_) {
        std::vector<AlarmEvent> wanted;
        for (const AlarmEvent& e : update.events)
            if (Wanted(c->settings, e)) wanted.push_back(e);
        if (wanted.empty()) continue;
        Message message = RoundMessage(facts, wanted, c->settings.subject);
        message.created = Now();  // retry_for counts from here
        Queue(*c, std::move(message));
    }
}

bool Notifier::Drain(std::chrono::milliseconds timeout) {
    novex::MutexLock lock(inbox_mutex_);
    novex::CondLock waiting(inbox_mutex_);
    const auto until = std::chrono::steady_clock::now() + timeout;
    while ((!inbox_.empty() || storing_) && store_thread_.joinable())
        if (inbox_wake_.wait_until(waiting.get(), until) == std::cv_status::timeout) return false;
    return true;
}

void Notifier::Service(const std::string& what) {
    const Message message = ServiceMessage(what, Now());
    for (auto& c : channels_)
        if (c->settings.kinds & kServiceEvents) {
            Message copy = message;
            copy.id = NewMessageId();
            copy.document["id"] = copy.id;
            Queue(*c, std::move(copy));
        }
}

void Notifier::Stop(int wait_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    Drain(std::chrono::milliseconds(wait_ms));
    for (auto& c : channels_) {
        while (c->thread.joinable() && outbox_.Count(c->settings.name) > 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    {
        novex::MutexLock lock(inbox_mutex_);
        inbox_stop_ = true;
        inbox_wake_.notify_all();
    }
    if (store_thread_.joinable()) store_thread_.join();
    for (auto& c : channels_) {
        novex::MutexLock lock(c->mutex);
        c->stop = true;
        if (c->sender) c->sender->cancelled = true;
        c->wake.notify_all();
    }
    for (auto& c : channels_)
        if (c->thread.joinable()) c->thread.join();
    std::thread test;
    {
        novex::MutexLock lock(test_mutex_);
        test_stop_ = true;
        if (test_sender_) test_sender_->cancelled = true;
        test.swap(test_thread_);
    }
    if (test.joinable()) test.join();
}

TestStart Notifier::StartTest(const std::string& channel) {
    std::vector<Channel*> chosen;
    for (auto& c : channels_)
        if (channel.empty() || c->settings.name == channel) chosen.push_back(c.get());
    if (chosen.empty()) return TestStart::kNoChannel;
    novex::MutexLock lock(test_mutex_);
    if (testing_) return TestStart::kBusy;
    if (test_stop_) return TestStart::kNoChannel;
    if (test_thread_.joinable()) test_thread_.join();  // done: testing_ is false
    const int64_t now = Now();
    for (Channel* c : chosen) {
        novex::MutexLock channel_lock(c->mutex);
        c->status.test = "sending";
        c->status.test_time = now;
    }
    testing_ = true;
    test_thread_ = std::thread([this, chosen] {
        NameThisThread("notify test");
        Test(chosen);
    });
    return TestStart::kStarted;
}

void Notifier::Test(std::vector<Channel*> chosen) {
    for (Channel* c : chosen) {
        std::string error;
        std::unique_ptr<Sender> sender =
            options_.make_sender ? options_.make_sender(c->settings, error) : MakeSender(c->settings, error);
        {
            novex::MutexLock lock(test_mutex_);
            if (test_stop_) break;
            test_sender_ = sender.get();
        }
        SendResult r;
        if (sender) r = sender->Send(TestMessage(Now()));
        else r.error = error;
        {
            novex::MutexLock lock(test_mutex_);
            test_sender_ = nullptr;
        }
        const std::string outcome = r.sent ? "sent" : "failed: " + r.error;
        Say(r.sent ? Level::kNotice : Level::kWarning, "vimohost: notify " + c->settings.name + ": test " + outcome);
        novex::MutexLock lock(c->mutex);
        c->status.test = outcome;
    }
    novex::MutexLock lock(test_mutex_);
    testing_ = false;
}

std::vector<ChannelStatus> Notifier::Status() const {
    std::vector<ChannelStatus> out;
    for (const auto& c : channels_) {
        novex::MutexLock lock(c->mutex);
        out.push_back(c->status);
        out.back().queued = outbox_.Count(c->settings.name);
    }
    return out;
}

void Notifier::Run(Channel& c) {
    const std::string& name = c.settings.name;
    const std::string what = "notify " + name;
    // What waited from an earlier run is tried at once.
    outbox_.AllDue(name, Now());
    double refilled = Seconds();
    for (;;) {
        {
            novex::MutexLock lock(c.mutex);
            if (c.stop) return;
            c.stored = false;
        }
        const size_t dropped = outbox_.DropOlder(name, Now() - c.settings.retry_for_s);
        if (dropped) {
            Say(Level::kError, "vimohost: " + what + ": " + std::to_string(dropped) +
                                   " messages dropped, not sent within " + std::to_string(c.settings.retry_for_s) + " s");
            novex::MutexLock lock(c.mutex);
            c.status.dropped += dropped;
        }
        const double next = SendDue(c, refilled);
        novex::MutexLock lock(c.mutex);
        novex::CondLock waiting(c.mutex);
        if (!c.stop && !c.stored) {
            const double wait_s = next == 0 ? 60 : std::max(0.0, next - Seconds());
            if (wait_s > 0) c.wake.wait_for(waiting.get(), std::chrono::duration<double>(wait_s));
        }
    }
}

double Notifier::SendDue(Channel& c, double& refilled) {
    const std::string& name = c.settings.name;
    const double per_token = static_cast<double>(options_.rate_period_s) / c.settings.rate_per_hour;
    for (;;) {
        {
            novex::MutexLock lock(c.mutex);
            if (c.stop) return Seconds();
            const double seconds = Seconds();
            c.tokens = std::min(Capacity(c.settings), c.tokens + (seconds - refilled) / per_token);
            refilled = seconds;
        }
        const int64_t now = Now();
        const std::vector<Pending> due = outbox_.Due(name, now);
        if (due.empty()) {
            const int64_t next = outbox_.NextTime(name);
            return next == 0 ? 0 : Seconds() + static_cast<double>(next - now);
        }
        std::vector<Message> fresh;
        for (const Pending& q : due)
            if (q.attempts == 0) fresh.push_back(q.message);
        bool merged = false;
        {
            novex::MutexLock lock(c.mutex);
            // Over the rate: what is due waits for the next token.
            if (c.tokens < 1) return Seconds() + per_token * (1 - c.tokens) + 0.01;
            // Fresh messages that piled up beyond the tokens go as one digest.
            merged = fresh.size() > 1 && c.tokens < static_cast<double>(fresh.size());
        }
        Pending p = due.front();
        if (merged) {
            p = Pending{DigestMessage(fresh, now), 0, now, ""};
            std::string error;
            if (!outbox_.Add(name, p.message, error)) Say(Level::kWarning, "vimohost: notify " + name + ": " + error);
            for (const Message& m : fresh) outbox_.Sent(name, m.id);
            novex::MutexLock lock(c.mutex);
            c.status.digests += fresh.size();
        }
        Sender* sender = nullptr;
        {
            novex::MutexLock lock(c.mutex);
            sender = c.sender.get();
        }
        const SendResult r = sender->Send(p.message);
        const std::string what = "vimohost: notify " + name;
        novex::MutexLock lock(c.mutex);
        c.tokens -= 1;
        if (r.sent) {
            outbox_.Sent(name, p.message.id);
            c.status.sent++;
            c.status.last_error.clear();
            const std::string line = c.note.Worked(what);
            if (!line.empty()) Say(Level::kNotice, line);
        } else {
            if (c.stop) return 0;
            c.status.failed++;
            c.status.last_error = r.error;
            const int shift = std::min(p.attempts, 16);
            const int64_t delay = r.retry ? std::min<int64_t>(int64_t(options_.retry_first_s) << shift, options_.retry_max_s)
                                          : options_.retry_max_s;
            outbox_.Later(name, p.message.id, Now() + delay, r.error);
            const std::string line = c.note.Failed(what, r.error + "; trying again in " + std::to_string(delay) + " s",
                                                   FailureNote::Clock::now());
            if (!line.empty()) Say(Level::kWarning, line);
        }
    }
}

}  // namespace notify
}  // namespace vimo
