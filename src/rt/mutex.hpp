// A first-in first-out asynchronous mutex that may be held across waits:
//
//     auto guard = co_await mutex.lock();   // unlocked when `guard` is destroyed
//
// Unlocking hands the lock straight to the oldest waiter. A waiter whose operation is
// cancelled (task abort, timeout) leaves the queue without ever owning the lock; if the
// lock was handed over just before the cancellation, the guard still arrives and
// releases it when it goes out of scope.
#pragma once

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/use_awaitable.hpp>
#include <optional>

#include "rt/waiter.hpp"

namespace vantorix::rt {

class AsyncMutex {
  public:
    class Guard {
      public:
        Guard() = default;
        Guard(Guard&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
        Guard& operator=(Guard&& other) noexcept {
            if (this != &other) {
                unlock();
                mutex_ = std::exchange(other.mutex_, nullptr);
            }
            return *this;
        }
        ~Guard() { unlock(); }

        bool owns_lock() const { return mutex_ != nullptr; }
        void unlock() {
            if (mutex_ != nullptr) std::exchange(mutex_, nullptr)->unlock();
        }

      private:
        friend class AsyncMutex;
        explicit Guard(AsyncMutex* mutex) : mutex_(mutex) {}
        AsyncMutex* mutex_ = nullptr;
    };

    AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    // Succeeds only when the lock is free and nobody is queued for it.
    std::optional<Guard> try_lock();

    // Throws std::system_error (operation_aborted) when the wait is cancelled.
    asio::awaitable<Guard> lock();

    bool is_locked() const;
    // Tasks queued for the lock.
    std::size_t waiting() const;

    // On success the operation owns the lock; the caller must adopt it into a Guard.
    template <typename Token>
    auto async_acquire(Token&& token) {
        return asio::async_initiate<Token, void(std::error_code)>(
            [this](auto handler) { this->start_acquire(std::move(handler)); }, token);
    }

  private:
    template <typename Handler>
    void start_acquire(Handler handler) {
        {
            std::lock_guard lock(queue_.mutex);
            if (locked_) {
                auto waiter = std::make_unique<detail::HandlerWaiter<Handler>>(std::move(handler));
                waiter->watch_cancellation(queue_);
                queue_.waiters.push_back(std::move(waiter));
                return;
            }
            locked_ = true;
        }
        detail::complete_now(std::move(handler));
    }

    void unlock();

    mutable detail::WaitQueue queue_;
    bool locked_ = false;  // guarded by queue_.mutex
};

}  // namespace vantorix::rt
