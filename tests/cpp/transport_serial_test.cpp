#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "grbl/transport/serial.hpp"
#include "log_capture.hpp"
#include "rt/block_on.hpp"
#include "rt/timeout.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using namespace vantorix::grbl;
using vantorix::testing_support::LogCapture;

namespace {

constexpr const char* SERIAL = "vantorix::grbl::transport::serial";

Bytes bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

asio::awaitable<std::optional<std::optional<Bytes>>> recv_within(RxReceiver* rx,
                                                                 rt::Duration limit) {
    co_return co_await rt::with_timeout(rx->recv(), limit);
}

// A pseudo-terminal: the transport opens the device side by path, the test plays the
// controller on the master side.
class SerialPty : public testing::Test {
  protected:
    void SetUp() override {
        int slave = -1;
        char name[256] = {};
        ASSERT_EQ(::openpty(&master_, &slave, name, nullptr, nullptr), 0);
        ::close(slave);
        path_ = name;
        transport_ = std::make_unique<SerialTransport>(path_, 115200);
    }
    void TearDown() override {
        if (transport_) (void)rt::block_on(transport_->close());
        if (master_ >= 0) ::close(master_);
    }

    TransportResult open(SerialTransport& transport, RxSender sender) {
        return rt::block_on(transport.open(std::move(sender)));
    }
    TransportResult write(SerialTransport& transport, std::string_view text) {
        Bytes data = bytes(text);
        return rt::block_on(transport.write(data));
    }
    // Reads exactly `n` bytes from the master side.
    std::string read_master(std::size_t n) {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{master_, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            char buffer[4096];
            ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, n - out.size()));
            if (got > 0) out.append(buffer, static_cast<std::size_t>(got));
        }
        return out;
    }
    // Collects chunks until `n` bytes arrived; records the largest chunk.
    Bytes receive(RxReceiver& rx, std::size_t n, std::size_t* largest = nullptr) {
        Bytes all;
        while (all.size() < n) {
            auto item = rt::block_on(recv_within(&rx, 5s));
            if (!item || !*item) break;
            if (largest) *largest = std::max(*largest, (*item)->size());
            all.insert(all.end(), (*item)->begin(), (*item)->end());
        }
        return all;
    }
    bool ends_within(RxReceiver& rx, rt::Duration limit) {
        auto item = rt::block_on(recv_within(&rx, limit));
        return item.has_value() && !item->has_value();
    }

    int master_ = -1;
    std::string path_;
    std::unique_ptr<SerialTransport> transport_;
};

TEST(SerialTransportBasics, ResourceUriAndWritesWhileDown) {
    SerialTransport transport("/dev/ttyUSB0", 115200);
    EXPECT_EQ(transport.resource_uri(), "serial:///dev/ttyUSB0");
    EXPECT_EQ(transport.status_on_error(), vantorix::grbl::TransportStatus::ERROR);
    EXPECT_FALSE(transport.is_open());
    Bytes data = bytes("?");
    EXPECT_EQ(rt::block_on(transport.write(data)),
              TransportResult(TransportError::not_connected()));
    EXPECT_TRUE(rt::block_on(transport.close()).ok());
    EXPECT_TRUE(rt::block_on(transport.close()).ok());
}

TEST(SerialTransportBasics, OpenFailureDropsTheSender) {
    SerialTransport transport("/dev/does-not-exist-vantorix", 115200);
    auto [tx, rx] = rx_channel();
    TransportResult result = rt::block_on(transport.open(std::move(tx)));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), TransportError::Kind::CONNECTION);
    EXPECT_NE(result.error().description().find("No such file"), std::string::npos)
        << result.error().description();
    EXPECT_FALSE(transport.is_open());
    EXPECT_EQ(rt::block_on(recv_within(&rx, 5s)),
              std::optional<std::optional<Bytes>>(std::optional<Bytes>()));
}

