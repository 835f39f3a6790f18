#include "rt/timeout.hpp"

#include <cxxabi.h>

#include <asio/defer.hpp>

namespace vantorix::rt {

asio::awaitable<void> sleep_until(Clock::time_point deadline) {
    asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
    co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<void> sleep_for(Duration duration) {
    co_await sleep_until(Clock::now() + duration);
}

asio::awaitable<void> yield_now() {
    auto executor = co_await asio::this_coro::executor;
    // Deferred: the task goes to the back of its worker's queue without waking the other
    // worker for it.
    co_await asio::defer(executor, asio::use_awaitable);
}

namespace detail {

asio::awaitable<Outcome<Done>> capture(asio::awaitable<void> op) {
    Outcome<Done> outcome;
    try {
        co_await std::move(op);
        outcome.value.emplace();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        outcome.error = std::current_exception();
    }
    co_return outcome;
}

asio::awaitable<Outcome<Done>> timer_branch(Duration duration) {
    return capture(sleep_for(duration));
}

}  // namespace detail

asio::awaitable<bool> with_timeout(asio::awaitable<void> op, Duration timeout) {
    using namespace asio::experimental::awaitable_operators;
    auto first = co_await (detail::capture(std::move(op)) || detail::timer_branch(timeout));
    const detail::Outcome<detail::Done>& outcome =
        first.index() == 0 ? std::get<0>(first) : std::get<1>(first);
    if (outcome.error) std::rethrow_exception(outcome.error);
    co_return first.index() == 0;
}

}  // namespace vantorix::rt
