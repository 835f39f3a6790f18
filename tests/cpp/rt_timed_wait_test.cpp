#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "rt/block_on.hpp"
#include "rt/notify.hpp"
#include "rt/task.hpp"
#include "rt/timed_wait.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using rt::TaskEnd;

namespace {

using Clock = std::chrono::steady_clock;

asio::awaitable<bool> wait_within(rt::Notify* notify, rt::Duration limit) {
    co_return co_await rt::notified_within(*notify, notify->epoch(), limit);
}

// Records how the wait ended and when.
struct Outcome {
    std::atomic<int> result{-1};  // 1 notified, 0 timed out
    std::atomic<Clock::rep> ended{0};
};

asio::awaitable<void> timed_wait(rt::Notify* notify, rt::Notify::Epoch since, rt::Duration limit,
                                 std::shared_ptr<Outcome> outcome) {
    const bool notified = co_await rt::notified_within(*notify, since, limit);
    outcome->ended = Clock::now().time_since_epoch().count();
    outcome->result = notified ? 1 : 0;
}

TEST(NotifiedWithin, NotificationOrDeadline) {
    rt::Notify notify;
    const auto start = Clock::now();
    EXPECT_FALSE(rt::block_on(wait_within(&notify, 20ms)));
    EXPECT_GE(Clock::now() - start, 20ms);

    notify.notify();  // a stored permit ends the next wait at once
    EXPECT_TRUE(rt::block_on(wait_within(&notify, 5s)));
}

// Timed waits share one timer; a later wait with an earlier deadline must move it, and the
// earlier deadline's expiry must leave the timer set for the waits still queued.
TEST(NotifiedWithin, DeadlinesInEitherOrderEachExpire) {
    rt::Notify notify;
    const rt::Notify::Epoch seen = notify.epoch();
    auto late = std::make_shared<Outcome>();
    auto early = std::make_shared<Outcome>();
    const auto start = Clock::now();
    rt::TaskHandle late_task = rt::spawn(timed_wait(&notify, seen, 300ms, late));
    std::this_thread::sleep_for(10ms);
    rt::TaskHandle early_task = rt::spawn(timed_wait(&notify, seen, 30ms, early));

    EXPECT_EQ(early_task.wait_for(5s), TaskEnd::COMPLETED);
    EXPECT_EQ(early->result.load(), 0);
    EXPECT_EQ(late->result.load(), -1);  // still waiting
    EXPECT_EQ(late_task.wait_for(5s), TaskEnd::COMPLETED);
    EXPECT_EQ(late->result.load(), 0);
    EXPECT_GE(Clock::time_point(Clock::duration(late->ended.load())) - start, 300ms);
}

// A hot wait: each round is ended by a notification from another thread long before its
// deadline, and none of them is lost.
TEST(NotifiedWithin, RepeatedNotifiedWaitsAllSucceed) {
    rt::Notify notify;
    constexpr int ROUNDS = 2000;
    std::atomic<int> done{0};
    std::thread notifier([&] {
        while (done.load() < ROUNDS) {
            notify.notify();
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < ROUNDS; ++i) {
        ASSERT_TRUE(rt::block_on(wait_within(&notify, 5s)));
        ++done;
    }
    notifier.join();
}

TEST(NotifiedWithin, AbortedWaiterLeavesNothingBehind) {
    auto outcome = std::make_shared<Outcome>();
    {
        rt::Notify notify;
        rt::TaskHandle waiter = rt::spawn(timed_wait(&notify, notify.epoch(), 50ms, outcome));
        std::this_thread::sleep_for(10ms);
        waiter.abort();
        EXPECT_EQ(waiter.wait_for(5s), TaskEnd::ABORTED);
        notify.notify();
    }
    // The Notify is gone while its timer was still set: its expiry must touch nothing.
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(outcome->result.load(), -1);
}

}  // namespace
