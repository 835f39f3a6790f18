#include "grbl/transport/telnet.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <asio/ip/tcp.hpp>
#include <asio/this_coro.hpp>
#include <cerrno>
#include <system_error>
#include <utility>

#include "grbl/transport/stream_io.hpp"
#include "grbl/transport/tcp_connect.hpp"
#include "rt/timeout.hpp"

namespace vantorix::grbl {

namespace {
constexpr const char* TARGET = "vantorix::grbl::transport::telnet";
}  // namespace

struct TelnetTransport::WriteHalf {
    asio::ip::tcp::socket socket;
};

TelnetTransport::TelnetTransport(std::string host, std::uint16_t tcp_port)
    : host_(std::move(host)), tcp_port_(tcp_port) {}

TelnetTransport::~TelnetTransport() {
    reader_.abort();
}

asio::awaitable<TransportResult> TelnetTransport::open(RxSender sender) {
    auto executor = co_await asio::this_coro::executor;
    TcpConnectResult connected = co_await resolve_and_connect(host_, tcp_port_);
    if (!connected.socket) co_return TransportError::connection(connected.error);

    // The read half gets its own descriptor so that a read and a write can be in flight
    // at the same time on different threads; the connection closes when both are gone.
    asio::ip::tcp::socket& socket = *connected.socket;
    int read_fd = ::fcntl(socket.native_handle(), F_DUPFD_CLOEXEC, 0);
    if (read_fd < 0) {
        co_return TransportError::connection(std::system_category().message(errno));
    }
    auto read_half = std::make_unique<asio::ip::tcp::socket>(executor);
    std::error_code ec;
    auto protocol = socket.local_endpoint(ec).protocol();
    if (!ec) read_half->assign(protocol, read_fd, ec);
    if (ec) {
        ::close(read_fd);
        co_return TransportError::connection(ec.message());
    }
    auto write_half = std::make_unique<WriteHalf>(WriteHalf{std::move(socket)});

    std::unique_ptr<WriteHalf> previous_writer;
    {
        auto guard = co_await writer_mutex_.lock();
        previous_writer = std::exchange(writer_, std::move(write_half));
    }
    rt::TaskHandle reader = rt::spawn(executor, read_into(std::move(read_half), std::move(sender),
                                                          TARGET, "Telnet read error: {}"));
    {
        auto guard = co_await reader_mutex_.lock();
        reader_ = std::move(reader);  // an older reader is left to end by itself
    }
    connected_.store(true);
    co_return TransportResult();
}

asio::awaitable<TransportResult> TelnetTransport::close() {
    connected_.store(false);
    rt::TaskHandle reader;
    {
        auto guard = co_await reader_mutex_.lock();
        reader = std::exchange(reader_, {});
    }
    reader.abort();
    // The aborted reader still holds its half of the link until it has unwound; waiting
    // for that lets an immediate reopen find the port free again.
    if (reader) co_await rt::with_timeout(reader.join(), READER_STOP_LIMIT);
    std::unique_ptr<WriteHalf> writer;
    {
        auto guard = co_await writer_mutex_.lock();
        writer = std::exchange(writer_, nullptr);
    }
    co_return TransportResult();
}

asio::awaitable<TransportResult> TelnetTransport::write(std::span<const std::uint8_t> bytes) {
    auto guard = co_await writer_mutex_.lock();
    if (!writer_) co_return TransportError::not_connected();
    std::error_code ec = co_await write_all(writer_->socket, bytes);
    if (ec) {
        connected_.store(false);  // the write half stays until `close`
        co_return TransportError::connection(ec.message());
    }
    // Sent straight to the socket: nothing is buffered here that would need a flush.
    co_return TransportResult();
}

bool TelnetTransport::is_open() const {
    return connected_.load();
}

std::optional<std::string> TelnetTransport::resource_uri() const {
    return "tcp://" + host_ + ":" + std::to_string(tcp_port_);
}

}  // namespace vantorix::grbl
