#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "rt/block_on.hpp"
#include "rt/channel.hpp"
#include "rt/mutex.hpp"
#include "rt/notify.hpp"
#include "rt/task.hpp"
#include "rt/timeout.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using rt::TaskEnd;

namespace {

// Polls `condition` for at most `limit`; for states that other threads reach.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 5s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// ---- Notify ------------------------------------------------------------------------

asio::awaitable<bool> notified_within(rt::Notify* notify, rt::Notify::Epoch since,
                                      rt::Duration limit) {
    co_return co_await rt::with_timeout(notify->notified(since), limit);
}

TEST(Notify, StoredPermitServesOneLaterWaiter) {
    rt::Notify notify;
    notify.notify();
    EXPECT_TRUE(rt::block_on(notified_within(&notify, notify.epoch(), 5s)));
    // The permit is used up: the next wait needs a new notify.
    EXPECT_FALSE(rt::block_on(notified_within(&notify, notify.epoch(), 20ms)));
}

TEST(Notify, EpochCatchesANotifyBetweenCheckAndWait) {
    rt::Notify notify;
    notify.notify();
    EXPECT_TRUE(rt::block_on(notified_within(&notify, notify.epoch(), 5s)));  // eat permit
    rt::Notify::Epoch seen = notify.epoch();
    notify.notify();
    EXPECT_TRUE(rt::block_on(notified_within(&notify, seen, 5s)));
    // Once the permit is gone, an old epoch still reports the notify that followed it.
    EXPECT_TRUE(rt::block_on(notified_within(&notify, seen, 5s)));
}

asio::awaitable<void> wait_and_count(rt::Notify* notify, rt::Notify::Epoch since,
                                     std::atomic<int>* woken) {
    co_await notify->notified(since);
    ++*woken;
}

TEST(Notify, WakesEveryCurrentWaiter) {
    rt::Notify notify;
    std::atomic<int> woken{0};
    rt::Notify::Epoch seen = notify.epoch();
    std::vector<rt::TaskHandle> tasks;
    for (int i = 0; i < 3; ++i) tasks.push_back(rt::spawn(wait_and_count(&notify, seen, &woken)));
    std::this_thread::sleep_for(10ms);
    notify.notify();
    for (auto& task : tasks) EXPECT_EQ(task.wait_for(5s), TaskEnd::COMPLETED);
    EXPECT_EQ(woken.load(), 3);
}

TEST(Notify, CancelledWaiterLeavesTheQueue) {
    rt::Notify notify;
    std::atomic<int> woken{0};
    rt::TaskHandle waiter = rt::spawn(wait_and_count(&notify, notify.epoch(), &woken));
    std::this_thread::sleep_for(10ms);
    waiter.abort();
    EXPECT_EQ(waiter.wait_for(5s), TaskEnd::ABORTED);
    notify.notify();  // must find no trace of the aborted waiter
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(woken.load(), 0);
}

// The lost wake-up stress: a producer thread bumps a counter and notifies; consumers
// follow the epoch pattern. A lost wake-up leaves a consumer stuck until its deadline.
constexpr int ROUNDS = 20000;

asio::awaitable<void> consume_until(rt::Notify* notify, std::atomic<int>* counter, int target) {
    for (;;) {
        rt::Notify::Epoch seen = notify->epoch();
        if (counter->load() >= target) co_return;
        co_await notify->notified(seen);
    }
}

TEST(Notify, NoLostWakeUpUnderStress) {
    rt::Notify notify;
    std::atomic<int> counter{0};
    std::vector<rt::TaskHandle> consumers;
    for (int i = 0; i < 3; ++i)
        consumers.push_back(rt::spawn(consume_until(&notify, &counter, ROUNDS)));
    std::thread producer([&] {
        for (int i = 0; i < ROUNDS; ++i) {
            counter.fetch_add(1);
            notify.notify();
        }
    });
    producer.join();
    for (auto& consumer : consumers) EXPECT_EQ(consumer.wait_for(5s), TaskEnd::COMPLETED);
}

// A ping-pong where every round depends on one wake-up in each direction; one lost
// wake-up stalls the whole exchange.
asio::awaitable<void> ping_pong(rt::Notify* mine, rt::Notify* theirs, std::atomic<int>* turn,
                                int me, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        for (;;) {
            rt::Notify::Epoch seen = mine->epoch();
            if (turn->load() % 2 == me) break;
            co_await mine->notified(seen);
        }
        turn->fetch_add(1);
        theirs->notify();
    }
}

