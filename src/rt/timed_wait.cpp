#include "rt/timed_wait.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/cancellation_state.hpp>
#include <asio/error.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <memory>
#include <system_error>

namespace vantorix::rt {

namespace {

// Shared by the wait and its timer: the timer's handler may run after the wait has ended.
// Touched only on the task's strand.
struct TimedWait {
    asio::cancellation_signal signal;
    bool finished = false;
    bool timed_out = false;
};

}  // namespace

asio::awaitable<bool> notified_within(Notify& notify, Notify::Epoch since, Duration timeout) {
    auto wait = std::make_shared<TimedWait>();
    asio::steady_timer timer(co_await asio::this_coro::executor, timeout);
    timer.async_wait([wait](std::error_code ec) {
        if (ec || wait->finished) return;
        wait->timed_out = true;
        wait->signal.emit(asio::cancellation_type::terminal);
    });
    // The wait is bound to its own signal, so the task's abort is forwarded to it.
    asio::cancellation_state task_state = co_await asio::this_coro::cancellation_state;
    asio::cancellation_slot task_slot = task_state.slot();
    if (task_slot.is_connected()) {
        task_slot.assign([wait](asio::cancellation_type type) { wait->signal.emit(type); });
    }
    std::error_code ec;
    co_await notify.async_notified(
        since, asio::bind_cancellation_slot(wait->signal.slot(),
                                            asio::redirect_error(asio::use_awaitable, ec)));
    wait->finished = true;
    if (task_slot.is_connected()) task_slot.clear();
    timer.cancel();
    if (!ec) co_return true;
    if (ec == asio::error::operation_aborted && wait->timed_out) co_return false;
    throw std::system_error(ec);
}

}  // namespace vantorix::rt
