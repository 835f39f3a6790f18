#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grbl/session/cancel.hpp"
#include "grbl/session/stall.hpp"
#include "grbl/session/streaming.hpp"
#include "job_fixture.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using namespace vantorix::grbl;
using vantorix::log::Level;
using namespace vantorix::testing_support;
using Lines = std::vector<std::string>;

namespace {

constexpr const char* SESSION = "vantorix::grbl::session";
const std::string RECOVERY = "G4 P0.01";

// ---- idle or out of step -------------------------------------------------------------

struct IdleCase {
    const char* name;
    std::string report;  // fed through receive handling
    bool job_active;
    bool expected;
};

class IdleOrDesynced : public testing::TestWithParam<IdleCase> {};

TEST_P(IdleOrDesynced, ReadsStateReportAndBufferFields) {
    const IdleCase& c = GetParam();
    auto core = SessionCore::create(MockLink{std::make_shared<MockInner>()}, job_config(),
                                    GrblDialect{}, std::make_shared<RecordingEvents>());
    core->flow.set_rx_buffer_size(127);
    core->job_active_.store(c.job_active);
    std::string text = c.report + "\r\n";
    core->handle_rx(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    EXPECT_EQ(is_grbl_idle_or_desynced(*core), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IdleOrDesynced,
    testing::Values(IdleCase{"IdleState", "<Idle|MPos:0,0,0|Bf:15,127|FS:0,0>", false, true},
                    // During a job the state shows Run; the reported word still says Idle.
                    IdleCase{"IdleWordDuringJob", "<Idle|MPos:0,0,0|FS:0,0>", true, true},
                    // A held device keeps its buffer full: a dwell written into it would
                    // overflow it. Only a buffer reported wholly free counts as desynced.
                    IdleCase{"HoldWord", "<Hold:0|MPos:0,0,0|FS:0,0>", true, false},
                    IdleCase{"HoldWithWholeBufferFree", "<Hold:0|MPos:0,0,0|Bf:15,127|FS:0,0>",
                             true, true},
                    IdleCase{"RunWithFullBufferFree", "<Run|MPos:0,0,0|Bf:0,127|FS:0,0>", true,
                             true},
                    IdleCase{"RunWithBufferInUse", "<Run|MPos:0,0,0|Bf:0,126|FS:0,0>", true, false},
                    IdleCase{"RunWithoutBufferField", "<Run|MPos:0,0,0|FS:0,0>", true, false},
                    IdleCase{"Alarm", "<Alarm|MPos:0,0,0|FS:0,0>", true, false}),
    [](const testing::TestParamInfo<IdleCase>& info) { return info.param.name; });

// ---- status polls --------------------------------------------------------------------

TEST(StatusPoll, CountsSilentCyclesAndResetsOnAnyAnswer) {
    LogCapture capture;
    JobHarness h;
    JobDevice device(h.mock);
    device.set_report("");
    EXPECT_FALSE(run_blocking(poll_and_check_idle(h.core, true)));
    EXPECT_FALSE(run_blocking(poll_and_check_idle(h.core, true)));
    EXPECT_EQ(h.core->unanswered_polls.load(), 2u);
    EXPECT_TRUE(logged(capture.lines(SESSION), Level::DEBUG,
                       "No response to status poll (2/3 unanswered)."));
    device.set_report(JobDevice::RUN_REPORT);
    EXPECT_FALSE(run_blocking(poll_and_check_idle(h.core, true)));
    EXPECT_EQ(h.core->unanswered_polls.load(), 0u);
    device.set_report(JobDevice::IDLE_REPORT);
    EXPECT_TRUE(run_blocking(poll_and_check_idle(h.core, true)));
    EXPECT_EQ(device.count_realtime('?'), 4u);
}

TEST(StatusPoll, FailedWriteCountsAsUnanswered) {
    LogCapture capture;
    JobHarness h;
    h.mock->set_connected(false);
    EXPECT_FALSE(run_blocking(poll_and_check_idle(h.core, false)));
    EXPECT_EQ(h.core->unanswered_polls.load(), 1u);
    EXPECT_TRUE(logged(capture.lines(SESSION), Level::DEBUG,
                       "Failed to send status poll: Serial transport not connected (1/3 "
                       "unanswered)."));
}

TEST(StatusPoll, ZeroAttemptsDoesNotWait) {
    SessionConfig config = job_config();
    config.poll_response_attempts = 0;
    config.poll_response_interval = 1.0;
    JobHarness h(config);
    JobDevice device(h.mock);
    device.set_report("");
    auto started = rt::Clock::now();
    EXPECT_FALSE(run_blocking(poll_and_check_idle(h.core, true)));
    EXPECT_LT(rt::Clock::now() - started, 500ms);
    EXPECT_EQ(h.core->unanswered_polls.load(), 1u);
}

// ---- the decision on a stalled line ----------------------------------------------------

struct StallCase {
    const char* name;
    bool deadlock_detection;
    std::string report;
    bool cancelled;
    std::size_t pending_lines;  // 20-byte lines the host counts as unanswered
    std::size_t line_size;
    StallDecision decision;
    const char* log;  // expected message, or nullptr
    bool recovery_written;
};

class BufferStall : public testing::TestWithParam<StallCase> {};

TEST_P(BufferStall, Decides) {
    const StallCase& c = GetParam();
    LogCapture capture;
    SessionConfig config = job_config();
    config.deadlock_detection = c.deadlock_detection;
    JobHarness h(config);
    JobDevice device(h.mock);
    device.set_report(c.report);
    h.core->job_active_.store(true);
    h.core->cancelled.store(c.cancelled);
    for (std::size_t i = 0; i < c.pending_lines; ++i) {
        h.core->flow.track_command(20, std::nullopt, "G1 X" + std::to_string(i));
    }
    EXPECT_EQ(run_blocking(on_buffer_stall(h.core, c.line_size)), c.decision);
    if (c.log != nullptr) {
        EXPECT_EQ(count_logged(capture.lines(SESSION), c.log), 1u) << c.log;
    }
    EXPECT_EQ(device.count_line(RECOVERY), c.recovery_written ? 1u : 0u);
    if (c.cancelled) {
        EXPECT_EQ(device.count_realtime('?'), 0u);
    }
}

constexpr const char* IDLE = JobDevice::IDLE_REPORT;
constexpr const char* RUN = JobDevice::RUN_REPORT;
constexpr auto RETRY = StallDecision::RETRY;
constexpr auto GIVE_UP = StallDecision::GIVE_UP;

INSTANTIATE_TEST_SUITE_P(
    Table, BufferStall,
    testing::Values(
        StallCase{"Cancelled", true, IDLE, true, 6, 20, GIVE_UP, nullptr, false},
        StallCase{"SlowMove", true, RUN, false, 6, 20, RETRY,
                  "Timeout waiting for buffer space (machine not IDLE). This is normal during "
                  "slow moves. Retrying.",
                  false},
        StallCase{"DetectionOff", false, IDLE, false, 6, 20, RETRY,
                  "Buffer stall timed out (deadlock detection disabled). Retrying.", false},
        StallCase{"FreedMeanwhile", true, IDLE, false, 1, 20, RETRY,
                  "Buffer freed during status poll. Continuing streaming.", false},
        StallCase{"Deadlock", true, IDLE, false, 6, 20, RETRY,
                  "Deadlock detected during streaming. Attempting G4 P0.01 recovery.", true},
        StallCase{"Alarm", true, JobDevice::ALARM_REPORT, false, 6, 20, GIVE_UP, nullptr, false},
        // A line longer than the whole buffer can never be sent: no endless retries.
        StallCase{"LineLargerThanBuffer", false, IDLE, false, 0, 200, GIVE_UP,
                  "Line of 200 bytes can never fit into the 127-byte receive buffer.", false}),
    [](const testing::TestParamInfo<StallCase>& info) { return info.param.name; });

TEST(BufferStallAlarm, RecordsTheAlarmAsTheJobError) {
    JobHarness h;
    JobDevice device(h.mock);
    device.set_report(JobDevice::ALARM_REPORT);
    h.core->job_active_.store(true);
    h.core->flow.track_command(120, std::nullopt, "x");
    EXPECT_EQ(run_blocking(on_buffer_stall(h.core, 20)), GIVE_UP);
    EXPECT_EQ(h.core->last_error.get(),
              SessionError::device("Machine entered ALARM state during job."));
}

// ---- jobs with stalls ----------------------------------------------------------------

// Six lost acknowledgements leave the host counting a full buffer that the idle device
// no longer holds: the dwell unblocks it and every line still goes out exactly once.
TEST(StallJob, LostAcksRecoveredByTheDwell) {
    SessionConfig config = job_config();
    config.deadlock_detection = true;
    JobHarness h(config);
    JobDevice device(h.mock);
    device.drop_oks(6);
    const std::string program = fixed_width_program(12, 20);
    ASSERT_TRUE(h.run_job(program));
    EXPECT_EQ(device.count_line(RECOVERY), 1u);
    Lines expected = split_program_lines(program);
    expected.insert(expected.begin() + 6, RECOVERY);
    EXPECT_EQ(device.lines(), expected);
    EXPECT_FALSE(device.overflowed());
    EXPECT_EQ(h.events->jobs_finished(), 1);
    EXPECT_FALSE(h.core->state().error);
}

TEST(StallJob, WithoutDetectionTheLineKeepsWaiting) {
    LogCapture capture;
    JobHarness h;  // deadlock detection off
    JobDevice device(h.mock);
    device.drop_oks(6);
    rt::TaskHandle job = h.start_run(fixed_width_program(12, 20));
    ASSERT_TRUE(eventually([&] {
        return count_logged(capture.lines(SESSION),
                            "Buffer stall timed out (deadlock detection disabled). Retrying.") >= 2;
    }));
    EXPECT_EQ(device.lines().size(), 6u);
    EXPECT_EQ(device.count_line(RECOVERY), 0u);
    EXPECT_FALSE(job.is_finished());
    ASSERT_TRUE(run_blocking(cancel(h.core, false)).ok());
    ASSERT_TRUE(job.wait_for(5s));
    EXPECT_EQ(h.events->jobs_finished(), 1);
}

// One lost acknowledgement at the end of a job: the end-of-job step recovers, also with
// deadlock detection off.
TEST(StallJob, EndOfJobRecoveryWithDetectionOff) {
    LogCapture capture;
    JobHarness h;
    JobDevice device(h.mock);
    device.drop_oks(1);
    ASSERT_TRUE(h.run_job("G0 X1\nG0 X2\n"));
    EXPECT_TRUE(logged(capture.lines(SESSION), Level::WARN,
                       "Deadlock detected at end of job. Attempting G4 P0.01 recovery."));
    EXPECT_EQ(device.lines(), (Lines{"G0 X1", "G0 X2", RECOVERY}));
    EXPECT_EQ(h.events->jobs_finished(), 1);
    EXPECT_EQ(h.core->buffer_count(), 0u);
}

TEST(StallJob, EndOfJobWaitsWhileTheMachineRuns) {
    LogCapture capture;
    JobHarness h;
    JobDevice device(h.mock);
    device.auto_ok = false;
    device.set_report(JobDevice::RUN_REPORT);
    rt::TaskHandle job = h.start_run("G0 X1\n");
    ASSERT_TRUE(eventually([&] {
        return logged(capture.lines(SESSION), Level::WARN,
                      "Timeout waiting for acks (machine not IDLE). Retrying.");
    }));
    device.ack(1);
    ASSERT_TRUE(job.wait_for(5s));
    EXPECT_EQ(device.count_line(RECOVERY), 0u);
    EXPECT_EQ(h.events->jobs_finished(), 1);
}

TEST(StallJob, SilentDeviceIsDeclaredUnresponsive) {
    LogCapture capture;
    JobHarness h;
    JobDevice device(h.mock);
    device.auto_ok = false;
    device.set_report("");
    auto started = rt::Clock::now();
    ASSERT_TRUE(h.run_job(fixed_width_program(10, 20)));
    EXPECT_LT(rt::Clock::now() - started, 5s);
    EXPECT_EQ(device.count_realtime('?'), 3u);  // the third silent cycle ends the job
    auto lines = capture.lines(SESSION);
    EXPECT_TRUE(logged(lines, Level::ERROR,
                       "No response to 3 consecutive status polls. Assuming the device stopped "
                       "responding."));
    ASSERT_TRUE(h.core->state().error);
    EXPECT_EQ(*h.core->state().error,
              (DeviceError{-1, "Job Error",
                           "Device stopped responding during job (no reply to status polls)."}));
    EXPECT_EQ(device.count_realtime(0x18), 1u);
    EXPECT_TRUE(eventually([&] { return h.events->jobs_finished() == 1; }));
}

}  // namespace
