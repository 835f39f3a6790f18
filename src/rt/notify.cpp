#include "rt/notify.hpp"

namespace vantorix::rt {

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

}  // namespace vantorix::rt
