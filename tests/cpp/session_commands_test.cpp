#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grbl/session/commands.hpp"
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
using vantorix::testing_support::eventually;
using vantorix::testing_support::fast_config;
using vantorix::testing_support::LogCapture;
using vantorix::testing_support::RecordingEvents;
using vantorix::testing_support::run_blocking;
using vantorix::testing_support::ScriptedDevice;
using vantorix::testing_support::StatusEvent;
using vantorix::testing_support::to_bytes;
using vantorix::testing_support::to_text;
using Lines = std::vector<std::string>;

namespace {

constexpr const char* SESSION = "vantorix::grbl::session";
const CapturedLine DROPPED{
    Level::WARN, SESSION,
    "Cannot process command: transport not connected or job is cancelled. Dropping command."};

asio::awaitable<void> feed_session(std::shared_ptr<SessionCore> core, RxReceiver chunks) {
    for (;;) {
        std::optional<Bytes> chunk = co_await chunks.recv();
        if (!chunk) co_return;
        core->handle_rx(*chunk);
    }
}

bool contains(const std::vector<CapturedLine>& lines, const CapturedLine& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// An open link with a reader and a running command queue, without the connection
// supervisor: commands are exercised on their own.
class Commands : public testing::Test {
  protected:
    void SetUp() override {
        SessionConfig config = fast_config();
        config.command_timeout = 0.5;
        core = SessionCore::create(MockLink{mock}, config, GrblDialect{}, events);
        auto [rx_tx, rx_rx] = rx_channel();
        ASSERT_TRUE(rt::block_on(mock->open(std::move(rx_tx))).ok());
        reader = rt::spawn(feed_session(core, std::move(rx_rx)));
        auto [tx, rx] = rt::unbounded_channel<QueuedCommand>();
        core->command_tx.set(std::move(tx));
        core->connection_wanted.store(true);
        queue = rt::spawn(command_queue_loop(core, std::move(rx)));
    }
    void TearDown() override {
        for (rt::TaskHandle* task : {&queue, &reader}) {
            task->abort();
            EXPECT_TRUE(task->wait_for(5s).has_value());
        }
    }

    Result<Lines> execute(std::string command) {
        return run_blocking(execute_command(core, std::move(command)));
    }
    Result<Lines> interactive(std::string command) {
        return run_blocking(execute_interactive_command(core, std::move(command)));
    }
    std::vector<std::string> written() const {
        std::vector<std::string> out;
        for (const Bytes& chunk : mock->sent()) out.push_back(to_text(chunk));
        return out;
    }

    std::shared_ptr<MockInner> mock = std::make_shared<MockInner>();
    std::shared_ptr<RecordingEvents> events = std::make_shared<RecordingEvents>();
    std::shared_ptr<SessionCore> core;
    rt::TaskHandle reader;
    rt::TaskHandle queue;
};

// ---- queued commands -------------------------------------------------------------------

struct AnswerCase {
    const char* name;
    ScriptedDevice::Lines mode;
    const char* command;
    Lines answer;
};

class QueuedAnswers : public Commands, public testing::WithParamInterface<AnswerCase> {};

TEST_P(QueuedAnswers, ResolvesToTheCollectedLines) {
    const AnswerCase& c = GetParam();
    ScriptedDevice device(mock);
    device.lines = c.mode;
    Result<Lines> result = execute(c.command);
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(result.value(), c.answer);
    EXPECT_EQ(written(), Lines{std::string(c.command) + "\n"});
}

INSTANTIATE_TEST_SUITE_P(
    Table, QueuedAnswers,
    testing::Values(AnswerCase{"Ok", ScriptedDevice::Lines::OK, "G0 X10", {"ok"}},
                    // A device error reply is an answer, not a failure.
                    AnswerCase{
                        "ErrorReply", ScriptedDevice::Lines::ERROR_20, "G0 X10", {"error:20"}},
                    AnswerCase{"BuildInfo",
                               ScriptedDevice::Lines::OK,
                               "$I",
                               {"[VER:1.1h.20190825:]", "[OPT:V,15,128]", "ok"}}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return info.param.name; });

TEST_F(Commands, NoAnswerTimesOutAfterTheCommandTimeout) {
    ScriptedDevice device(mock);
    device.lines = ScriptedDevice::Lines::SILENT;
    auto started = rt::Clock::now();
    Result<Lines> result = execute("G0 X1");
    auto took = rt::Clock::now() - started;
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SessionError::timeout());
    EXPECT_GE(took, 500ms);
    EXPECT_LT(took, 5s);
    // The queue moved on: the next command is sent and answered.
    device.lines = ScriptedDevice::Lines::OK;
    Result<Lines> next = execute("G0 X2");
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(next.value(), Lines{"ok"});
}

TEST(CommandsUnconnected, QueueUnavailableBeforeTheFirstConnect) {
    auto core = SessionCore::create(MockLink{std::make_shared<MockInner>()}, fast_config(),
                                    GrblDialect{}, std::make_shared<RecordingEvents>());
    Result<Lines> result = run_blocking(execute_command(core, "G0 X1"));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SessionError::connection("command queue unavailable"));
    EXPECT_EQ(core->pending_requests.get().size(), 1u);  // the weak entry stays
}