TEST_F(SerialPty, ConfiguresRaw8N1AtTheRequestedSpeed) {
    auto [tx, rx] = rx_channel();
    ASSERT_TRUE(open(*transport_, std::move(tx)).ok());
    EXPECT_TRUE(transport_->is_open());
    // Only root gets past the exclusive flag to look at the settings.
    int probe = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (probe < 0) GTEST_SKIP() << "port is exclusive for this user";
    termios tio{};
    ASSERT_EQ(::tcgetattr(probe, &tio), 0);
    ::close(probe);
    EXPECT_EQ(::cfgetospeed(&tio), B115200);
    EXPECT_EQ(::cfgetispeed(&tio), B115200);
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST_F(SerialPty, BytesFlowBothWaysInChunksOfAtMost1024) {
    auto [tx, rx] = rx_channel();
    ASSERT_TRUE(open(*transport_, std::move(tx)).ok());

    ASSERT_TRUE(write(*transport_, "G0 X1\n").ok());
    EXPECT_EQ(read_master(6), "G0 X1\n");

    std::string reply(3000, 'a');
    for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = char('a' + i % 26);
    reply += "\r\xFF\n";
    ASSERT_EQ(::write(master_, reply.data(), reply.size()), ssize_t(reply.size()));
    std::size_t largest = 0;
    EXPECT_EQ(receive(rx, reply.size(), &largest), bytes(reply));
    EXPECT_LE(largest, 1024u);
}

TEST_F(SerialPty, ConcurrentWritesNeverInterleave) {
    auto [tx, rx] = rx_channel();
    ASSERT_TRUE(open(*transport_, std::move(tx)).ok());
    const std::string a(300, 'A');
    const std::string b(300, 'B');
    std::string seen;
    std::thread reader([&] { seen = read_master(20 * 300); });
    std::vector<std::thread> writers;
    for (const std::string* text : {&a, &b}) {
        writers.emplace_back([&, text] {
            for (int i = 0; i < 10; ++i) ASSERT_TRUE(write(*transport_, *text).ok());
        });
    }
    for (auto& writer : writers) writer.join();
    reader.join();
    ASSERT_EQ(seen.size(), 6000u);
    for (std::size_t block = 0; block < 20; ++block) {
        std::string_view part(seen.data() + block * 300, 300);
        EXPECT_TRUE(part == a || part == b) << "block " << block << " is mixed";
    }
}

TEST_F(SerialPty, SecondOpenOfAnOpenPortFails) {
    auto [tx, rx] = rx_channel();
    ASSERT_TRUE(open(*transport_, std::move(tx)).ok());

    SerialTransport second(path_, 115200);
    auto [tx2, rx2] = rx_channel();
    TransportResult result = open(second, std::move(tx2));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), TransportError::Kind::CONNECTION);
    EXPECT_FALSE(second.is_open());

    // Another process trying the same lock is refused as well.
    int other = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (other >= 0) {
        EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
        ::close(other);
    }
    // The transport that holds the port is unaffected.
    ASSERT_TRUE(write(*transport_, "?").ok());
    EXPECT_EQ(read_master(1), "?");
}

TEST_F(SerialPty, CloseEndsTheStreamAndReleasesThePort) {
    auto [tx, rx] = rx_channel();
    ASSERT_TRUE(open(*transport_, std::move(tx)).ok());
    ASSERT_TRUE(rt::block_on(transport_->close()).ok());
    EXPECT_FALSE(transport_->is_open());
    EXPECT_TRUE(ends_within(rx, 5s));
    EXPECT_EQ(write(*transport_, "?"), TransportResult(TransportError::not_connected()));
    EXPECT_TRUE(rt::block_on(transport_->close()).ok());

    auto [tx2, rx2] = rx_channel();
    ASSERT_TRUE(open(*transport_, std::move(tx2)).ok()) << "port still locked after close";
    ASSERT_TRUE(write(*transport_, "$I\n").ok());
    EXPECT_EQ(read_master(3), "$I\n");
}

TEST_F(SerialPty, UnpluggedDeviceEndsTheReaderAndFailsTheNextWrite) {
    LogCapture capture;
    auto [tx, rx] = rx_channel();
    ASSERT_TRUE(open(*transport_, std::move(tx)).ok());
    ::close(master_);
    master_ = -1;
    EXPECT_TRUE(ends_within(rx, 5s));
    EXPECT_TRUE(transport_->is_open()) << "the reader must not change the link state";
    auto lines = capture.lines(SERIAL);
    ASSERT_LE(lines.size(), 1u);
    if (!lines.empty()) {
        EXPECT_EQ(lines[0].message.rfind("Serial read error: ", 0), 0u);
    }

    TransportResult result = write(*transport_, "?");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), TransportError::Kind::CONNECTION);
    EXPECT_FALSE(transport_->is_open());
}

}  // namespace
