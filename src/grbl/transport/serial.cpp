#include "grbl/transport/serial.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <asio/buffer.hpp>
#include <asio/redirect_error.hpp>
#include <asio/serial_port.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <system_error>
#include <utility>

#include "grbl/transport/stream_io.hpp"
#include "rt/timeout.hpp"

namespace vantorix::grbl {

namespace {

constexpr const char* TARGET = "vantorix::grbl::transport::serial";

std::string errno_text(int error) {
    return std::system_category().message(error);
}

// The termios speed constant for a line speed; 0 when the rate is not supported.
speed_t speed_constant(std::uint32_t baud_rate) {
    static constexpr std::array<std::pair<std::uint32_t, speed_t>, 30> SPEEDS{{
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    }};
    for (const auto& [rate, constant] : SPEEDS)
        if (rate == baud_rate) return constant;
    return 0;
}

// A descriptor that closes itself unless released.
class OwnedFd {
  public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

struct Opened {
    int fd = -1;
    std::string error;
};

// Opens the device raw at 8N1 without flow control. The exclusive locks are taken before
// anything is configured, so a port in use by someone else is left untouched. DTR and
// RTS stay as the driver sets them.
Opened open_port(const std::string& path, std::uint32_t baud_rate) {
    OwnedFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return {-1, path + ": " + errno_text(errno)};
    // TIOCEXCL does not stop root from opening the port again; the advisory lock does,
    // between processes and within this one.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if (error == EWOULDBLOCK) return {-1, path + ": port is already in use"};
        return {-1, path + ": " + errno_text(error)};
    }
    if (::ioctl(fd.get(), TIOCEXCL) != 0) return {-1, path + ": " + errno_text(errno)};

    speed_t speed = speed_constant(baud_rate);
    if (speed == 0) return {-1, path + ": unsupported baud rate " + std::to_string(baud_rate)};
    termios tio{};
    if (::tcgetattr(fd.get(), &tio) != 0) return {-1, path + ": " + errno_text(errno)};
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    // With VMIN 0 a read of an empty port returns 0, which looks like end of file; with
    // VMIN 1 the non-blocking descriptor reports "no data yet" instead.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
        ::tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
        return {-1, path + ": " + errno_text(errno)};
    }
    return {fd.release(), {}};
}

}  // namespace

struct SerialTransport::WriteHalf {
    asio::serial_port port;
};

SerialTransport::SerialTransport(std::string path, std::uint32_t baud_rate)
    : path_(std::move(path)), baud_rate_(baud_rate) {}

SerialTransport::~SerialTransport() {
    reader_.abort();
}

asio::awaitable<TransportResult> SerialTransport::open(RxSender sender) {
    auto executor = co_await asio::this_coro::executor;
    Opened opened = open_port(path_, baud_rate_);
    if (opened.fd < 0) co_return TransportError::connection(opened.error);

    // The read half gets its own descriptor so that a read and a write can be in flight
    // at the same time on different threads.
    OwnedFd write_fd(opened.fd);
    OwnedFd read_fd(::fcntl(write_fd.get(), F_DUPFD_CLOEXEC, 0));
    if (read_fd.get() < 0) co_return TransportError::connection(path_ + ": " + errno_text(errno));
    auto write_half = std::make_unique<WriteHalf>(WriteHalf{asio::serial_port(executor)});
    auto read_half = std::make_unique<asio::serial_port>(executor);
    std::error_code ec;
    write_half->port.assign(write_fd.get(), ec);
    if (!ec) write_fd.release();
    if (!ec) read_half->assign(read_fd.get(), ec);
    if (ec) co_return TransportError::connection(path_ + ": " + ec.message());
    read_fd.release();

    std::unique_ptr<WriteHalf> previous_writer;
    {
        auto guard = co_await writer_mutex_.lock();
        previous_writer = std::exchange(writer_, std::move(write_half));
    }
    rt::TaskHandle reader = rt::spawn(executor, read_into(std::move(read_half), std::move(sender),
                                                          TARGET, "Serial read error: {}"));
    {
        auto guard = co_await reader_mutex_.lock();
        reader_ = std::move(reader);  // an older reader is left to end by itself
    }
    connected_.store(true);
    co_return TransportResult();
}

asio::awaitable<TransportResult> SerialTransport::close() {
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

asio::awaitable<TransportResult> SerialTransport::write(std::span<const std::uint8_t> bytes) {
    auto guard = co_await writer_mutex_.lock();
    if (!writer_) co_return TransportError::not_connected();
    std::error_code ec = co_await write_all(writer_->port, bytes);
    if (ec) {
        // The write half stays until `close`; the supervisor sees the link down.
        connected_.store(false);
        co_return TransportError::connection(ec.message());
    }
    // Writes go straight to the descriptor: nothing is buffered here that would need a
    // flush, and waiting for the UART to drain (tcdrain) would block a worker thread.
    co_return TransportResult();
}

bool SerialTransport::is_open() const {
    return connected_.load();
}

std::optional<std::string> SerialTransport::resource_uri() const {
    return "serial://" + path_;
}

}  // namespace vantorix::grbl