TEST(Notify, PingPongNeverStalls) {
    rt::Notify a;
    rt::Notify b;
    std::atomic<int> turn{0};
    rt::TaskHandle first = rt::spawn(ping_pong(&a, &b, &turn, 0, 5000));
    rt::TaskHandle second = rt::spawn(ping_pong(&b, &a, &turn, 1, 5000));
    EXPECT_EQ(first.wait_for(5s), TaskEnd::COMPLETED);
    EXPECT_EQ(second.wait_for(5s), TaskEnd::COMPLETED);
    EXPECT_EQ(turn.load(), 10000);
}

// ---- AsyncMutex --------------------------------------------------------------------

asio::awaitable<void> hold_until(rt::AsyncMutex* mutex, std::atomic<bool>* locked,
                                 rt::Notify* release) {
    auto guard = co_await mutex->lock();
    rt::Notify::Epoch seen = release->epoch();
    *locked = true;
    co_await release->notified(seen);
}

asio::awaitable<void> lock_and_record(rt::AsyncMutex* mutex, std::vector<int>* order, int id) {
    auto guard = co_await mutex->lock();
    order->push_back(id);  // serialised by the mutex itself
}

TEST(AsyncMutex, HandsTheLockOverInArrivalOrder) {
    rt::AsyncMutex mutex;
    rt::Notify release;
    std::atomic<bool> locked{false};
    rt::TaskHandle holder = rt::spawn(hold_until(&mutex, &locked, &release));
    ASSERT_TRUE(eventually([&] { return locked.load(); }));
    EXPECT_FALSE(mutex.try_lock());

    std::vector<int> order;
    std::vector<rt::TaskHandle> waiters;
    for (int id = 0; id < 4; ++id) {
        waiters.push_back(rt::spawn(lock_and_record(&mutex, &order, id)));
        ASSERT_TRUE(eventually([&] { return mutex.waiting() == std::size_t(id) + 1; }));
    }
    release.notify();
    for (auto& waiter : waiters) EXPECT_EQ(waiter.wait_for(5s), TaskEnd::COMPLETED);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_FALSE(mutex.is_locked());
}

asio::awaitable<bool> lock_within(rt::AsyncMutex* mutex, rt::Duration limit) {
    auto guard = co_await rt::with_timeout(mutex->lock(), limit);
    co_return guard.has_value();
}

TEST(AsyncMutex, TimedOutOrAbortedWaiterNeverOwnsTheLock) {
    rt::AsyncMutex mutex;
    rt::Notify release;
    std::atomic<bool> locked{false};
    rt::TaskHandle holder = rt::spawn(hold_until(&mutex, &locked, &release));
    ASSERT_TRUE(eventually([&] { return locked.load(); }));

    EXPECT_FALSE(rt::block_on(lock_within(&mutex, 20ms)));
    EXPECT_EQ(mutex.waiting(), 0u);

    std::vector<int> order;
    rt::TaskHandle aborted = rt::spawn(lock_and_record(&mutex, &order, 1));
    ASSERT_TRUE(eventually([&] { return mutex.waiting() == 1; }));
    aborted.abort();
    EXPECT_EQ(aborted.wait_for(5s), TaskEnd::ABORTED);
    EXPECT_EQ(mutex.waiting(), 0u);

    release.notify();
    EXPECT_EQ(holder.wait_for(5s), TaskEnd::COMPLETED);
    EXPECT_FALSE(mutex.is_locked());
    EXPECT_TRUE(order.empty());
    EXPECT_TRUE(rt::block_on(lock_within(&mutex, 5s)));
}

asio::awaitable<void> guarded_increments(rt::AsyncMutex* mutex, std::atomic<int>* inside,
                                         int* total, std::atomic<bool>* overlap, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        auto guard = co_await mutex->lock();
        if (inside->fetch_add(1) != 0) *overlap = true;
        int before = *total;
        co_await rt::yield_now();
        *total = before + 1;
        inside->fetch_sub(1);
    }
}

TEST(AsyncMutex, ExcludesAcrossWorkerThreadsUnderStress) {
    rt::AsyncMutex mutex;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    int total = 0;
    std::vector<rt::TaskHandle> tasks;
    for (int i = 0; i < 4; ++i) {
        tasks.push_back(rt::spawn(guarded_increments(&mutex, &inside, &total, &overlap, 500)));
    }
    for (auto& task : tasks) EXPECT_EQ(task.wait_for(5s), TaskEnd::COMPLETED);
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(total, 2000);
    EXPECT_FALSE(mutex.is_locked());
}

