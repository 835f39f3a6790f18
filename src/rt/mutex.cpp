#include "rt/mutex.hpp"

namespace vantorix::rt {

std::optional<AsyncMutex::Guard> AsyncMutex::try_lock() {
    std::lock_guard lock(queue_.mutex);
    if (locked_) return std::nullopt;
    locked_ = true;
    return Guard(this);
}

asio::awaitable<AsyncMutex::Guard> AsyncMutex::lock() {
    if (auto guard = try_lock()) co_return std::move(*guard);
    co_await async_acquire(asio::use_awaitable);
    co_return Guard(this);
}

bool AsyncMutex::is_locked() const {
    std::lock_guard lock(queue_.mutex);
    return locked_;
}

std::size_t AsyncMutex::waiting() const {
    std::lock_guard lock(queue_.mutex);
    return queue_.waiters.size();
}

void AsyncMutex::unlock() {
    std::unique_ptr<detail::Waiter> next;
    {
        std::lock_guard lock(queue_.mutex);
        if (queue_.waiters.empty()) {
            locked_ = false;
            return;
        }
        // Ownership passes directly to the oldest waiter; the lock never looks free in
        // between, so a newcomer cannot overtake the queue.
        next = std::move(queue_.waiters.front());
        queue_.waiters.pop_front();
    }
    std::move(*next.release()).complete({});
}

}  // namespace vantorix::rt
