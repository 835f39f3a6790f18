#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "grbl/session/core.hpp"
#include "log_capture.hpp"
#include "rt/block_on.hpp"
#include "rt/timeout.hpp"
#include "session_fixture.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using namespace vantorix::grbl;
using vantorix::log::Level;
using vantorix::testing_support::CapturedLine;
using vantorix::testing_support::LogCapture;
using vantorix::testing_support::RecordingEvents;
using vantorix::testing_support::StatusEvent;

namespace {

constexpr const char* SESSION = "vantorix::grbl::session";

std::shared_ptr<SessionCore> mock_core(SessionConfig config = {},
                                       std::shared_ptr<SessionEvents> events = nullptr) {
    if (!events) events = std::make_shared<RecordingEvents>();
    return SessionCore::create(MockLink{std::make_shared<MockInner>()}, std::move(config),
                               GrblDialect{}, std::move(events));
}

TEST(SessionCore, NewSessionIsIdle) {
    auto core = mock_core();
    EXPECT_EQ(core->state(), DeviceState{});
    EXPECT_EQ(core->connection_status.get(), TransportStatus::UNKNOWN);
    EXPECT_EQ(core->last_report_status.get(), DeviceStatus::UNKNOWN);
    EXPECT_EQ(core->last_done_op_index.get(), -1);
    EXPECT_FALSE(core->job_active());
    EXPECT_FALSE(core->connection_wanted.load());
    EXPECT_FALSE(core->cancelled.load());
    EXPECT_FALSE(core->status_report_event.is_set());
    EXPECT_TRUE(core->command_tx.get().is_closed());
    EXPECT_EQ(core->rx_buffer_size(), DEFAULT_RX_BUFFER_SIZE);
    EXPECT_EQ(core->flow.stored_rx_buffer_size(), std::nullopt);
    EXPECT_EQ(core->buffer_count(), 0u);
    EXPECT_TRUE(core->pending_commands().empty());
    EXPECT_EQ(core->resource_uri(), std::nullopt);
    EXPECT_EQ(core->dialect(), GrblDialect{});
}

TEST(SessionCore, BuildsTheTransportOfTheLinkChoice) {
    auto events = std::make_shared<RecordingEvents>();
    auto serial = SessionCore::create(SerialLink{"/dev/ttyUSB7", 9600}, {}, {}, events);
    auto tcp = SessionCore::create(TcpLink{"grbl.local", 2323}, {}, {}, events);
    EXPECT_EQ(serial->resource_uri(), "serial:///dev/ttyUSB7");
    EXPECT_EQ(tcp->resource_uri(), "tcp://grbl.local:2323");
    EXPECT_FALSE(serial->transport->is_open());
}

TEST(SessionCore, CachedBufferSizeIsAppliedAtConstruction) {
    SessionConfig config;
    config.cached_rx_buffer_size = 1024;
    EXPECT_EQ(mock_core(config)->rx_buffer_size(), 1024u);
}

TEST(SessionCore, DialectIsReplacedForLaterCommands) {
    auto core = mock_core();
    GrblDialect dialect;
    dialect.laser_off = "M5 S0";
    core->update_dialect(dialect);
    EXPECT_EQ(core->dialect().laser_off, "M5 S0");
}

TEST(SessionCore, PendingCommandsAreTheUnansweredLinesOldestFirst) {
    auto core = mock_core();
    core->flow.track_command(6, std::nullopt, "G0 X1");
    core->flow.track_command(4, 3, "$$");
    EXPECT_EQ(core->pending_commands(), (std::vector<std::string>{"G0 X1", "$$"}));
    EXPECT_EQ(core->buffer_count(), 10u);
}

TEST(SessionCore, ConnectionStatusIsEmittedOnEveryUpdate) {
    auto events = std::make_shared<RecordingEvents>();
    auto core = mock_core({}, events);
    core->update_connection_status(TransportStatus::ERROR, "lost");
    core->update_connection_status(TransportStatus::ERROR, "lost");
    EXPECT_EQ(core->connection_status.get(), TransportStatus::ERROR);
    EXPECT_EQ(events->connection(), (std::vector<StatusEvent>{{TransportStatus::ERROR, "lost"},
                                                              {TransportStatus::ERROR, "lost"}}));
}

struct CachedSizeCase {
    const char* name;
    std::int64_t override_size;
    std::optional<std::uint64_t> cached;
    std::size_t applied;
    std::vector<CapturedLine> logged;
};

class ApplyCachedSize : public testing::TestWithParam<CachedSizeCase> {};

TEST_P(ApplyCachedSize, OverrideFirstThenCache) {
    const CachedSizeCase& c = GetParam();
    SessionConfig config;
    config.rx_buffer_size_override = c.override_size;
    config.cached_rx_buffer_size = c.cached;
    auto core = mock_core(config);
    core->flow.set_rx_buffer_size(300);  // e.g. learned earlier
    LogCapture capture;
    core->apply_cached_rx_buffer_size();
    EXPECT_EQ(core->rx_buffer_size(), c.applied);
    EXPECT_EQ(capture.lines(SESSION), c.logged);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ApplyCachedSize,
    testing::Values(
        CachedSizeCase{"Override",
                       256,
                       1024,
                       256,
                       {{Level::INFO, SESSION, "Applying RX buffer size override: 256 bytes"}}},
        CachedSizeCase{"Cache",
                       0,
                       1024,
                       1024,
                       {{Level::INFO, SESSION, "Applying cached RX buffer size: 1024 bytes"}}},
        CachedSizeCase{"NegativeOverrideFallsBackToCache",
                       -1,
                       512,
                       512,
                       {{Level::INFO, SESSION, "Applying cached RX buffer size: 512 bytes"}}},
        CachedSizeCase{"NeitherKeepsWhatIsThere", 0, std::nullopt, 300, {}}),
    [](const testing::TestParamInfo<CachedSizeCase>& info) { return info.param.name; });

// ---- AsyncEvent ------------------------------------------------------------------------

asio::awaitable<bool> wait_within(AsyncEvent* event, rt::Duration limit) {
    co_return co_await rt::with_timeout(event->wait(), limit);
}

TEST(AsyncEvent, WaitReturnsOnceSetAndClearDoesNotWake) {
    AsyncEvent event;
    EXPECT_FALSE(rt::block_on(wait_within(&event, 20ms)));
    event.set();
    EXPECT_TRUE(event.is_set());
    EXPECT_TRUE(rt::block_on(wait_within(&event, 5s)));
    event.clear();
    EXPECT_FALSE(event.is_set());
    // The permit stored by the earlier set ends one wait early; the flag sends it back.
    EXPECT_FALSE(rt::block_on(wait_within(&event, 20ms)));
}

TEST(AsyncEvent, SetFromAnotherThreadWakesAWaiter) {
    AsyncEvent event;
    rt::TaskHandle waiter = rt::spawn(event.wait());
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(waiter.is_finished());
    event.set();
    EXPECT_EQ(waiter.wait_for(5s), rt::TaskEnd::COMPLETED);
}

// ---- stream task -----------------------------------------------------------------------

asio::awaitable<void> endless_stream(std::shared_ptr<StreamDone> done) {
    StreamGuard guard(std::move(done));
    co_await rt::sleep_for(60s);
}

struct SelfAbort {
    std::shared_ptr<SessionCore> core;
    rt::Notify handle_stored;
    std::atomic<bool> returned{false};
    std::atomic<bool> still_stored{false};
};

asio::awaitable<void> stream_that_aborts_itself(SelfAbort* probe,
                                                std::shared_ptr<StreamDone> done) {
    StreamGuard guard(std::move(done));
    co_await probe->handle_stored.notified(0);
    co_await abort_stream_task(probe->core);
    probe->returned.store(true);
    probe->still_stored.store(probe->core->stream.get().has_value());
}

std::shared_ptr<StreamDone> start_stream(
    SessionCore& core, asio::awaitable<void> (*body)(std::shared_ptr<StreamDone>)) {
    auto done = std::make_shared<StreamDone>();
    core.stream.set(StreamHandle{rt::spawn(body(done)), done});
    return done;
}

TEST(AbortStreamTask, WithoutStreamDoesNothing) {
    auto core = mock_core();
    rt::block_on(abort_stream_task(core));
    EXPECT_FALSE(core->stream.get().has_value());
}

TEST(AbortStreamTask, AbortsTheStreamAndWaitsForItsEnd) {
    auto core = mock_core();
    auto done = start_stream(*core, endless_stream);
    auto started = rt::Clock::now();
    rt::block_on(abort_stream_task(core));
    EXPECT_TRUE(done->finished.load());
    EXPECT_LT(rt::Clock::now() - started, 5s);
    EXPECT_FALSE(core->stream.get().has_value());
}

TEST(AbortStreamTask, FinishedStreamIsOnlyForgotten) {
    auto core = mock_core();
    auto done = std::make_shared<StreamDone>();
    {
        StreamGuard ended(done);
    }
    core->stream.set(StreamHandle{rt::TaskHandle(), done});
    rt::block_on(abort_stream_task(core));
    EXPECT_FALSE(core->stream.get().has_value());
}

TEST(AbortStreamTask, InsideTheStreamTaskReturnsAtOnce) {
    SelfAbort probe;
    probe.core = mock_core();
    auto done = std::make_shared<StreamDone>();
    rt::TaskHandle task = rt::spawn(stream_that_aborts_itself(&probe, done));
    probe.core->stream.set(StreamHandle{task, done});
    probe.handle_stored.notify();
    EXPECT_EQ(task.wait_for(5s), rt::TaskEnd::COMPLETED);
    EXPECT_TRUE(probe.returned.load());
    EXPECT_TRUE(probe.still_stored.load());
    EXPECT_TRUE(done->finished.load());
    EXPECT_FALSE(rt::block_on(IN_STREAM_TASK(probe.core)));
}

}  // namespace
