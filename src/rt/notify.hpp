// A wake-up notifier: `notify` wakes every task waiting at that moment and also stores
// one permit, so a task that starts waiting just afterwards does not miss it.
//
// Waiting follows one pattern so that no wake-up is lost between a check and the wait:
//
//     auto seen = notify.epoch();
//     if (condition()) ...;
//     co_await notify.notified(seen);   // returns at once if a notify happened since `seen`
//
// A stored permit also ends the next wait at once; waiters re-check their condition in a
// loop, so such an early return costs one extra check. Cancelling a waiting operation
// (task abort, timeout) completes it with operation_aborted.
#pragma once

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <cstdint>

#include "rt/waiter.hpp"

namespace vantorix::rt {

class Notify {
  public:
    using Epoch = std::uint64_t;

    Notify() = default;
    Notify(const Notify&) = delete;
    Notify& operator=(const Notify&) = delete;

    // Advances with every notify.
    Epoch epoch() const { return epoch_.load(std::memory_order_acquire); }

    void notify();

    template <typename Token>
    auto async_notified(Epoch since, Token&& token) {
        return asio::async_initiate<Token, void(std::error_code)>(
            [this](auto handler, Epoch seen) { this->start_wait(std::move(handler), seen); }, token,
            since);
    }

    // Throws std::system_error (operation_aborted) when the wait is cancelled.
    asio::awaitable<void> notified(Epoch since) {
        co_await async_notified(since, asio::use_awaitable);
    }
    // Waits for the next notify (or a stored permit).
    asio::awaitable<void> notified() { return notified(epoch()); }

  private:
    template <typename Handler>
    void start_wait(Handler handler, Epoch since) {
        {
            std::lock_guard lock(queue_.mutex);
            if (epoch_.load(std::memory_order_relaxed) == since && !permit_) {
                auto waiter = std::make_unique<detail::HandlerWaiter<Handler>>(std::move(handler));
                waiter->watch_cancellation(queue_);
                queue_.waiters.push_back(std::move(waiter));
                return;
            }
            permit_ = false;
        }
        detail::complete_now(std::move(handler));
    }

    detail::WaitQueue queue_;
    std::atomic<Epoch> epoch_{0};
    bool permit_ = false;  // guarded by queue_.mutex
};

}  // namespace vantorix::rt
