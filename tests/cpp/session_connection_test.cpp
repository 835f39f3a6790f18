#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grbl/session/core.hpp"
#include "log_capture.hpp"
#include "rt/block_on.hpp"
#include "session_fixture.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using namespace vantorix::grbl;
using vantorix::log::Level;
using vantorix::testing_support::CapturedLine;
using vantorix::testing_support::eventually;
using vantorix::testing_support::fast_config;
using vantorix::testing_support::LogCapture;
using vantorix::testing_support::RecordingEvents;
using vantorix::testing_support::run_blocking;
using vantorix::testing_support::ScriptedDevice;
using vantorix::testing_support::StatusEvent;
using vantorix::testing_support::to_text;
using Statuses = std::vector<TransportStatus>;

namespace {

constexpr const char* SESSION = "vantorix::grbl::session";

bool contains(const std::vector<CapturedLine>& lines, const CapturedLine& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class Connection : public testing::Test {
  protected:
    void SetUp() override { make_core(fast_config()); }
    void TearDown() override { rt::block_on(cleanup(core)); }

    void make_core(SessionConfig config) {
        core = SessionCore::create(MockLink{mock}, config, GrblDialect{}, events);
    }
    void start() { rt::block_on(connect(core)); }
    bool wait_statuses(std::size_t count) { return events->wait_connection_count(count); }
    StatusEvent status(std::size_t index) const { return events->connection().at(index); }

    std::shared_ptr<MockInner> mock = std::make_shared<MockInner>();
    std::shared_ptr<RecordingEvents> events = std::make_shared<RecordingEvents>();
    std::shared_ptr<SessionCore> core;
};

// ---- handshake -------------------------------------------------------------------------

TEST_F(Connection, ReportAnswersTheHandshakeThenBuildInfoThenPolling) {
    LogCapture capture;
    ScriptedDevice device(mock);
    start();
    ASSERT_TRUE(wait_statuses(1));
    EXPECT_EQ(status(0), (StatusEvent{TransportStatus::CONNECTED, std::nullopt}));
    ASSERT_TRUE(eventually([&] { return device.polls() >= 4; }));
    EXPECT_EQ(events->connection_kinds(), Statuses{TransportStatus::CONNECTED});

    std::vector<std::string> written;
    for (const Bytes& chunk : mock->sent()) written.push_back(to_text(chunk));
    ASSERT_GE(written.size(), 3u);
    EXPECT_EQ(written[0], "?");
    auto query = std::find(written.begin(), written.end(), "$I\n");
    ASSERT_NE(query, written.end());
    EXPECT_TRUE(std::all_of(written.begin(), query, [](auto& w) { return w == "?"; }));
    EXPECT_TRUE(std::all_of(query + 1, written.end(), [](auto& w) { return w == "?"; }));

    EXPECT_EQ(core->rx_buffer_size(), 128u);
    auto lines = capture.lines(SESSION);
    EXPECT_TRUE(contains(lines, {Level::INFO, SESSION, "Connection established successfully."}));
    EXPECT_TRUE(contains(lines, {Level::DEBUG, SESSION, "Entering connection loop."}));
    EXPECT_TRUE(contains(lines, {Level::DEBUG, SESSION, "Entering command queue loop."}));
    EXPECT_FALSE(
        contains(lines, {Level::WARN, SESSION,
                         "Device did not report RX buffer size via $I. Using default 127 bytes."}));
}

TEST_F(Connection, WelcomeBannerAnswersTheHandshake) {
    ScriptedDevice device(mock);
    device.banner_instead_of_report = true;
    start();
    ASSERT_TRUE(wait_statuses(1));
    EXPECT_EQ(status(0).status, TransportStatus::CONNECTED);
}

TEST_F(Connection, MissingBufferSizeIsWarnedAbout) {
    LogCapture capture;
    ScriptedDevice device(mock);
    device.report_buffer_size = false;
    start();
    ASSERT_TRUE(wait_statuses(1));
    EXPECT_TRUE(
        contains(capture.lines(SESSION),
                 {Level::WARN, SESSION,
                  "Device did not report RX buffer size via $I. Using default 127 bytes."}));
}

TEST_F(Connection, BuildInfoFailureStillConnects) {
    LogCapture capture;
    ScriptedDevice device(mock);
    device.lines = ScriptedDevice::Lines::SILENT;
    SessionConfig config = fast_config();
    config.command_timeout = 0.1;
    make_core(config);
    start();
    ASSERT_TRUE(wait_statuses(1));
    EXPECT_EQ(status(0).status, TransportStatus::CONNECTED);
    EXPECT_TRUE(
        contains(capture.lines(SESSION),
                 {Level::WARN, SESSION, "Failed to retrieve build info: operation timed out"}));
}

TEST_F(Connection, SilentDeviceIsAnErrorThenSleepsAndIsRetried) {
    LogCapture capture;
    ScriptedDevice device(mock);
    device.answer_polls = false;
    auto started = rt::Clock::now();
    start();
    ASSERT_TRUE(wait_statuses(2));
    auto failed_after = rt::Clock::now() - started;
    EXPECT_EQ(status(0), (StatusEvent{TransportStatus::ERROR, "No response from device"}));
    EXPECT_EQ(status(1), (StatusEvent{TransportStatus::SLEEPING, std::nullopt}));
    EXPECT_GE(failed_after, 300ms);
    // About one "?" per handshake poll interval during the handshake timeout.
    int first_attempt = device.polls();
    EXPECT_GE(first_attempt, 5);
    EXPECT_LE(first_attempt, 12);
    EXPECT_FALSE(mock->is_open());
    EXPECT_TRUE(contains(capture.lines(SESSION),
                         {Level::WARN, SESSION,
                          "No response from device. Port may be a phantom COM port without a "
                          "connected device."}));
    // After the reconnect delay the polls start again on a reopened link.
    ASSERT_TRUE(eventually([&] { return device.polls() > first_attempt; }));
    ASSERT_TRUE(wait_statuses(4));
    EXPECT_EQ(events->connection_kinds(),
              (Statuses{TransportStatus::ERROR, TransportStatus::SLEEPING, TransportStatus::ERROR,
                        TransportStatus::SLEEPING}));
}

TEST(ConnectionOpen, OpenFailureIsAnErrorAndIsRetried) {
    LogCapture capture;
    auto events = std::make_shared<RecordingEvents>();
    auto core = SessionCore::create(SerialLink{"/dev/vantorix-no-such-port", 115200}, fast_config(),
                                    GrblDialect{}, events);
    rt::block_on(connect(core));
    ASSERT_TRUE(events->wait_connection_count(3));
    rt::block_on(cleanup(core));
    auto first = events->connection().at(0);
    EXPECT_EQ(first.status, TransportStatus::ERROR);
    ASSERT_TRUE(first.message.has_value());
    EXPECT_TRUE(first.message->starts_with("connection error: ")) << *first.message;
    EXPECT_EQ(events->connection().at(1).status, TransportStatus::SLEEPING);
    EXPECT_TRUE(contains(capture.lines(SESSION),
                         {Level::ERROR, SESSION, "Connection error: " + *first.message}));
}

// ---- lost links ------------------------------------------------------------------------

TEST_F(Connection, LostLinkSleepsWithoutErrorAndReopens) {
    ScriptedDevice device(mock);
    start();
    ASSERT_TRUE(wait_statuses(1));
    mock->set_connected(false);
    ASSERT_TRUE(wait_statuses(3));
    EXPECT_EQ(events->connection_kinds(),
              (Statuses{TransportStatus::CONNECTED, TransportStatus::SLEEPING,
                        TransportStatus::CONNECTED}));
    EXPECT_TRUE(mock->is_open());
}

TEST_F(Connection, LinesUnansweredOnALostLinkDoNotBlockTheReconnect) {
    ScriptedDevice device(mock);
    start();
    ASSERT_TRUE(wait_statuses(1));
    core->flow.track_command(7, 4, "G1 X10");  // written, and then the link dropped
    mock->set_connected(false);
    ASSERT_TRUE(wait_statuses(3));
    EXPECT_EQ(events->connection_kinds(),
              (Statuses{TransportStatus::CONNECTED, TransportStatus::SLEEPING,
                        TransportStatus::CONNECTED}));
    EXPECT_TRUE(core->pending_commands().empty());
}

TEST_F(Connection, PollWriteFailureTearsDownAndRetriesUntilCleared) {
    LogCapture capture;
    ScriptedDevice device(mock);
    start();
    ASSERT_TRUE(wait_statuses(1));
    mock->set_write_error("cable unplugged");
    ASSERT_TRUE(wait_statuses(4));
    std::vector<StatusEvent> seen = events->connection();
    EXPECT_EQ(seen[1], (StatusEvent{TransportStatus::SLEEPING, std::nullopt}));
    // Later attempts fail their first handshake write, with the bare failure text.
    EXPECT_EQ(seen[2], (StatusEvent{TransportStatus::ERROR, "cable unplugged"}));
    EXPECT_EQ(seen[3], (StatusEvent{TransportStatus::SLEEPING, std::nullopt}));
    auto lines = capture.lines(SESSION);
    EXPECT_TRUE(contains(lines, {Level::WARN, SESSION,
                                 "Connection lost while sending poll: connection error: cable "
                                 "unplugged"}));
    EXPECT_TRUE(contains(lines, {Level::ERROR, SESSION, "Connection error: cable unplugged"}));
    EXPECT_TRUE(contains(lines, {Level::DEBUG, SESSION, "Connection lost. Reconnecting."}));

    mock->set_write_error(std::nullopt);
    ASSERT_TRUE(events->wait_for([](const RecordingEvents& e) {
        return e.connection().back().status == TransportStatus::CONNECTED;
    }));
}

TEST_F(Connection, AnsweredPollAfterAnErrorRecoversTheStatus) {
    LogCapture capture;
    ScriptedDevice device(mock);
    start();
    ASSERT_TRUE(wait_statuses(1));
    core->update_connection_status(TransportStatus::ERROR, "transient");
    ASSERT_TRUE(wait_statuses(3));
    EXPECT_EQ(status(2), (StatusEvent{TransportStatus::CONNECTED, std::nullopt}));
    EXPECT_TRUE(
        contains(capture.lines(SESSION),
                 {Level::INFO, SESSION,
                  "Device responded after connection error; recovering connection status."}));
}

TEST_F(Connection, NoPollsWhileAJobRunsUnlessConfigured) {
    ScriptedDevice device(mock);
    start();
    ASSERT_TRUE(wait_statuses(1));
    core->job_active_.store(true);
    std::this_thread::sleep_for(50ms);  // a poll already under way may still land
    int before = device.polls();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(device.polls(), before);
    core->job_active_.store(false);
    EXPECT_TRUE(eventually([&] { return device.polls() > before; }));
}

TEST_F(Connection, PollsDuringAJobWhenConfigured) {
    SessionConfig config = fast_config();
    config.poll_status_while_running = true;
    make_core(config);
    ScriptedDevice device(mock);
    start();
    ASSERT_TRUE(wait_statuses(1));
    core->job_active_.store(true);
    int before = device.polls();
    EXPECT_TRUE(eventually([&] { return device.polls() > before + 2; }));
    core->job_active_.store(false);
}

// ---- restart and shutdown --------------------------------------------------------------

TEST_F(Connection, SecondConnectStopsTheFirstSupervisor) {
    ScriptedDevice device(mock);
    start();
    ASSERT_TRUE(wait_statuses(1));
    rt::TaskHandle first_supervisor = core->connection_task.get();
    rt::TaskHandle first_queue = core->command_queue_task.get();
    start();
    EXPECT_TRUE(first_supervisor.is_finished());
    EXPECT_TRUE(first_queue.is_finished());
    ASSERT_TRUE(wait_statuses(2));
    EXPECT_EQ(events->connection_kinds(),
              (Statuses{TransportStatus::CONNECTED, TransportStatus::CONNECTED}));
}

TEST_F(Connection, CleanupStopsEverything) {
    LogCapture capture;
    ScriptedDevice device(mock);
    start();
    ASSERT_TRUE(wait_statuses(1));
    Result<std::vector<std::string>> answer = run_blocking(execute_command(core, "G0 X1"));
    ASSERT_TRUE(answer.ok());
    EXPECT_EQ(answer.value(), std::vector<std::string>{"ok"});

    rt::block_on(cleanup(core));
    EXPECT_EQ(events->connection().back(),
              (StatusEvent{TransportStatus::DISCONNECTED, std::nullopt}));
    EXPECT_FALSE(mock->is_open());
    EXPECT_FALSE(core->connection_wanted.load());
    EXPECT_FALSE(core->cancelled.load());
    std::size_t writes = mock->sent().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(mock->sent().size(), writes);

    Result<std::vector<std::string>> after = run_blocking(execute_command(core, "G0 X2"));
    ASSERT_FALSE(after.ok());
    EXPECT_EQ(after.error(), SessionError::connection("command queue unavailable"));
}

TEST_F(Connection, CleanupDuringTheHandshake) {
    ScriptedDevice device(mock);
    device.answer_polls = false;
    start();
    ASSERT_TRUE(eventually([&] { return device.polls() >= 1; }));
    rt::block_on(cleanup(core));
    EXPECT_EQ(events->connection_kinds(), Statuses{TransportStatus::DISCONNECTED});
    EXPECT_FALSE(mock->is_open());
}

TEST_F(Connection, AbortingTasksOfANeverConnectedSessionOnlyClosesTheLink) {
    auto [tx, rx] = rx_channel();
    ASSERT_TRUE(rt::block_on(mock->open(std::move(tx))).ok());
    rt::block_on(abort_background_tasks(core));
    EXPECT_FALSE(mock->is_open());
    EXPECT_TRUE(events->connection().empty());
}

}  // namespace
