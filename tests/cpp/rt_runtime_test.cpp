#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "rt/runtime.hpp"
#include "rt/task.hpp"
#include "rt/timeout.hpp"

using namespace std::chrono_literals;
using vantorix::rt::Runtime;

namespace {

// A gate that the test opens; handlers block on it to pin a worker thread.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    int arrived = 0;

    void pass() {
        std::unique_lock lock(mutex);
        ++arrived;
        cv.notify_all();
        cv.wait(lock, [this] { return open; });
    }
    bool wait_arrivals(int n, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, limit, [&] { return arrived >= n; });
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
};

TEST(Runtime, RunsWorkOnExactlyTwoThreadsAtOnce) {
    Runtime rt;
    Gate gate;
    std::mutex ids_mutex;
    std::set<std::thread::id> ids;
    for (int i = 0; i < 2; ++i) {
        asio::post(rt.context(), [&] {
            {
                std::lock_guard lock(ids_mutex);
                ids.insert(std::this_thread::get_id());
            }
            gate.pass();
        });
    }
    // Both handlers block at the same time, so two workers serve the context.
    ASSERT_TRUE(gate.wait_arrivals(2, 5s));
    std::atomic<bool> third_ran{false};
    asio::post(rt.context(), [&] { third_ran = true; });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(third_ran.load()) << "a third worker served the context";
    gate.release();
    EXPECT_TRUE(rt.shutdown());
    EXPECT_EQ(ids.size(), 2u);
}

TEST(Runtime, ShutdownIsIdempotentAndDropsLaterWork) {
    Runtime rt;
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(rt.shutdown());
    EXPECT_TRUE(rt.shutdown());
    EXPECT_TRUE(rt.is_shut_down());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    std::atomic<bool> ran{false};
    asio::post(rt.context(), [&] { ran = true; });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ran.load());
}

TEST(Runtime, ShutdownStopsPendingTimersWithoutWaitingForThem) {
    Runtime rt;
    vantorix::rt::TaskHandle sleeper =
        vantorix::rt::spawn(rt.context(), vantorix::rt::sleep_for(30s));
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(rt.shutdown());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(sleeper.is_finished());
}

TEST(Runtime, ShutdownGivesUpOnAStuckWorkerAtTheLimit) {
    auto gate = std::make_shared<Gate>();  // shared with the stuck worker
    auto* rt = new Runtime();
    asio::post(rt->context(), [gate] { gate->pass(); });
    ASSERT_TRUE(gate->wait_arrivals(1, 5s));

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(rt->shutdown(100ms));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 100ms);
    EXPECT_LT(waited, 2s);
    // The destructor must not wait again nor free what the stuck worker still uses.
    delete rt;
    gate->release();
}

TEST(RuntimeGlobal, BuiltOnceAndShared) {
    Runtime& first = vantorix::rt::runtime();
    EXPECT_TRUE(vantorix::rt::runtime_built());
    EXPECT_EQ(&first, &vantorix::rt::runtime());
}

// The process-wide runtime cannot be restarted, so its shutdown runs in a child process.
void shut_down_global_runtime_and_exit() {
    static std::vector<std::string> calls;
    vantorix::rt::set_runtime_hooks({
        [](Runtime&) { calls.push_back("built"); },
        [] { calls.push_back("before"); },
        [] { calls.push_back("after"); },
    });
    Runtime& rt = vantorix::rt::runtime();
    std::atomic<bool> ran_before{false};
    asio::post(rt.context(), [&] { ran_before = true; });
    for (int i = 0; i < 200 && !ran_before; ++i) std::this_thread::sleep_for(5ms);

    vantorix::rt::shutdown_runtime();
    vantorix::rt::shutdown_runtime();
    std::atomic<bool> ran_after{false};
    asio::post(vantorix::rt::runtime().context(), [&] { ran_after = true; });
    std::this_thread::sleep_for(20ms);

    bool ok = ran_before && !ran_after && vantorix::rt::shutdown_requested() &&
              &rt == &vantorix::rt::runtime() &&
              calls == std::vector<std::string>{"built", "before", "after"};
    std::_Exit(ok ? 0 : 1);
}

TEST(RuntimeGlobalDeathTest, ShutdownRunsHooksOnceAndNeverRestarts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(shut_down_global_runtime_and_exit(), testing::ExitedWithCode(0), "");
}

}  // namespace