// Waiters with tiny timeouts race the hand-over: a lock handed to a waiter whose timeout
// fires at the same moment must still come back.
asio::awaitable<void> lock_with_tiny_timeouts(rt::AsyncMutex* mutex, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        auto guard =
            co_await rt::with_timeout(mutex->lock(), std::chrono::microseconds(50 + i % 7));
        if (guard) co_await rt::yield_now();
    }
}

TEST(AsyncMutex, HandOverRacingATimeoutNeverLeaksTheLock) {
    rt::AsyncMutex mutex;
    std::vector<rt::TaskHandle> tasks;
    for (int i = 0; i < 4; ++i) tasks.push_back(rt::spawn(lock_with_tiny_timeouts(&mutex, 300)));
    for (auto& task : tasks) EXPECT_EQ(task.wait_for(5s), TaskEnd::COMPLETED);
    EXPECT_EQ(mutex.waiting(), 0u);
    EXPECT_FALSE(mutex.is_locked());
}

// ---- Channel -----------------------------------------------------------------------

using IntSender = rt::Sender<int>;
using IntReceiver = rt::Receiver<int>;

asio::awaitable<std::vector<int>> drain(IntReceiver* receiver) {
    std::vector<int> items;
    while (auto item = co_await receiver->recv()) items.push_back(*item);
    co_return items;
}

TEST(Channel, DeliversInOrderAndEndsWhenEverySenderIsGone) {
    auto [sender, receiver] = rt::unbounded_channel<int>();
    {
        IntSender copy = sender;
        EXPECT_TRUE(sender.send(1));
        EXPECT_TRUE(copy.send(2));
        EXPECT_TRUE(sender.send(3));
    }
    sender = IntSender();  // the last sender leaves; queued items still arrive
    EXPECT_EQ(rt::block_on(drain(&receiver)), (std::vector<int>{1, 2, 3}));
}

TEST(Channel, SendFailsOnceTheReceiverIsGone) {
    auto [sender, receiver] = rt::unbounded_channel<int>();
    EXPECT_TRUE(sender.send(1));
    receiver.close();
    EXPECT_TRUE(sender.is_closed());
    EXPECT_FALSE(sender.send(2));
    EXPECT_FALSE(IntSender().send(3));
    EXPECT_TRUE(IntSender().is_closed());
}

asio::awaitable<std::optional<int>> recv_within(IntReceiver* receiver, rt::Duration limit) {
    auto item = co_await rt::with_timeout(receiver->recv(), limit);
    co_return item ? *item : std::optional<int>();
}

TEST(Channel, TimedOutReceiveLosesNothing) {
    auto [sender, receiver] = rt::unbounded_channel<int>();
    EXPECT_EQ(rt::block_on(recv_within(&receiver, 10ms)), std::nullopt);
    EXPECT_TRUE(sender.send(5));
    EXPECT_EQ(rt::block_on(recv_within(&receiver, 5s)), 5);
    EXPECT_EQ(receiver.try_recv(), std::nullopt);
}

asio::awaitable<void> collect(IntReceiver receiver, std::vector<int>* items) {
    while (auto item = co_await receiver.recv()) items->push_back(*item);
}

TEST(Channel, TwoProducerThreadsOneConsumerUnderStress) {
    constexpr int PER_PRODUCER = 10000;
    auto [sender, receiver] = rt::unbounded_channel<int>();
    std::vector<int> items;
    rt::TaskHandle consumer = rt::spawn(collect(std::move(receiver), &items));
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
        producers.emplace_back([p, s = sender] {
            for (int i = 0; i < PER_PRODUCER; ++i) s.send(p * PER_PRODUCER + i);
        });
    }
    sender = IntSender();
    for (auto& producer : producers) producer.join();
    ASSERT_EQ(consumer.wait_for(5s), TaskEnd::COMPLETED);
    ASSERT_EQ(items.size(), std::size_t(2 * PER_PRODUCER));
    int next[2] = {0, PER_PRODUCER};
    for (int item : items) {
        int p = item / PER_PRODUCER;
        EXPECT_EQ(item, next[p]++);
    }
}

}  // namespace
