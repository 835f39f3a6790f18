#include "grbl/session/sync.hpp"

namespace vantorix::grbl {

void AsyncEvent::set() {
    {
        std::lock_guard lock(mutex_);
        flag_ = true;
    }
    notify_.notify();
}

void AsyncEvent::clear() {
    std::lock_guard lock(mutex_);
    flag_ = false;
}

bool AsyncEvent::is_set() const {
    std::lock_guard lock(mutex_);
    return flag_;
}

asio::awaitable<void> AsyncEvent::wait() {
    for (;;) {
        rt::Notify::Epoch seen = notify_.epoch();
        if (is_set()) co_return;
        co_await notify_.notified(seen);
    }
}

std::vector<std::string> RequestShared::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void RequestShared::add_line(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
}

StreamGuard::~StreamGuard() {
    done_->finished.store(true);
    done_->notify.notify();
}

namespace {
// Takes its state by value so that the wait does not depend on the handle it came from.
asio::awaitable<void> abort_and_wait_for(rt::TaskHandle task, std::shared_ptr<StreamDone> done) {
    if (!done) co_return;
    if (!done->finished.load()) task.abort();
    for (;;) {
        rt::Notify::Epoch seen = done->notify.epoch();
        if (done->finished.load()) co_return;
        co_await done->notify.notified(seen);
    }
}
}  // namespace

asio::awaitable<void> StreamHandle::abort_and_wait() const {
    return abort_and_wait_for(task, done);
}

}  // namespace vantorix::grbl
