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

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/execution/context.hpp>
#include <asio/io_context.hpp>
#include <asio/query.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "rt/waiter.hpp"

namespace vantorix::rt {

namespace detail {
struct NotifyTimer;
}  // namespace detail

class Notify {
  public:
    using Epoch = std::uint64_t;
    using Clock = detail::Waiter::Clock;

    Notify() = default;
    ~Notify();
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

    // As `async_notified`, but completes with asio::error::timed_out once `deadline` has
    // passed. All timed waits of a Notify share one timer, which is moved only when a wait
    // needs an earlier expiry than the one it has: a wait that ends by a notification
    // leaves the timer alone, so a hot wait with a long timeout costs no timer operation.
    // The waiter must run on an executor of an io_context.
    template <typename Token>
    auto async_notified_until(Epoch since, Clock::time_point deadline, Token&& token) {
        return asio::async_initiate<Token, void(std::error_code)>(
            [this](auto handler, Epoch seen, Clock::time_point at) {
                this->start_wait(std::move(handler), seen, at);
            },
            token, since, deadline);
    }

    // Throws std::system_error (operation_aborted) when the wait is cancelled.
    asio::awaitable<void> notified(Epoch since) {
        co_await async_notified(since, asio::use_awaitable);
    }
    // Waits for the next notify (or a stored permit).
    asio::awaitable<void> notified() { return notified(epoch()); }

  private:
    friend struct detail::NotifyTimer;

    template <typename Handler>
    void start_wait(Handler handler, Epoch since,
                    std::optional<Clock::time_point> deadline = std::nullopt) {
        {
            std::lock_guard lock(queue_.mutex);
            if (epoch_.load(std::memory_order_relaxed) == since && !permit_) {
                auto waiter = std::make_unique<detail::HandlerWaiter<Handler>>(std::move(handler));
                waiter->watch_cancellation(queue_);
                if (deadline) {
                    waiter->deadline = *deadline;
                    auto executor = asio::get_associated_executor(waiter->handler());
                    arm_timer_locked(static_cast<asio::io_context&>(
                                         asio::query(executor, asio::execution::context)),
                                     *deadline);
                }
                queue_.waiters.push_back(std::move(waiter));
                return;
            }
            permit_ = false;
        }
        detail::complete_now(std::move(handler));
    }

    // Makes the shared timer expire no later than `deadline`. Call with the queue's mutex.
    void arm_timer_locked(asio::io_context& context, Clock::time_point deadline);
    // The timer expired: completes the waits whose deadline has passed with timed_out and
    // sets the timer for the earliest remaining one.
    void expire_waits();

    detail::WaitQueue queue_;
    std::shared_ptr<detail::NotifyTimer> timer_;  // created by the first timed wait
    std::atomic<Epoch> epoch_{0};
    bool permit_ = false;  // guarded by queue_.mutex
};

}  // namespace vantorix::rt
