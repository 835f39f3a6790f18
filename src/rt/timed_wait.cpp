#include "rt/timed_wait.hpp"

#include <asio/error.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <system_error>

namespace vantorix::rt {

asio::awaitable<bool> notified_within(Notify& notify, Notify::Epoch since, Duration timeout) {
    std::error_code ec;
    co_await notify.async_notified_until(since, Clock::now() + timeout,
                                         asio::redirect_error(asio::use_awaitable, ec));
    if (!ec) co_return true;
    if (ec == asio::error::timed_out) co_return false;
    throw std::system_error(ec);
}

}  // namespace vantorix::rt
