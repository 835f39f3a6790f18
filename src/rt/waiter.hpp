// The suspended-operation machinery shared by Notify and AsyncMutex: a type-erased
// completion handler in a queue guarded by its owner's mutex, with per-operation
// cancellation. Completions are always deferred to the handler's executor, never run
// inline, so a notifier never runs a waiter's code on its own stack or under its lock.
// Deferring (rather than posting) marks the wake-up as a continuation of the notifier's
// work: on a worker thread it is queued there instead of waking the other worker.
#pragma once

#include <algorithm>
#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/defer.hpp>
#include <asio/error.hpp>
#include <asio/system_executor.hpp>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

namespace vantorix::rt::detail {

class Waiter {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~Waiter() = default;
    // Hands the result to the waiting operation; the waiter is consumed.
    virtual void complete(std::error_code ec) && = 0;

    // When a timed wait gives up (Notify completes it with timed_out); never for others.
    Clock::time_point deadline = Clock::time_point::max();
};

// The owner's mutex and its queue of waiters, oldest first. Cancellation of a queued
// waiter removes it under `mutex` and completes it with operation_aborted; a waiter that
// was already taken out by its owner is left to the owner's completion.
struct WaitQueue {
    std::mutex mutex;
    std::deque<std::unique_ptr<Waiter>> waiters;

    // Takes `w` out of the queue; empty when it was no longer queued. Call with `mutex` held.
    std::unique_ptr<Waiter> take(Waiter* w) {
        auto it = std::find_if(waiters.begin(), waiters.end(),
                               [w](const std::unique_ptr<Waiter>& q) { return q.get() == w; });
        if (it == waiters.end()) return nullptr;
        std::unique_ptr<Waiter> found = std::move(*it);
        waiters.erase(it);
        return found;
    }
};

template <typename Handler>
class HandlerWaiter final : public Waiter {
  public:
    explicit HandlerWaiter(Handler handler)
        : handler_(std::move(handler)), slot_(asio::get_associated_cancellation_slot(handler_)) {}

    // Installs the cancellation handler. Must happen before the waiter becomes visible in
    // `queue` and on the thread of execution that may later emit on the slot.
    void watch_cancellation(WaitQueue& queue) {
        if (!slot_.is_connected()) return;
        slot_.template emplace<CancelHandler>(&queue, this);
    }

    const Handler& handler() const { return handler_; }

    void complete(std::error_code ec) && override {
        auto executor = asio::get_associated_executor(handler_, asio::system_executor());
        std::unique_ptr<HandlerWaiter> self(this);
        asio::defer(executor, [self = std::move(self), ec]() mutable {
            // Cleared here, on the waiter's own executor, so that it never races with an
            // emit on the same slot.
            if (self->slot_.is_connected()) self->slot_.clear();
            Handler handler = std::move(self->handler_);
            self.reset();
            std::move(handler)(ec);
        });
    }

  private:
    struct CancelHandler {
        // Asio emplaces the handler with parentheses, which clang 14 does not accept for
        // an aggregate.
        CancelHandler(WaitQueue* q, Waiter* w) : queue(q), waiter(w) {}

        WaitQueue* queue;
        Waiter* waiter;
        void operator()(asio::cancellation_type type) {
            if (type == asio::cancellation_type::none) return;
            std::unique_ptr<Waiter> found;
            {
                std::lock_guard lock(queue->mutex);
                found = queue->take(waiter);
            }
            if (found) std::move(*found.release()).complete(asio::error::operation_aborted);
        }
    };

    Handler handler_;
    asio::cancellation_slot slot_;
};

// Completes a waiter that never entered a queue: the condition already held.
template <typename Handler>
void complete_now(Handler handler, std::error_code ec = {}) {
    std::move(*new HandlerWaiter<Handler>(std::move(handler))).complete(ec);
}

}  // namespace vantorix::rt::detail