// A queued command whose caller nobody waits for.
asio::awaitable<void> run_command(std::shared_ptr<SessionCore> core, std::string command) {
    (void)co_await execute_command(std::move(core), std::move(command));
}

struct Timed {
    std::string line;
    rt::Clock::time_point at;
};

TEST_F(Commands, QueuedCommandsAreSpacedAndWaitForTheirAnswer) {
    // Answers by hand, so that the test knows when each line arrived and was answered.
    rt::TaskHandle first = rt::spawn(run_command(core, "G0 X1"));
    (void)first;
    std::vector<Timed> seen;
    rt::Clock::time_point answered_first;
    auto deadline = rt::Clock::now() + 5s;
    while (seen.size() < 2 && rt::Clock::now() < deadline) {
        for (const Bytes& chunk : mock->take_new_sent()) {
            seen.push_back({to_text(chunk), rt::Clock::now()});
            if (seen.size() == 1) {
                // The second command is queued while the first one waits for its answer.
                rt::spawn(run_command(core, "G0 X2"));
                std::this_thread::sleep_for(50ms);
                EXPECT_TRUE(mock->take_new_sent().empty()) << "written before the answer";
                answered_first = rt::Clock::now();
                mock->push(to_bytes("ok\r\n"));
            } else {
                mock->push(to_bytes("ok\r\n"));
            }
        }
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].line, "G0 X1\n");
    EXPECT_EQ(seen[1].line, "G0 X2\n");
    EXPECT_GE(seen[1].at - answered_first, 100ms);
    EXPECT_GE(seen[1].at - seen[0].at, 100ms);
}

TEST_F(Commands, CancelledQueueDropsCommandsWhileAStreamRuns) {
    LogCapture capture;
    ScriptedDevice device(mock);
    core->cancelled.store(true);
    core->job_active_.store(true);  // a cancel in progress keeps the flag
    Result<Lines> result = execute("G0 X1");
    ASSERT_TRUE(result.ok());
    EXPECT_TRUE(result.value().empty());
    EXPECT_TRUE(written().empty());
    EXPECT_TRUE(contains(capture.lines(SESSION), DROPPED));
}

TEST_F(Commands, CommandAfterAFinishedCancelClearsTheFlag) {
    ScriptedDevice device(mock);
    core->cancelled.store(true);
    auto finished = std::make_shared<StreamDone>();
    finished->finished.store(true);
    core->stream.set(StreamHandle{rt::TaskHandle(), finished});
    Result<Lines> result = execute("G0 X1");
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), Lines{"ok"});
    EXPECT_FALSE(core->cancelled.load());
}

