// The board's subscribers: one that blocks delays neither the publishing threads nor
// the other subscribers, and what each queue kind keeps when it cannot keep up.
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "board/board_queue.h"
#include "board/snapshot_board.h"

namespace {

using vimo::BoardUpdate;
using vimo::QueuedSubscriber;

// Held shut until Open: the handler of a subscriber that cannot keep up.
class Gate {
public:
    void Pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++waiting_;
        opened_.wait(lock, [this] { return open_; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    int waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        return waiting_;
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
    int waiting_ = 0;
};

// Per device, the rounds a handler saw, in the order it saw them.
struct Seen {
    std::mutex mutex;
    std::map<uint32_t, std::vector<int64_t>> rounds;
    void Add(const BoardUpdate& u) {
        std::lock_guard<std::mutex> lock(mutex);
        rounds[u.now->data_id].push_back(u.round);
    }
};

TEST(BoardSubscribers, ABlockedSubscriberDelaysNeitherRoundsNorOthers) {
    constexpr int kRounds = 500;
    constexpr size_t kCapacity = 50;
    vimo::SnapshotBoard board;
    const size_t slots[] = {board.AddDevice("a", 1, "tcp a"), board.AddDevice("b", 2, "tcp b")};
    Gate gate;
    Seen every, stuck, latest;
    QueuedSubscriber blocked({"blocked", QueuedSubscriber::Kind::kEvery, kCapacity, nullptr, nullptr},
                             [&](const BoardUpdate& u) {
                                 gate.Pass();
                                 stuck.Add(u);
                             });
    QueuedSubscriber slow_latest({"latest", QueuedSubscriber::Kind::kLatest, 0, nullptr, nullptr},
                                 [&](const BoardUpdate& u) {
                                     gate.Pass();
                                     latest.Add(u);
                                 });
    QueuedSubscriber lossless({"every", QueuedSubscriber::Kind::kEvery, 4 * kRounds, nullptr, nullptr},
                              [&](const BoardUpdate& u) { every.Add(u); });
    board.Subscribe(blocked);
    board.Subscribe(slow_latest);
    board.Subscribe(lossless);

    const auto publish = [&board](size_t slot, int n) {
        auto next = std::make_shared<novex::monitor::DeviceSnapshot>(*board.Get(slot));
        next->rounds_completed = static_cast<uint64_t>(n);
        BoardUpdate update;
        update.round = n;
        update.now = std::move(next);
        board.Publish(slot, std::move(update));
    };
    // Round 0 of "a" gets both slow handlers stuck; then two lines publish.
    publish(slots[0], 0);
    while (gate.waiting() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<std::thread> lines;
    for (size_t slot : slots)
        lines.emplace_back([&publish, slot] {
            for (int n = 1; n <= kRounds; ++n) publish(slot, n);
        });
    for (std::thread& t : lines) t.join();
    ASSERT_TRUE(lossless.Drain(std::chrono::seconds(10)));
    EXPECT_FALSE(board.Drain(std::chrono::milliseconds(20)));  // the stuck ones
    std::vector<int64_t> all(kRounds + 1);
    for (int n = 0; n <= kRounds; ++n) all[static_cast<size_t>(n)] = n;
    EXPECT_EQ(all, every.rounds[1]);
    all.erase(all.begin());
    EXPECT_EQ(all, every.rounds[2]);

    // The stuck kEvery queue kept its capacity, in order, and dropped the newest.
    EXPECT_EQ(2u * kRounds - kCapacity, blocked.Dropped());
    gate.Open();
    ASSERT_TRUE(board.Drain(std::chrono::seconds(10)));
    size_t kept = 0;
    for (auto& [id, rounds] : stuck.rounds) {
        for (size_t i = 1; i < rounds.size(); ++i) EXPECT_EQ(rounds[i - 1] + 1, rounds[i]);
        kept += rounds.size();
    }
    EXPECT_EQ(kCapacity + 1, kept);
    // The latest-value slot: after the update it was stuck in, each device's last.
    size_t handled = 0;
    for (auto& [id, rounds] : latest.rounds) {
        EXPECT_EQ(kRounds, rounds.back()) << id;
        EXPECT_LE(rounds.size(), 2u) << id;
        handled += rounds.size();
    }
    EXPECT_EQ(3u, handled);
    EXPECT_EQ(0, latest.rounds[1].front());
}

// A queue's thread carries its face's name, cut to the 15 bytes the kernel keeps: what
// `top -H` shows, and how the paced history bench finds the writer.
TEST(BoardSubscribers, AQueuesThreadIsNamedAfterItsFace) {
    std::promise<std::string> named;
    QueuedSubscriber queue({"Status File Writer", QueuedSubscriber::Kind::kEvery, 1, nullptr, nullptr},
                           [&named](const BoardUpdate&) {
                               char name[16] = {};
                               pthread_getname_np(pthread_self(), name, sizeof name);
                               named.set_value(name);
                           });
    queue.Take(BoardUpdate());
    EXPECT_EQ(named.get_future().get(), "vimo-status-fil");
}

}  // namespace
