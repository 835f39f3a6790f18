#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "rt/block_on.hpp"
#include "rt/notify.hpp"
#include "rt/task.hpp"
#include "rt/timeout.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using rt::TaskEnd;

namespace {

asio::awaitable<void> set_after(std::atomic<int>* value, int to, rt::Duration delay) {
    co_await rt::sleep_for(delay);
    *value = to;
}

asio::awaitable<void> throw_runtime_error() {
    co_await rt::yield_now();
    throw std::runtime_error("boom");
}

TEST(Task, CompletesAndReportsItsEnd) {
    std::atomic<int> value{0};
    rt::TaskHandle task = rt::spawn(set_after(&value, 7, 1ms));
    EXPECT_EQ(task.wait_for(5s), TaskEnd::COMPLETED);
    EXPECT_TRUE(task.is_finished());
    EXPECT_EQ(value.load(), 7);
    // Aborting a finished task changes nothing.
    task.abort();
    EXPECT_EQ(task.wait_for(5s), TaskEnd::COMPLETED);
}

TEST(Task, ThrowingBodyEndsAsFailed) {
    rt::TaskHandle task = rt::spawn(throw_runtime_error());
    EXPECT_EQ(task.wait_for(5s), TaskEnd::FAILED);
}

TEST(Task, AbortInterruptsASleep) {
    std::atomic<int> value{0};
    rt::TaskHandle task = rt::spawn(set_after(&value, 1, 30s));
    auto start = std::chrono::steady_clock::now();
    task.abort();
    EXPECT_EQ(task.wait_for(5s), TaskEnd::ABORTED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(value.load(), 0);
}

asio::awaitable<void> blocking_then_sleep(std::atomic<int>* stage, std::atomic<bool>* go) {
    *stage = 1;
    while (!*go) std::this_thread::yield();  // not a suspension point
    *stage = 2;
    co_await rt::sleep_for(30s);
    *stage = 3;
}

TEST(Task, AbortTakesEffectAtTheNextSuspensionPoint) {
    std::atomic<int> stage{0};
    std::atomic<bool> go{false};
    rt::TaskHandle task = rt::spawn(blocking_then_sleep(&stage, &go));
    while (stage.load() == 0) std::this_thread::yield();
    task.abort();
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(task.is_finished());
    go = true;
    EXPECT_EQ(task.wait_for(5s), TaskEnd::ABORTED);
    EXPECT_EQ(stage.load(), 2);
}

asio::awaitable<void> cleanup_after_abort(std::atomic<bool>* cleaned) {
    bool aborted = false;
    try {
        co_await rt::sleep_for(30s);
    } catch (const std::system_error&) {
        aborted = true;
    }
    if (!aborted) co_return;
    // The abort is sticky; awaiting during cleanup needs a fresh cancellation state.
    co_await asio::this_coro::reset_cancellation_state();
    co_await rt::sleep_for(1ms);
    *cleaned = true;
}

TEST(Task, AbortedTaskCanAwaitDuringCleanup) {
    std::atomic<bool> cleaned{false};
    rt::TaskHandle task = rt::spawn(cleanup_after_abort(&cleaned));
    std::this_thread::sleep_for(10ms);
    task.abort();
    EXPECT_EQ(task.wait_for(5s), TaskEnd::COMPLETED);
    EXPECT_TRUE(cleaned.load());
}

asio::awaitable<TaskEnd> join_twice(rt::TaskHandle task) {
    TaskEnd first = co_await task.join();
    TaskEnd second = co_await task.join();
    EXPECT_EQ(first, second);
    co_return first;
}

TEST(Task, JoinAwaitsTheEndFromAnotherTask) {
    std::atomic<int> value{0};
    rt::TaskHandle task = rt::spawn(set_after(&value, 5, 20ms));
    EXPECT_EQ(rt::block_on(join_twice(task)), TaskEnd::COMPLETED);
    EXPECT_EQ(value.load(), 5);

    rt::TaskHandle sleeper = rt::spawn(rt::sleep_for(30s));
    sleeper.abort();
    EXPECT_EQ(rt::block_on(join_twice(sleeper)), TaskEnd::ABORTED);
}

TEST(Task, DroppingTheHandleDetachesTheTask) {
    std::atomic<int> value{0};
    {
        rt::spawn(set_after(&value, 9, 5ms));
    }
    for (int i = 0; i < 500 && value.load() != 9; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(value.load(), 9);
}

TEST(Task, EmptyHandleIsInert) {
    rt::TaskHandle none;
    EXPECT_FALSE(none);
    none.abort();
    EXPECT_FALSE(none.is_finished());
    EXPECT_EQ(none.wait_for(1ms), std::nullopt);
}

struct Identity {
    rt::Notify ready;
    rt::TaskHandle self;
    rt::TaskHandle other;
    bool self_is_current = false;
    bool other_is_current = true;
    bool current_inside_timeout = false;
};

asio::awaitable<void> check_identity(Identity* id) {
    co_await id->ready.notified(0);  // the handles are filled in before the first notify
    id->self_is_current = co_await id->self.is_current();
    id->other_is_current = co_await id->other.is_current();
    auto inside = co_await rt::with_timeout(id->self.is_current(), 5s);
    id->current_inside_timeout = inside.value_or(false);
}

TEST(Task, KnowsWhetherItIsTheCurrentTask) {
    Identity id;
    rt::TaskHandle self = rt::spawn(check_identity(&id));
    rt::TaskHandle other = rt::spawn(rt::sleep_for(30s));
    id.self = self;
    id.other = other;
    id.ready.notify();
    EXPECT_EQ(self.wait_for(5s), TaskEnd::COMPLETED);
    other.abort();
    EXPECT_TRUE(id.self_is_current);
    EXPECT_FALSE(id.other_is_current);
    EXPECT_TRUE(id.current_inside_timeout);
    EXPECT_FALSE(rt::block_on(self.is_current()));
}

asio::awaitable<int> value_after(int value, rt::Duration delay) {
    co_await rt::sleep_for(delay);
    co_return value;
}

asio::awaitable<int> failing_after(rt::Duration delay) {
    co_await rt::sleep_for(delay);
    throw std::runtime_error("inner failure");
}

asio::awaitable<std::optional<int>> timed_value(int value, rt::Duration delay, rt::Duration limit) {
    co_return co_await rt::with_timeout(value_after(value, delay), limit);
}

TEST(WithTimeout, ReturnsTheValueOrNothingAtTheDeadline) {
    EXPECT_EQ(rt::block_on(timed_value(4, 1ms, 5s)), 4);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rt::block_on(timed_value(4, 30s, 20ms)), std::nullopt);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 20ms);
    EXPECT_LT(waited, 2s);
}

asio::awaitable<bool> timed_failure() {
    try {
        co_await rt::with_timeout(failing_after(1ms), 5s);
    } catch (const std::runtime_error& e) {
        co_return std::string(e.what()) == "inner failure";
    }
    co_return false;
}

TEST(WithTimeout, RethrowsTheOperationsError) {
    EXPECT_TRUE(rt::block_on(timed_failure()));
}

asio::awaitable<void> sleep_with_long_timeout(std::atomic<bool>* reached_end) {
    bool finished = co_await rt::with_timeout(rt::sleep_for(30s), 30s);
    (void)finished;
    *reached_end = true;
}

TEST(WithTimeout, TaskAbortPassesThroughTheTimeout) {
    std::atomic<bool> reached_end{false};
    rt::TaskHandle task = rt::spawn(sleep_with_long_timeout(&reached_end));
    std::this_thread::sleep_for(10ms);
    auto start = std::chrono::steady_clock::now();
    task.abort();
    EXPECT_EQ(task.wait_for(5s), TaskEnd::ABORTED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(reached_end.load());
}

asio::awaitable<void> count_with_yields(std::atomic<int>* counter, int steps) {
    for (int i = 0; i < steps; ++i) {
        ++*counter;
        co_await rt::yield_now();
    }
}

asio::awaitable<void> yield_until(std::atomic<int>* counter, int target, bool* saw_progress) {
    // Both tasks share one executor strand here, so the other one can only progress while
    // this one yields.
    while (counter->load() < target) co_await rt::yield_now();
    *saw_progress = true;
}

asio::awaitable<bool> yield_lets_a_sibling_run() {
    std::atomic<int> counter{0};
    bool saw = false;
    auto executor = co_await asio::this_coro::executor;
    asio::co_spawn(executor, count_with_yields(&counter, 5), asio::detached);
    co_await yield_until(&counter, 5, &saw);
    co_return saw;
}

TEST(Yield, LetsOtherWorkOnTheSameStrandRun) {
    EXPECT_TRUE(rt::block_on(yield_lets_a_sibling_run()));
}

}  // namespace