TEST_F(Commands, RunningStreamKeepsTheCancelAndTheCommandIsDropped) {
    ScriptedDevice device(mock);
    core->cancelled.store(true);
    core->stream.set(StreamHandle{rt::TaskHandle(), std::make_shared<StreamDone>()});
    Result<Lines> result = execute("G0 X1");
    ASSERT_TRUE(result.ok());
    EXPECT_TRUE(result.value().empty());
    EXPECT_TRUE(core->cancelled.load());
}

TEST_F(Commands, ClosedLinkDropsTheCommand) {
    LogCapture capture;
    mock->set_connected(false);
    Result<Lines> result = execute("G0 X1");
    ASSERT_TRUE(result.ok());
    EXPECT_TRUE(result.value().empty());
    EXPECT_TRUE(contains(capture.lines(SESSION), DROPPED));
}

TEST_F(Commands, WriteFailurePublishesErrorAndTheCallerTimesOut) {
    LogCapture capture;
    mock->set_write_error("cable unplugged");
    Result<Lines> result = execute("G0 X1");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SessionError::timeout());
    EXPECT_EQ(events->connection(),
              (std::vector<StatusEvent>{{TransportStatus::ERROR, "cable unplugged"}}));
    EXPECT_TRUE(
        contains(capture.lines(SESSION),
                 {Level::ERROR, SESSION, "Connection error during command: cable unplugged"}));
}

TEST_F(Commands, LinkDownWhileWaitingForTheLock) {
    LogCapture capture;
    std::optional<rt::AsyncMutex::Guard> held = core->command_lock.try_lock();
    ASSERT_TRUE(held.has_value());
    rt::TaskHandle caller = rt::spawn(run_command(core, "G0 X1"));
    ASSERT_TRUE(eventually([this] { return core->command_lock.waiting() == 1; }));
    mock->set_connected(false);
    held.reset();
    ASSERT_TRUE(events->wait_connection_count(1));
    EXPECT_EQ(events->connection(),
              (std::vector<StatusEvent>{
                  {TransportStatus::ERROR, "Serial transport disconnected during command."}}));
    EXPECT_TRUE(contains(capture.lines(SESSION),
                         {Level::ERROR, SESSION,
                          "Connection error during command: Serial transport disconnected during "
                          "command."}));
    EXPECT_TRUE(written().empty());
    EXPECT_TRUE(caller.wait_for(5s).has_value());
}

// ---- interactive commands --------------------------------------------------------------

TEST_F(Commands, InteractiveCommandAnswersWithItsLines) {
    ScriptedDevice device(mock);
    Result<Lines> result = interactive("$I");
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), (Lines{"[VER:1.1h.20190825:]", "[OPT:V,15,128]", "ok"}));
    EXPECT_EQ(core->interactive_request.get(), nullptr);
    EXPECT_FALSE(core->command_lock.is_locked());
}

struct InteractiveProbe {
    std::atomic<bool> finished{false};
    Result<Lines> result{SessionError::other("not run")};
};

asio::awaitable<void> interactive_into(std::shared_ptr<SessionCore> core, InteractiveProbe* probe) {
    probe->result = co_await execute_interactive_command(core, "$G");
    probe->finished.store(true);
}

TEST_F(Commands, InteractiveCommandWaitsUntilEveryStreamedLineIsAnswered) {
    for (int i = 0; i < 20; ++i) core->flow.track_command(4, i, "G1");
    InteractiveProbe probe;
    rt::TaskHandle task = rt::spawn(interactive_into(core, &probe));
    for (int i = 0; i < 19; ++i) mock->push(to_bytes("ok\r\n"));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(written().empty()) << "written before the twentieth ok";
    mock->push(to_bytes("ok\r\n"));
    EXPECT_TRUE(eventually([this] { return !written().empty(); }));
    EXPECT_EQ(written(), Lines{"$G\n"});
    mock->push(to_bytes("[GC:G0 G54 G17 G21 G90 G94 M5 M9 T0 F0 S0]\r\nok\r\n"));
    EXPECT_TRUE(task.wait_for(5s).has_value());
    ASSERT_TRUE(probe.result.ok());
    EXPECT_EQ(probe.result.value(), (Lines{"[GC:G0 G54 G17 G21 G90 G94 M5 M9 T0 F0 S0]", "ok"}));
}

