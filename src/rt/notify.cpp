#include "rt/notify.hpp"

#include <asio/error.hpp>
#include <asio/steady_timer.hpp>
#include <mutex>
#include <vector>

namespace vantorix::rt {

namespace detail {

// Shared with the timer's handler, which may run after the Notify is gone.
struct NotifyTimer {
    explicit NotifyTimer(asio::io_context& context, Notify* owner) : timer(context), owner(owner) {}

    static void on_expiry(const std::shared_ptr<NotifyTimer>& self, std::error_code ec) {
        if (ec) return;  // moved or cancelled
        std::lock_guard lock(self->owner_mutex);
        if (self->owner != nullptr) self->owner->expire_waits();
    }

    // Set up, moved and cancelled only under the owner's queue mutex.
    asio::steady_timer timer;
    std::optional<Notify::Clock::time_point> armed;  // the expiry of the pending wait

    std::mutex owner_mutex;  // taken before the queue mutex, never after it
    Notify* owner;           // null once the Notify is destroyed
};

}  // namespace detail

Notify::~Notify() {
    if (!timer_) return;
    {
        std::lock_guard lock(timer_->owner_mutex);
        timer_->owner = nullptr;
    }
    std::lock_guard lock(queue_.mutex);
    timer_->timer.cancel();
}

void Notify::notify() {
    std::deque<std::unique_ptr<detail::Waiter>> woken;
    {
        std::lock_guard lock(queue_.mutex);
        epoch_.fetch_add(1, std::memory_order_acq_rel);
        permit_ = true;
        woken.swap(queue_.waiters);
    }
    for (auto& waiter : woken) std::move(*waiter.release()).complete({});
}

void Notify::arm_timer_locked(asio::io_context& context, Clock::time_point deadline) {
    if (!timer_) timer_ = std::make_shared<detail::NotifyTimer>(context, this);
    if (timer_->armed && *timer_->armed <= deadline) return;
    timer_->armed = deadline;
    timer_->timer.expires_at(deadline);
    timer_->timer.async_wait(
        [timer = timer_](std::error_code ec) { detail::NotifyTimer::on_expiry(timer, ec); });
}

void Notify::expire_waits() {
    std::vector<std::unique_ptr<detail::Waiter>> expired;
    {
        std::lock_guard lock(queue_.mutex);
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> earliest;
        for (auto it = queue_.waiters.begin(); it != queue_.waiters.end();) {
            const Clock::time_point deadline = (*it)->deadline;
            if (deadline <= now) {
                expired.push_back(std::move(*it));
                it = queue_.waiters.erase(it);
                continue;
            }
            if (deadline != Clock::time_point::max() && (!earliest || deadline < *earliest)) {
                earliest = deadline;
            }
            ++it;
        }
        // The pending wait, if any, is for a later expiry than this one.
        if (timer_->armed && *timer_->armed <= now) timer_->armed.reset();
        if (earliest) {
            auto& context = static_cast<asio::io_context&>(
                asio::query(timer_->timer.get_executor(), asio::execution::context));
            arm_timer_locked(context, *earliest);
        }
    }
    for (auto& waiter : expired) std::move(*waiter.release()).complete(asio::error::timed_out);
}

}  // namespace vantorix::rt
