#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grbl/errors.hpp"
#include "grbl/session/core.hpp"
#include "log_capture.hpp"
#include "session_fixture.hpp"

using namespace vantorix::grbl;
using vantorix::log::Level;
using vantorix::testing_support::CapturedLine;
using vantorix::testing_support::fast_config;
using vantorix::testing_support::LogCapture;
using vantorix::testing_support::RecordingEvents;
using vantorix::testing_support::StatusEvent;
using vantorix::testing_support::to_bytes;

namespace {

constexpr const char* SESSION = "vantorix::grbl::session";

// A session whose receive handling is driven directly, chunk by chunk.
class Receive : public testing::Test {
  protected:
    void make_core(SessionConfig config = fast_config()) {
        core = SessionCore::create(MockLink{std::make_shared<MockInner>()}, config, GrblDialect{},
                                   events);
    }
    void SetUp() override { make_core(); }

    void feed(std::string_view text) { core->handle_rx(to_bytes(text)); }
    std::shared_ptr<RequestShared> open_queued(std::string command) {
        auto request = std::make_shared<RequestShared>(std::move(command));
        core->active_request.set(request);
        return request;
    }
    std::shared_ptr<RequestShared> open_interactive(std::string command) {
        auto request = std::make_shared<RequestShared>(std::move(command));
        core->interactive_request.set(request);
        return request;
    }
    // Tracks a job line as written, so that its ok carries the operation index.
    void track_job_line(std::int64_t op_index) { core->flow.track_command(3, op_index, "G1"); }

