#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "grbl/transport/tcp_connect.hpp"
#include "grbl/transport/telnet.hpp"
#include "log_capture.hpp"
#include "rt/block_on.hpp"
#include "rt/timeout.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using namespace vantorix::grbl;
using vantorix::testing_support::LogCapture;

namespace {

constexpr const char* TELNET = "vantorix::grbl::transport::telnet";

Bytes bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

asio::awaitable<std::optional<std::optional<Bytes>>> recv_within(RxReceiver* rx,
                                                                 rt::Duration limit) {
    co_return co_await rt::with_timeout(rx->recv(), limit);
}

// A listening socket on 127.0.0.1 with an ephemeral port.
class Listener {
  public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd_, 4);
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~Listener() { close(); }
    void close() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }
    int accept() { return ::accept(fd_, nullptr, nullptr); }
    std::uint16_t port() const { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A port on which nothing listens.
std::uint16_t closed_port() {
    Listener listener;
    return listener.port();
}

std::string read_exactly(int fd, std::size_t n) {
    std::string out;
    while (out.size() < n) {
        char buffer[4096];
        ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, n - out.size()), 0);
        if (got <= 0) break;
        out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
}

class TelnetLink : public testing::Test {
  protected:
    void SetUp() override {
        transport_ = std::make_unique<TelnetTransport>("127.0.0.1", listener_.port());
        auto [tx, rx] = rx_channel();
        rx_ = std::move(rx);
        std::thread acceptor([this] { peer_ = listener_.accept(); });
        TransportResult opened = rt::block_on(transport_->open(std::move(tx)));
        acceptor.join();
        ASSERT_TRUE(opened.ok()) << opened.error().text();
        ASSERT_GE(peer_, 0);
    }
    void TearDown() override {
        (void)rt::block_on(transport_->close());
        if (peer_ >= 0) ::close(peer_);
    }
    TransportResult write(std::string_view text) {
        Bytes data = bytes(text);
        return rt::block_on(transport_->write(data));
    }
    Bytes receive(std::size_t n) {
        Bytes all;
        while (all.size() < n) {
            auto item = rt::block_on(recv_within(&rx_, 5s));
            if (!item || !*item) break;
            all.insert(all.end(), (*item)->begin(), (*item)->end());
        }
        return all;
    }

    Listener listener_;
    std::unique_ptr<TelnetTransport> transport_;
    RxReceiver rx_;
    int peer_ = -1;
};

TEST(TelnetTransportBasics, ResourceUriKeepsTheHostAsConfigured) {
    TelnetTransport transport("grbl-bridge.local", 23);
    EXPECT_EQ(transport.resource_uri(), "tcp://grbl-bridge.local:23");
    EXPECT_EQ(TelnetTransport("10.0.0.5", 8080).resource_uri(), "tcp://10.0.0.5:8080");
    EXPECT_EQ(transport.status_on_error(), vantorix::grbl::TransportStatus::ERROR);
    Bytes data = bytes("?");
    EXPECT_EQ(rt::block_on(transport.write(data)),
              TransportResult(TransportError::not_connected()));
    EXPECT_TRUE(rt::block_on(transport.close()).ok());
}

TEST(TelnetTransportBasics, RefusedOrUnresolvableHostFailsTheOpen) {
    struct Case {
        std::string host;
        std::uint16_t port;
    };
    for (const Case& c : {Case{"127.0.0.1", closed_port()}, Case{"no-such-host.invalid", 23}}) {
        TelnetTransport transport(c.host, c.port);
        auto [tx, rx] = rx_channel();
        TransportResult result = rt::block_on(transport.open(std::move(tx)));
        ASSERT_FALSE(result.ok()) << c.host;
        EXPECT_EQ(result.error().kind(), TransportError::Kind::CONNECTION);
        EXPECT_FALSE(result.error().description().empty());
        EXPECT_FALSE(transport.is_open());
        EXPECT_EQ(rt::block_on(recv_within(&rx, 5s)),
                  std::optional<std::optional<Bytes>>(std::optional<Bytes>()));
    }
}

asio::awaitable<std::string> connect_result(std::vector<asio::ip::tcp::endpoint> endpoints) {
    TcpConnectResult result = co_await connect_in_order(std::move(endpoints));
    if (!result.socket) co_return "error: " + result.error;
    co_return "port " + std::to_string(result.socket->remote_endpoint().port());
}

TEST(TcpConnect, TriesAddressesInOrder) {
    Listener listener;
    auto loopback = asio::ip::make_address("127.0.0.1");
    asio::ip::tcp::endpoint refused(loopback, closed_port());
    asio::ip::tcp::endpoint listening(loopback, listener.port());
    EXPECT_EQ(rt::block_on(connect_result({refused, listening})),
              "port " + std::to_string(listener.port()));
    EXPECT_EQ(rt::block_on(connect_result({})), "error: could not resolve to any address");
    EXPECT_EQ(rt::block_on(connect_result({refused})), "error: Connection refused");
}

TEST_F(TelnetLink, BytesPassUnchangedBothWays) {
    const std::string command = std::string("G0 X1\n\xFF\xFB\x01", 9);
    ASSERT_TRUE(write(command).ok());
    EXPECT_EQ(read_exactly(peer_, command.size()), command);

    std::string reply(2500, 'x');
    reply += "\xFF\xFD\x18ok\r\n";
    ASSERT_EQ(::send(peer_, reply.data(), reply.size(), 0), ssize_t(reply.size()));
    EXPECT_EQ(receive(reply.size()), bytes(reply));
}

TEST_F(TelnetLink, PeerCloseEndsTheReaderSilentlyAndALaterWriteFails) {
    LogCapture capture;
    ::close(std::exchange(peer_, -1));
    auto end = rt::block_on(recv_within(&rx_, 5s));
    EXPECT_TRUE(end.has_value() && !end->has_value());
    EXPECT_TRUE(capture.lines(TELNET).empty());
    EXPECT_TRUE(transport_->is_open());

    // The first write after the peer left may still be accepted by the local stack.
    TransportResult result;
    for (int i = 0; i < 50 && result.ok(); ++i) {
        result = write("?");
        if (result.ok()) std::this_thread::sleep_for(10ms);
    }
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), TransportError::Kind::CONNECTION);
    EXPECT_FALSE(transport_->is_open());
}

TEST_F(TelnetLink, CloseEndsTheStreamAndTheConnection) {
    ASSERT_TRUE(rt::block_on(transport_->close()).ok());
    EXPECT_FALSE(transport_->is_open());
    auto end = rt::block_on(recv_within(&rx_, 5s));
    EXPECT_TRUE(end.has_value() && !end->has_value());
    char byte;
    EXPECT_EQ(::recv(peer_, &byte, 1, 0), 0) << "the peer should see the connection closed";
    EXPECT_EQ(write("?"), TransportResult(TransportError::not_connected()));
    EXPECT_TRUE(rt::block_on(transport_->close()).ok());
}

}  // namespace
