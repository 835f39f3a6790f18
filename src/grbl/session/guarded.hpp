// A value behind its own mutex, for the session fields that several tasks read and
// write. The lock is held only for one copy, swap or short update, never across a wait.
#pragma once

#include <mutex>
#include <utility>

namespace vantorix::grbl {

template <typename T>
class Guarded {
  public:
    Guarded() = default;
    explicit Guarded(T value) : value_(std::move(value)) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    T get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }

    // The previous value is destroyed after the lock is released.
    void set(T value) { exchange(std::move(value)); }

    T exchange(T value) {
        std::lock_guard lock(mutex_);
        return std::exchange(value_, std::move(value));
    }

    // Runs `update(value&)` under the lock and returns what it returns.
    template <typename F>
    decltype(auto) with(F&& update) {
        std::lock_guard lock(mutex_);
        return std::forward<F>(update)(value_);
    }
    template <typename F>
    decltype(auto) with(F&& read) const {
        std::lock_guard lock(mutex_);
        return std::forward<F>(read)(value_);
    }

  private:
    mutable std::mutex mutex_;
    T value_{};
};

}  // namespace vantorix::grbl