    std::shared_ptr<RecordingEvents> events = std::make_shared<RecordingEvents>();
    std::shared_ptr<SessionCore> core;
};

// ---- request answers -------------------------------------------------------------------

struct AnswerCase {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    bool done;
};

class ReceiveAnswers : public Receive, public testing::WithParamInterface<AnswerCase> {};

TEST_P(ReceiveAnswers, CollectsTheLinesOfTheOpenRequest) {
    const AnswerCase& c = GetParam();
    auto request = open_queued("$I");
    for (const std::string& chunk : c.chunks) feed(chunk);
    EXPECT_EQ(request->lines(), c.lines);
    EXPECT_EQ(request->done.is_set(), c.done);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReceiveAnswers,
    testing::Values(
        AnswerCase{"OkAlone", {"ok\r\n"}, {"ok"}, true},
        // Within one chunk the information lines come before the ok that completes them.
        AnswerCase{"BuildInfoInOneChunk",
                   {"[VER:1.1h.20190825:]\r\n[OPT:V,15,128]\r\nok\r\n"},
                   {"[VER:1.1h.20190825:]", "[OPT:V,15,128]", "ok"},
                   true},
        AnswerCase{"OkBeforeLinesInOneChunkStillLast", {"ok\r\n$0=10\r\n"}, {"$0=10", "ok"}, true},
        AnswerCase{
            "SplitAcrossChunks", {"[GC:G0 G5", "4]\r\n", "ok\r\n"}, {"[GC:G0 G54]", "ok"}, true},
        AnswerCase{"ErrorReplyIsAnAnswer", {"error:20\r\n"}, {"error:20"}, true},
        AnswerCase{"StatusReportIsNotAnAnswer", {"<Idle|MPos:0.000,0.000,0.000>\r\n"}, {}, false},
        AnswerCase{"OnlyTheFirstReplyCompletes", {"ok\r\nok\r\n", "[MSG:late]\r\n"}, {"ok"}, true},
        AnswerCase{"AlarmLineJoinsButDoesNotComplete", {"ALARM:1\r\n"}, {"ALARM:1"}, false},
        AnswerCase{"EmptyChunk", {""}, {}, false}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return info.param.name; });

TEST_F(Receive, InteractiveRequestTakesPrecedenceOverTheQueuedOne) {
    auto queued = open_queued("G0 X1");
    auto interactive = open_interactive("$I");
    feed("[VER:1.1h:]\r\nok\r\n");
    EXPECT_EQ(interactive->lines(), (std::vector<std::string>{"[VER:1.1h:]", "ok"}));
    EXPECT_TRUE(interactive->done.is_set());
    EXPECT_TRUE(queued->lines().empty());
    EXPECT_FALSE(queued->done.is_set());
}

TEST_F(Receive, OkEmitsIdleCommandStatusAndLogsTheQuotedCommand) {
    LogCapture capture;
    auto request = open_queued("G0 \"X\"\t1");
    feed("ok\r\nok\r\n");  // the second ok finds no open request
    EXPECT_EQ(events->command(), (std::vector<StatusEvent>{{TransportStatus::IDLE, std::nullopt}}));
    EXPECT_EQ(core->status_report_count.load(), 2u);
    EXPECT_EQ(capture.lines(SESSION),
              (std::vector<CapturedLine>{
                  {Level::DEBUG, SESSION, R"(Command "G0 \"X\"\t1" completed with 'ok')"}}));
}

TEST_F(Receive, EmptyChunkChangesNothing) {
    LogCapture capture;
    feed("");
    EXPECT_TRUE(capture.lines(SESSION).empty());
    EXPECT_TRUE(events->states().empty());
    EXPECT_TRUE(events->command().empty());
    EXPECT_EQ(core->status_report_count.load(), 0u);
}

// ---- error replies and alarms ----------------------------------------------------------

TEST_F(Receive, ErrorDuringAJobCompletesTheRequestAndHaltsTheJob) {
    LogCapture capture;
    core->job_active_.store(true);
    auto request = open_queued("G0 X1");
    feed("error:9\r\n");

    EXPECT_EQ(request->lines(), std::vector<std::string>{"error:9"});
    EXPECT_TRUE(request->done.is_set());
    EXPECT_EQ(core->state().error, error_code_to_device_error("9"));
    EXPECT_EQ(events->command(), (std::vector<StatusEvent>{{TransportStatus::ERROR, "error:9"},
                                                           {TransportStatus::ERROR, "error:9"}}));
    EXPECT_EQ(core->last_error.get(), SessionError::device("GRBL error: error:9"));
    ASSERT_EQ(events->states().size(), 1u);
    EXPECT_EQ(events->states()[0].error, error_code_to_device_error("9"));
    EXPECT_EQ(capture.lines(SESSION),
              (std::vector<CapturedLine>{
                  {Level::ERROR, SESSION, "GRBL error during job: error:9. Halting stream."}}));
}

TEST_F(Receive, FirstDeviceErrorStaysUntilCleared) {
    feed("error:9\r\n");
    feed("error:20\r\nALARM:1\r\n");
    EXPECT_EQ(core->state().error, error_code_to_device_error("9"));
    EXPECT_EQ(events->states().size(), 1u);
    EXPECT_EQ(core->status_report_count.load(), 2u);  // the alarm line is not a reply
}

TEST_F(Receive, ErrorCodeIsTheTextBetweenTheFirstTwoColons) {
    feed("error: 22 :extra\r\n");
    EXPECT_EQ(core->state().error, error_code_to_device_error("22"));
}

TEST_F(Receive, AlarmWithoutRequestOrJob) {
    feed("ALARM:1\r\n");
    EXPECT_EQ(core->state().error, alarm_code_to_device_error("1"));
    EXPECT_EQ(events->command(),
              (std::vector<StatusEvent>{{TransportStatus::ERROR, std::string("ALARM:1")}}));
    EXPECT_EQ(core->last_error.get(), std::nullopt);
    EXPECT_EQ(core->status_report_count.load(), 0u);
}

TEST_F(Receive, AlarmDuringAJobHaltsIt) {
    LogCapture capture;
    core->job_active_.store(true);
    feed("ALARM:2\r\n");
    EXPECT_EQ(core->last_error.get(), SessionError::device("GRBL ALARM: ALARM:2"));
    EXPECT_EQ(capture.lines(SESSION),
              (std::vector<CapturedLine>{
                  {Level::ERROR, SESSION, "GRBL ALARM during job: ALARM:2. Halting stream."}}));
}

TEST_F(Receive, LaterJobErrorReplacesTheStoredReason) {
    core->job_active_.store(true);
    feed("error:9\r\n");
    feed("ALARM:1\r\n");
    EXPECT_EQ(core->last_error.get(), SessionError::device("GRBL ALARM: ALARM:1"));
}

// ---- status reports --------------------------------------------------------------------

struct DisplayCase {
    const char* name;
    bool job_active;
    bool hold_active;
    const char* report;
    DeviceStatus shown;
    DeviceStatus reported;
};

class ReceiveDisplay : public Receive, public testing::WithParamInterface<DisplayCase> {};

TEST_P(ReceiveDisplay, ShowsTheStatusTheHostExpects) {
    const DisplayCase& c = GetParam();
    core->job_active_.store(c.job_active);
    core->hold_active.store(c.hold_active);
    feed(std::string(c.report) + "\r\n");
    EXPECT_EQ(core->state().status, c.shown);
    EXPECT_EQ(core->last_report_status.get(), c.reported);
    EXPECT_TRUE(core->status_report_event.is_set());
    EXPECT_EQ(core->status_report_count.load(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReceiveDisplay,
    testing::Values(DisplayCase{"IdleAsReported", false, false, "<Idle|MPos:0.000,0.000,0.000>",
                                DeviceStatus::IDLE, DeviceStatus::IDLE},
                    DisplayCase{"IdleDuringJobIsRun", true, false, "<Idle|MPos:0.000,0.000,0.000>",
                                DeviceStatus::RUN, DeviceStatus::IDLE},
                    DisplayCase{"HoldWinsDuringJob", true, true, "<Idle|MPos:0.000,0.000,0.000>",
                                DeviceStatus::HOLD, DeviceStatus::IDLE},
                    DisplayCase{"HoldWithoutJob", false, true, "<Run|MPos:0.000,0.000,0.000>",
                                DeviceStatus::HOLD, DeviceStatus::RUN},
                    DisplayCase{"AlarmStaysAlarmUnderHold", true, true,
                                "<Alarm:1|MPos:0.000,0.000,0.000>", DeviceStatus::ALARM,
                                DeviceStatus::ALARM}),
    [](const testing::TestParamInfo<DisplayCase>& info) { return info.param.name; });

TEST_F(Receive, StatusReportUpdatesStateOnceAndLogsTheChange) {
    LogCapture capture;
    feed("<Idle|MPos:1.000,2.000,3.000>\r\n");
    feed("<Idle|MPos:1.000,2.000,3.000>\r\n");  // identical: nothing more
    ASSERT_EQ(events->states().size(), 1u);
    EXPECT_EQ(events->states()[0].machine_pos, (Position{1.0, 2.0, 3.0}));
    EXPECT_EQ(core->state(), events->states()[0]);
    feed("<Idle|MPos:4.000,2.000,3.000>\r\n");  // moved: event, but no status change line
    EXPECT_EQ(events->states().size(), 2u);
    EXPECT_EQ(capture.lines(SESSION),
              (std::vector<CapturedLine>{{Level::DEBUG, SESSION, "Device state changed: Idle"}}));
}

TEST_F(Receive, InchReportsAreConverted) {
    core->report_inches.store(true);
    feed("<Idle|MPos:1.000,0.000,0.000>\r\n");
    ASSERT_TRUE(core->state().machine_pos[0].has_value());
    EXPECT_NEAR(*core->state().machine_pos[0], 25.4, 1e-9);
}

TEST_F(Receive, FragmentedReportsAreIgnored) {
    LogCapture capture;
    DeviceState before = core->state();
    feed("<Idle|MPos:1.000,2.000,3.000\r\n|WPos:1.000,2.000,3.000>\r\n");
    EXPECT_EQ(core->state(), before);
    EXPECT_FALSE(core->status_report_event.is_set());
    EXPECT_EQ(capture.lines(SESSION),
              (std::vector<CapturedLine>{
                  {Level::DEBUG, SESSION,
                   "Ignoring fragmented status report: <Idle|MPos:1.000,2.000,3.000"},
                  {Level::DEBUG, SESSION,
                   "Ignoring fragmented status report: |WPos:1.000,2.000,3.000>"}}));
}

// ---- receive-buffer size ---------------------------------------------------------------

struct BufferCase {
    const char* name;
    std::int64_t override_size;
    std::vector<std::string> lines;
    std::size_t rx_buffer_size;
    std::vector<std::pair<std::string, std::int64_t>> config_changes;
};

class ReceiveBufferSize : public Receive, public testing::WithParamInterface<BufferCase> {};

TEST_P(ReceiveBufferSize, LearnsTheSizeOnceUnlessOverridden) {
    const BufferCase& c = GetParam();
    SessionConfig config = fast_config();
    config.rx_buffer_size_override = c.override_size;
    make_core(config);
    for (const std::string& line : c.lines) feed(line + "\r\n");
    EXPECT_EQ(core->rx_buffer_size(), c.rx_buffer_size);
    EXPECT_EQ(events->config(), c.config_changes);
}

using Changes = std::vector<std::pair<std::string, std::int64_t>>;
INSTANTIATE_TEST_SUITE_P(
    Table, ReceiveBufferSize,
    testing::Values(
        BufferCase{
            "IdleReportTwice",
            0,
            {"<Idle|MPos:0.000,0.000,0.000|Bf:15,128>", "<Idle|MPos:0.000,0.000,0.000|Bf:15,128>"},
            128,
            Changes{{"rx_buffer_size", 128}}},
        BufferCase{"RunningReportIsNotTheWholeBuffer",
                   0,
                   {"<Run|MPos:0.000,0.000,0.000|Bf:15,100>"},
                   127,
                   Changes{}},
        BufferCase{"ZeroIsIgnored", 0, {"<Idle|MPos:0.000,0.000,0.000|Bf:15,0>"}, 127, Changes{}},
        BufferCase{"OverrideIgnoresReports",
                   256,
                   {"<Idle|MPos:0.000,0.000,0.000|Bf:15,128>"},
                   127,
                   Changes{}},
        BufferCase{"OptLine", 0, {"[OPT:V,15,128]"}, 128, Changes{{"rx_buffer_size", 128}}},
        // The event still tells the host what the device has, but the override stays.
        BufferCase{"OptLineUnderOverride",
                   256,
                   {"[OPT:V,15,128]"},
                   127,
                   Changes{{"rx_buffer_size", 128}}}),
    [](const testing::TestParamInfo<BufferCase>& info) { return info.param.name; });

TEST_F(Receive, BuildInformationOfAnInteractiveQuery) {
    LogCapture capture;
    auto request = open_interactive("$I");
    feed("[VER:1.1h.20190825:]\r\n[OPT:V,15,128]\r\nok\r\n");
    EXPECT_EQ(request->lines(),
              (std::vector<std::string>{"[VER:1.1h.20190825:]", "[OPT:V,15,128]", "ok"}));
    EXPECT_EQ(events->config(), (Changes{{"rx_buffer_size", 128}}));
    EXPECT_EQ(core->rx_buffer_size(), 128u);
    auto lines = capture.lines(SESSION);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        CapturedLine{Level::INFO, SESSION, "Connected to GRBL version 1.1h"}),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        CapturedLine{Level::INFO, SESSION, "Caching RX buffer size: 128 bytes"}),
              lines.end());
}

// ---- banner and other lines ------------------------------------------------------------

struct LineCase {
    const char* name;
    bool job_active;
    const char* line;
    bool answers_handshake;
    CapturedLine logged;
};

class ReceiveLines : public Receive, public testing::WithParamInterface<LineCase> {};

TEST_P(ReceiveLines, LogsEachKindOfLineAtItsLevel) {
    const LineCase& c = GetParam();
    LogCapture capture;
    core->job_active_.store(c.job_active);
    feed(std::string(c.line) + "\r\n");
    EXPECT_EQ(core->status_report_event.is_set(), c.answers_handshake);
    EXPECT_EQ(capture.lines(SESSION), std::vector<CapturedLine>{c.logged});
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReceiveLines,
    testing::Values(
        LineCase{
            "GrblBanner",
            false,
            "Grbl 1.1h ['$' for help]",
            true,
            {Level::DEBUG, SESSION, "Received Grbl welcome message: Grbl 1.1h ['$' for help]"}},
        LineCase{"GrblHalBanner",
                 false,
                 "GrblHAL 1.1f ['$' or '$HELP' for help]",
                 true,
                 {Level::DEBUG, SESSION,
                  "Received Grbl welcome message: GrblHAL 1.1f ['$' or '$HELP' for help]"}},
        LineCase{"MessageWhileIdle",
                 false,
                 "[MSG:Caution: Unlocked]",
                 false,
                 {Level::DEBUG, SESSION, "Received informational line: [MSG:Caution: Unlocked]"}},
        LineCase{"SettingDuringJob",
                 true,
                 "$0=10",
                 false,
                 {Level::WARN, SESSION, "Unexpected device line during job: $0=10"}}),
    [](const testing::TestParamInfo<LineCase>& info) { return info.param.name; });

// ---- job progress ----------------------------------------------------------------------

TEST_F(Receive, AcknowledgedOperationsReportEveryIndexUpToThem) {
    core->job_active_.store(true);
    core->last_done_op_index.set(0);
    track_job_line(2);
    track_job_line(5);
    feed("ok\r\n");
    EXPECT_EQ(events->done(), (std::vector<std::uint64_t>{1, 2}));
    feed("ok\r\n");
    EXPECT_EQ(events->done(), (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(core->last_done_op_index.get(), 5);
}

TEST_F(Receive, FreshJobReportsFromOperationZero) {
    core->job_active_.store(true);
    track_job_line(1);
    feed("ok\r\n");
    EXPECT_EQ(events->done(), (std::vector<std::uint64_t>{0, 1}));
}

TEST_F(Receive, NoProgressOutsideAJobOrForLinesWithoutOperation) {
    track_job_line(3);
    core->flow.track_command(3, std::nullopt, "G1");
    feed("ok\r\n");  // no job
    core->job_active_.store(true);
    feed("ok\r\n");  // no operation index
    EXPECT_TRUE(events->done().empty());
    EXPECT_EQ(core->last_done_op_index.get(), -1);
}

TEST_F(Receive, LowerAcknowledgedIndexLowersTheMark) {
    core->job_active_.store(true);
    core->last_done_op_index.set(4);
    track_job_line(2);
    feed("ok\r\n");
    EXPECT_TRUE(events->done().empty());
    EXPECT_EQ(core->last_done_op_index.get(), 2);
}

}  // namespace
