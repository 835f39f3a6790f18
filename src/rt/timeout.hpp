// Timed waits for tasks: sleeping, a cooperative yield and a timeout around any wait.
// All of them run on the calling task's executor (a strand) and honour task abort.
#pragma once

#include <cxxabi.h>

#include <asio/awaitable.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <exception>
#include <optional>

namespace vantorix::rt {

using Clock = std::chrono::steady_clock;
using Duration = Clock::duration;

// What is left until `deadline`; zero once it has passed.
inline Duration time_left(Clock::time_point deadline) {
    const Clock::time_point now = Clock::now();
    return now < deadline ? deadline - now : Duration::zero();
}

asio::awaitable<void> sleep_for(Duration duration);
asio::awaitable<void> sleep_until(Clock::time_point deadline);

// Lets other work on the runtime run before the task continues.
asio::awaitable<void> yield_now();

namespace detail {

// `||` of the awaitable operators waits for the first branch that succeeds and drops
// errors, so each branch reports its error as a value instead of throwing.
template <typename T>
struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;
};
struct Done {};

template <typename T>
asio::awaitable<Outcome<T>> capture(asio::awaitable<T> op) {
    Outcome<T> outcome;
    try {
        T value = co_await std::move(op);
        outcome.value.emplace(std::move(value));
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        outcome.error = std::current_exception();
    }
    co_return outcome;
}

asio::awaitable<Outcome<Done>> capture(asio::awaitable<void> op);
asio::awaitable<Outcome<Done>> timer_branch(Duration duration);

}  // namespace detail

// Runs `op` for at most `timeout`. Returns its value, or nothing when the time ran out
// first (`op` is then cancelled); an error of `op`, including a task abort, is rethrown.
template <typename T>
asio::awaitable<std::optional<T>> with_timeout(asio::awaitable<T> op, Duration timeout) {
    using namespace asio::experimental::awaitable_operators;
    auto first = co_await (detail::capture(std::move(op)) || detail::timer_branch(timeout));
    if (first.index() == 1) {
        auto& timer = std::get<1>(first);
        if (timer.error) std::rethrow_exception(timer.error);
        co_return std::nullopt;
    }
    auto& outcome = std::get<0>(first);
    if (outcome.error) std::rethrow_exception(outcome.error);
    co_return std::move(outcome.value);
}

// Returns true when `op` finished in time, false when the time ran out first.
asio::awaitable<bool> with_timeout(asio::awaitable<void> op, Duration timeout);

}  // namespace vantorix::rt