struct InteractiveFailure {
    const char* name;
    bool connected;
    std::optional<std::string> write_error;
    SessionError expected;
};

class InteractiveFailures : public Commands,
                            public testing::WithParamInterface<InteractiveFailure> {};

TEST_P(InteractiveFailures, FailWithTheirError) {
    const InteractiveFailure& c = GetParam();
    mock->set_connected(c.connected);
    mock->set_write_error(c.write_error);
    Result<Lines> result = interactive("$I");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.expected);
    EXPECT_EQ(core->interactive_request.get(), nullptr);
    EXPECT_FALSE(core->command_lock.is_locked());
}

INSTANTIATE_TEST_SUITE_P(
    Table, InteractiveFailures,
    testing::Values(InteractiveFailure{"ClosedLink", false, std::nullopt,
                                       SessionError::connection("Serial transport not connected")},
                    InteractiveFailure{"WriteFails", true, "port vanished",
                                       SessionError::connection("port vanished")},
                    InteractiveFailure{"NoAnswer", true, std::nullopt, SessionError::timeout()}),
    [](const testing::TestParamInfo<InteractiveFailure>& info) { return info.param.name; });

// ---- line writers ----------------------------------------------------------------------

struct RealtimeCase {
    const char* name;
    bool append_newline;
    const char* written;
};

class Realtime : public Commands, public testing::WithParamInterface<RealtimeCase> {};

TEST_P(Realtime, WritesTheBytesWithoutCounting) {
    const RealtimeCase& c = GetParam();
    LogCapture capture;
    VoidResult result = run_blocking(send_realtime(core, to_bytes("!"), c.append_newline));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(written(), Lines{c.written});
    EXPECT_EQ(core->buffer_count(), 0u);
    EXPECT_TRUE(
        contains(capture.lines(SESSION), {Level::DEBUG, SESSION, "Sending realtime command: !"}));
}

INSTANTIATE_TEST_SUITE_P(Table, Realtime,
                         testing::Values(RealtimeCase{"Bare", false, "!"},
                                         RealtimeCase{"WithNewline", true, "!\n"}),
                         [](const testing::TestParamInfo<RealtimeCase>& info) {
                             return info.param.name;
                         });

TEST_F(Commands, RealtimeOnAClosedLinkFails) {
    mock->set_connected(false);
    VoidResult result = run_blocking(send_realtime(core, to_bytes("~"), false));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SessionError::connection("Serial transport not connected"));
}

TEST_F(Commands, CommandBytesAreCountedAndWrittenEvenWhenTheBufferStaysFull) {
    core->flow.track_command(DEFAULT_RX_BUFFER_SIZE, std::nullopt, "filler");
    auto started = rt::Clock::now();
    VoidResult result = run_blocking(send_command_bytes(core, to_bytes("G0 X1 \n")));
    ASSERT_TRUE(result.ok());
    EXPECT_GE(rt::Clock::now() - started, 900ms);
    EXPECT_EQ(written(), Lines{"G0 X1 \n"});
    EXPECT_EQ(core->pending_commands(), (Lines{"filler", "G0 X1"}));
    EXPECT_EQ(core->buffer_count(), DEFAULT_RX_BUFFER_SIZE + 7);
}

TEST_F(Commands, FailedWriteLeavesTheLineCounted) {
    mock->set_write_error("gone");
    VoidResult result = run_blocking(send_gcode_simple(core, to_bytes("M5\n")));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SessionError::connection("gone"));
    EXPECT_EQ(core->pending_commands(), Lines{"M5"});
}

}  // namespace
