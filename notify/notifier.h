// The notifications face: a board subscriber that turns each round's events into one
// message per channel (the channel's kinds, severity floor and devices decide which
// events it gets). Take composes and queues and returns: no round waits for a mail
// server or the disk. One thread stores each message in the outbox and wakes its
// channel; each channel sends on its own thread, in creation order, one message at a time; a message that
// fails is tried again later (10 s, doubling, at most 10 min apart) until it is sent or
// older than the channel's retry_for (then dropped, counted and logged). At most
// `rate` messages an hour leave a channel: beyond that the waiting ones go as one digest.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/failure_note.h"
#include "core/thread_annotations.h"
#include "board/snapshot_board.h"
#include "notify/channel.h"
#include "notify/outbox.h"

namespace vimo {
namespace notify {

struct ChannelStatus {
    std::string name;
    std::string kind;
    size_t queued = 0;      // stored, not yet sent
    uint64_t sent = 0;
    uint64_t failed = 0;    // tries that failed
    uint64_t dropped = 0;   // given up after retry_for
    uint64_t digests = 0;   // messages merged by the rate limit
    std::string last_error; // "" when the last try worked
    // The page's last test through it: "sending", "sent" or "failed: why"; "" for none.
    std::string test;
    int64_t test_time = 0;  // epoch seconds it was asked for
};

// How a request for a test (StartTest) went.
enum class TestStart { kStarted, kNoChannel, kBusy };

// What a round shows beside its events, read from the snapshot.
DeviceFacts FactsOf(const BoardUpdate& update, int64_t on_battery_since);

class Notifier : public BoardSubscriber {
public:
    struct Options {
        std::string link;          // the page's public URL, "" for none
        int retry_first_s = 10;    // the first retry's delay, doubling
        int retry_max_s = 600;
        int rate_period_s = 3600;  // the rate limit's hour
        // Makes a channel's sender; null: MakeSender (channel.h).
        std::function<std::unique_ptr<Sender>(const ChannelSettings&, std::string&)> make_sender;
    };
    // `outbox` outlives the notifier.
    Notifier(std::vector<ChannelSettings> channels, Outbox& outbox, Options options);
    ~Notifier() override;  // Stop(0)
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Makes each channel's sender (reads its secret files) and starts its thread; false
    // with the first channel's error.
    bool Start(std::string& error);
    void Take(const BoardUpdate& update) override;
    // Waits until every message taken has been stored (not sent): a hung channel does
    // not hold it up.
    bool Drain(std::chrono::milliseconds timeout) override;
    // vimohost "started", "stopped", "reloaded": to the channels that take service events.
    void Service(const std::string& what);
    // Waits up to `wait_ms` for the outbox to empty, then ends the tries under way and
    // the threads. What is left stays in the outbox for the next start.
    void Stop(int wait_ms);
    std::vector<ChannelStatus> Status() const;
    // The page's test button: a test message through each channel, or the one named
    // ("" for all), sent on a thread of its own by a sender of its own, so a message
    // under way on the channel is not disturbed; Status() shows how each went. One
    // test at a time (kBusy while one runs).
    TestStart StartTest(const std::string& channel);

private:
    struct Channel {
        ChannelSettings settings;
        std::unique_ptr<Sender> sender;  // set before the thread starts
        novex::Mutex mutex;
        std::condition_variable wake;
        bool stored GUARDED_BY(mutex) = false;  // a message was stored for it
        bool stop GUARDED_BY(mutex) = false;
        ChannelStatus status GUARDED_BY(mutex);
        double tokens GUARDED_BY(mutex) = 0;  // the rate limit's bucket
        FailureNote note;                    // the thread's own
        std::thread thread;
    };
    void Queue(Channel& channel, Message message);
    void Store();
    void Run(Channel& channel);
    void Test(std::vector<Channel*> chosen);
    // Sends what is due, the bucket refilled since `refilled`; when to wake next
    // (steady seconds; 0: when a message comes).
    double SendDue(Channel& channel, double& refilled);

    const Options options_;
    Outbox& outbox_;
    std::vector<std::unique_ptr<Channel>> channels_;
    // Messages taken, not yet stored: by the store thread, in order.
    novex::Mutex inbox_mutex_;
    std::condition_variable inbox_wake_;
    std::deque<std::pair<Channel*, Message>> inbox_ GUARDED_BY(inbox_mutex_);
    bool storing_ GUARDED_BY(inbox_mutex_) = false;  // the thread holds some of them
    bool inbox_stop_ GUARDED_BY(inbox_mutex_) = false;
    std::thread store_thread_;
    // The page's test: its thread, and the sender it uses now (cancelled by Stop).
    novex::Mutex test_mutex_;
    bool testing_ GUARDED_BY(test_mutex_) = false;
    bool test_stop_ GUARDED_BY(test_mutex_) = false;
    Sender* test_sender_ GUARDED_BY(test_mutex_) = nullptr;
    std::thread test_thread_;  // started and joined under test_mutex_, or by Stop
    novex::Mutex devices_mutex_;
    std::map<uint32_t, int64_t> on_battery_since_ GUARDED_BY(devices_mutex_);
};

}  // namespace notify
}  // namespace vimo
