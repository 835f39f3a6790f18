// The read loop and the complete write shared by the serial and the TCP transport.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <system_error>
#include <vector>

#include "grbl/transport/transport.hpp"
#include "log/facade.hpp"

namespace vantorix::grbl {

inline constexpr std::size_t READ_CHUNK_SIZE = 1024;
// How long `close` waits for an aborted reader to let go of its half of the link.
inline constexpr std::chrono::seconds READER_STOP_LIMIT{1};

// Forwards every read of `stream` as one chunk until the link ends, the receiver is
// gone or the task is aborted. End of file ends it silently; a read error is logged at
// debug level with `error_pattern`. Dropping `stream` and `sender` on the way out
// closes this half of the link and ends the session's receive stream.
template <typename Stream>
asio::awaitable<void> read_into(std::unique_ptr<Stream> stream, RxSender sender,
                                const char* log_target, const char* error_pattern) {
    std::vector<std::uint8_t> buffer(READ_CHUNK_SIZE, 0);
    for (;;) {
        std::error_code ec;
        std::size_t n = co_await stream->async_read_some(
            asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
        if (ec == asio::error::operation_aborted) co_return;
        if (ec == asio::error::eof || (!ec && n == 0)) co_return;
        if (ec) {
            log::debug(log_target, error_pattern, ec.message());
            co_return;
        }
        if (!sender.send(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n)))) {
            co_return;
        }
    }
}

// Writes what the descriptor takes without waiting and returns the count (0 when it would
// block). The link's writes are a line or a byte and its kernel buffer is nearly always free,
// so most writes end here, without a round trip through the reactor and a wake-up of the
// other worker for their completion. Sockets are written with send() so that a peer that
// has gone raises no SIGPIPE; the serial descriptor is non-blocking from its opening.
template <typename Stream>
std::size_t write_now(Stream& stream, std::span<const std::uint8_t> bytes, std::error_code& ec) {
    for (;;) {
        ssize_t n;
        if constexpr (requires { typename Stream::protocol_type; }) {
            n = ::send(stream.native_handle(), bytes.data(), bytes.size(),
                       MSG_DONTWAIT | MSG_NOSIGNAL);
        } else {
            n = ::write(stream.native_handle(), bytes.data(), bytes.size());
        }
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            ec = std::error_code(errno, std::system_category());
        }
        return 0;
    }
}

// Writes every byte, continuing partial writes. A write that accepts nothing counts as
// an I/O error.
template <typename Stream>
asio::awaitable<std::error_code> write_all(Stream& stream, std::span<const std::uint8_t> bytes) {
    std::error_code now_ec;
    bytes = bytes.subspan(write_now(stream, bytes, now_ec));
    if (now_ec) co_return now_ec;
    while (!bytes.empty()) {
        std::error_code ec;
        std::size_t n =
            co_await stream.async_write_some(asio::buffer(bytes.data(), bytes.size()),
                                             asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return ec;
        if (n == 0) co_return std::make_error_code(std::errc::io_error);
        bytes = bytes.subspan(n);
    }
    co_return std::error_code();
}

}  // namespace vantorix::grbl
