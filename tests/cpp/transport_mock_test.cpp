#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "grbl/transport/mock.hpp"
#include "rt/block_on.hpp"
#include "rt/timeout.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using namespace vantorix::grbl;

namespace {

Bytes bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

asio::awaitable<std::optional<std::optional<Bytes>>> recv_within(RxReceiver* rx,
                                                                 rt::Duration limit) {
    co_return co_await rt::with_timeout(rx->recv(), limit);
}

// A MockInner with helpers that run its asynchronous operations to completion.
class Mock : public testing::Test {
  protected:
    TransportResult open(RxSender sender) { return rt::block_on(mock.open(std::move(sender))); }
    TransportResult close() { return rt::block_on(mock.close()); }
    TransportResult write(std::string_view text) {
        Bytes data = bytes(text);
        return rt::block_on(mock.write(data));
    }
    // The next chunk, std::nullopt at end of stream; fails the test when nothing comes.
    std::optional<Bytes> next_chunk(RxReceiver& rx) {
        auto item = rt::block_on(recv_within(&rx, 5s));
        EXPECT_TRUE(item.has_value()) << "no chunk and no end of stream";
        return item ? *item : std::nullopt;
    }
    bool nothing_arrives(RxReceiver& rx) {
        return !rt::block_on(recv_within(&rx, 10ms)).has_value();
    }

    MockInner mock;
};

TEST(TransportErrorText, FormsForLogsAndSessionErrors) {
    TransportError connection = TransportError::connection("cable unplugged");
    EXPECT_EQ(connection.text(), "connection error: cable unplugged");
    EXPECT_EQ(connection.message(), "cable unplugged");
    EXPECT_EQ(TransportError::not_connected().text(), "not connected");
    EXPECT_EQ(TransportError::not_connected().message(), "not connected");
}

TEST_F(Mock, FreshTransportIsDownAndEmpty) {
    EXPECT_FALSE(mock.is_open());
    EXPECT_TRUE(mock.sent().empty());
    EXPECT_TRUE(mock.take_new_sent().empty());
    EXPECT_EQ(mock.resource_uri(), std::nullopt);
    EXPECT_EQ(mock.status_on_error(), TransportStatus::ERROR);
    EXPECT_EQ(write("?"), TransportResult(TransportError::not_connected()));
    EXPECT_TRUE(mock.sent().empty());
}

TEST_F(Mock, PushReachesOnlyAnOpenLink) {
    auto [tx, rx] = rx_channel();
    mock.push(bytes("lost\r\n"));  // before open: discarded
    ASSERT_TRUE(open(std::move(tx)).ok());
    EXPECT_TRUE(mock.is_open());
    mock.push(bytes("ok\r\n"));
    mock.push(bytes(""));
    EXPECT_EQ(next_chunk(rx), bytes("ok\r\n"));
    EXPECT_EQ(next_chunk(rx), Bytes());

    ASSERT_TRUE(close().ok());
    EXPECT_FALSE(mock.is_open());
    mock.push(bytes("late"));
    EXPECT_EQ(next_chunk(rx), std::nullopt);  // the close ended the stream
    EXPECT_EQ(write("x"), TransportResult(TransportError::not_connected()));
    EXPECT_TRUE(close().ok());
}

TEST_F(Mock, ReopeningEndsThePreviousChannel) {
    auto [tx1, rx1] = rx_channel();
    auto [tx2, rx2] = rx_channel();
    ASSERT_TRUE(open(std::move(tx1)).ok());
    mock.push(bytes("a"));
    ASSERT_TRUE(open(std::move(tx2)).ok());
    mock.push(bytes("b"));
    EXPECT_EQ(next_chunk(rx1), bytes("a"));
    EXPECT_EQ(next_chunk(rx1), std::nullopt);
    EXPECT_EQ(next_chunk(rx2), bytes("b"));
}

TEST_F(Mock, TakeNewSentIsAMonotonicCursor) {
    auto [tx, rx] = rx_channel();
    ASSERT_TRUE(open(std::move(tx)).ok());
    ASSERT_TRUE(write("G0 X1\n").ok());
    ASSERT_TRUE(write("").ok());
    EXPECT_EQ(mock.take_new_sent(), (std::vector<Bytes>{bytes("G0 X1\n"), Bytes()}));
    EXPECT_TRUE(mock.take_new_sent().empty());
    EXPECT_EQ(mock.sent().size(), 2u);

    ASSERT_TRUE(write("a").ok());
    mock.clear_sent();
    ASSERT_TRUE(write("b").ok());
    ASSERT_TRUE(write("c").ok());
    EXPECT_EQ(mock.take_new_sent(), (std::vector<Bytes>{bytes("b"), bytes("c")}));
    EXPECT_EQ(mock.sent(), (std::vector<Bytes>{bytes("b"), bytes("c")}));
}

TEST_F(Mock, WriteErrorMarksTheLinkDownAndStaysUntilCleared) {
    auto [tx, rx] = rx_channel();
    ASSERT_TRUE(open(std::move(tx)).ok());
    mock.set_write_error("unplugged");
    EXPECT_EQ(write("?"), TransportResult(TransportError::connection("unplugged")));
    EXPECT_FALSE(mock.is_open());
    EXPECT_EQ(write("?"), TransportResult(TransportError::not_connected()));
    mock.set_connected(true);
    EXPECT_EQ(write("?"), TransportResult(TransportError::connection("unplugged")));
    EXPECT_TRUE(mock.sent().empty());

    // The link went down but the sender stays, so pushes still reach the session.
    mock.push(bytes("ok\r\n"));
    EXPECT_EQ(next_chunk(rx), bytes("ok\r\n"));

    mock.set_write_error(std::nullopt);
    mock.set_connected(true);
    EXPECT_TRUE(write("?").ok());
    EXPECT_EQ(mock.sent(), std::vector<Bytes>{bytes("?")});
}

TEST_F(Mock, SetConnectedFalseRefusesWritesButKeepsTheSender) {
    auto [tx, rx] = rx_channel();
    ASSERT_TRUE(open(std::move(tx)).ok());
    mock.set_connected(false);
    EXPECT_EQ(write("?"), TransportResult(TransportError::not_connected()));
    EXPECT_TRUE(mock.sent().empty());
    mock.push(bytes("x"));
    EXPECT_EQ(next_chunk(rx), bytes("x"));
    EXPECT_TRUE(nothing_arrives(rx));
}

TEST_F(Mock, ConcurrentWritersAndPushersLoseNothing) {
    auto [tx, rx] = rx_channel();
    ASSERT_TRUE(open(std::move(tx)).ok());
    constexpr int PER_THREAD = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < PER_THREAD; ++i) ASSERT_TRUE(write("G1\n").ok());
        });
        threads.emplace_back([this] {
            for (int i = 0; i < PER_THREAD; ++i) mock.push(bytes("ok\n"));
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mock.sent().size(), std::size_t(2 * PER_THREAD));
    std::size_t chunks = 0;
    while (rx.try_recv()) ++chunks;
    EXPECT_EQ(chunks, std::size_t(2 * PER_THREAD));
}

}  // namespace
