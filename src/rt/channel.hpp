// An unbounded first-in first-out channel between any number of senders and one
// receiver. Sending never waits; it fails only when the receiver is gone. Once every
// sender has been dropped and the queued items are consumed, `recv` reports the end of
// the stream with an empty optional.
#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "rt/notify.hpp"

namespace vantorix::rt {

namespace detail {
template <typename T>
struct ChannelState {
    std::mutex mutex;
    std::deque<T> items;
    std::size_t senders = 1;
    bool receiver_alive = true;
    Notify ready;  // items arrived, or the last sender left
};
}  // namespace detail

template <typename T>
class Receiver;

template <typename T>
class Sender {
  public:
    Sender() = default;  // sends nothing: behaves like a sender whose receiver is gone
    Sender(const Sender& other) : state_(other.state_) {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            ++state_->senders;
        }
    }
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(Sender other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Sender() { release(); }

    // False (and `item` is dropped) when the receiver is gone.
    bool send(T item) const {
        if (!state_) return false;
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver_alive) return false;
            state_->items.push_back(std::move(item));
        }
        state_->ready.notify();
        return true;
    }

    bool is_closed() const {
        if (!state_) return true;
        std::lock_guard lock(state_->mutex);
        return !state_->receiver_alive;
    }

  private:
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> unbounded_channel();
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    void release() {
        if (!state_) return;
        bool last;
        {
            std::lock_guard lock(state_->mutex);
            last = --state_->senders == 0;
        }
        if (last) state_->ready.notify();
        state_.reset();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <typename T>
class Receiver {
  public:
    Receiver() = default;
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    Receiver(const Receiver&) = delete;
    ~Receiver() { close(); }

    // The next item, or nothing at the end of the stream. Throws operation_aborted when
    // the wait is cancelled; no item is lost by that.
    asio::awaitable<std::optional<T>> recv() { return receive(state_); }

    // The next item if one is queued; never waits.
    std::optional<T> try_recv() {
        if (!state_) return std::nullopt;
        std::lock_guard lock(state_->mutex);
        return pop_locked(*state_);
    }

    // Refuses further sends and drops what is queued.
    void close() {
        if (!state_) return;
        std::deque<T> dropped;
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_alive = false;
            dropped.swap(state_->items);
        }
        state_.reset();
    }

  private:
    template <typename U>
    friend std::pair<Sender<U>, Receiver<U>> unbounded_channel();
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

    static std::optional<T> pop_locked(detail::ChannelState<T>& state) {
        if (state.items.empty()) return std::nullopt;
        std::optional<T> item(std::move(state.items.front()));
        state.items.pop_front();
        return item;
    }

    static asio::awaitable<std::optional<T>> receive(
        std::shared_ptr<detail::ChannelState<T>> state) {
        if (!state) co_return std::nullopt;
        for (;;) {
            Notify::Epoch seen = state->ready.epoch();
            {
                std::lock_guard lock(state->mutex);
                if (auto item = pop_locked(*state)) co_return item;
                if (state->senders == 0) co_return std::nullopt;
            }
            co_await state->ready.notified(seen);
        }
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <typename T>
std::pair<Sender<T>, Receiver<T>> unbounded_channel() {
    auto state = std::make_shared<detail::ChannelState<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace vantorix::rt
