#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grbl/session/streaming.hpp"
#include "job_fixture.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using namespace vantorix::grbl;
using vantorix::log::Level;
using namespace vantorix::testing_support;
using Lines = std::vector<std::string>;

namespace {

std::size_t program_lines(const JobDevice& device) {
    std::size_t count = 0;
    for (const std::string& text : device.lines()) count += text.starts_with("G1 ") ? 1 : 0;
    return count;
}

// ---- program text --------------------------------------------------------------------

struct SplitCase {
    const char* name;
    std::string program;
    Lines lines;
};

class SplitProgram : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitProgram, KeepsLineNumbering) {
    EXPECT_EQ(split_program_lines(GetParam().program), GetParam().lines);
}

// A job reads its program through ProgramLines: same lines, same count, in one pass.
TEST_P(SplitProgram, ProgramLinesReadsTheSameLines) {
    ProgramLines program(GetParam().program);
    EXPECT_EQ(program.size(), GetParam().lines.size());
    Lines read;
    while (std::optional<std::string_view> line = program.next()) read.emplace_back(*line);
    EXPECT_EQ(read, GetParam().lines);
    EXPECT_FALSE(program.next());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitProgram,
    testing::Values(SplitCase{"Empty", "", {}}, SplitCase{"FinalBreak", "G0 X1\n", {"G0 X1"}},
                    SplitCase{"NoFinalBreak", "a\nb", {"a", "b"}},
                    SplitCase{"EmptyLinesKept", "a\n\n\nb\n", {"a", "", "", "b"}},
                    SplitCase{"CrLf", "a\r\nb\r\n", {"a", "b"}},
                    SplitCase{"LoneCrStays", "a\rb\r", {"a\rb\r"}},
                    SplitCase{"OnlyBreak", "\n", {""}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return info.param.name; });

// ---- stall timeouts ------------------------------------------------------------------

struct TimeoutCase {
    const char* name;
    std::optional<std::int64_t> op;
    OpEstimates estimates;
    double min, max;
    rt::Duration expected;
};

class StallTimeout : public testing::TestWithParam<TimeoutCase> {};

TEST_P(StallTimeout, ScalesAndClampsTheEstimate) {
    const TimeoutCase& c = GetParam();
    SessionConfig config;
    config.stall_timeout_min = c.min;
    config.stall_timeout_max = c.max;
    EXPECT_EQ(line_stall_timeout(config, c.op, c.estimates), c.expected);
}

const double NaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Table, StallTimeout,
    testing::Values(TimeoutCase{"Scaled", 0, std::vector{2.0}, 5, 120, 6s},
                    TimeoutCase{"Minimum", 0, std::vector{0.5}, 5, 120, 5s},
                    TimeoutCase{"Maximum", 0, std::vector{100.0}, 5, 120, 120s},
                    TimeoutCase{"OpBeyondList", 1, std::vector{2.0}, 5, 120, 30s},
                    TimeoutCase{"NoOp", std::nullopt, std::vector{2.0}, 5, 120, 30s},
                    TimeoutCase{"NoEstimates", 0, std::nullopt, 5, 120, 30s},
                    TimeoutCase{"NaNEstimateIsZero", 0, std::vector{NaN}, 5, 120, 0s},
                    // Crossed or NaN bounds never make the clamp undefined.
                    TimeoutCase{"CrossedBounds", 0, std::vector{100.0}, 50, 10, 50s},
                    TimeoutCase{"NaNBound", 0, std::vector{1.0}, NaN, 10, 10s}),
    [](const testing::TestParamInfo<TimeoutCase>& info) { return info.param.name; });

// ---- jobs ----------------------------------------------------------------------------

TEST(Streaming, SendsStrippedLinesAndReportsEveryOperation) {
    struct Case {
        OpLineMap map;
        std::vector<std::uint64_t> done;
    };
    for (const Case& c :
         {Case{{{0, 0}, {3, 1}}, {0, 1}}, Case{{{3, 2}}, {0, 1, 2}}, Case{{}, {}}}) {
        JobHarness h;
        JobDevice device(h.mock);
        ASSERT_TRUE(h.run_job("G0 X1\n\n(only a comment)\nG1 Y2 ; move\n", c.map));
        EXPECT_EQ(device.lines(), (Lines{"G0 X1", "G1 Y2"}));
        EXPECT_EQ(h.events->done(), c.done);
        EXPECT_EQ(h.events->jobs_finished(), 1);
        EXPECT_FALSE(h.core->job_active());
        EXPECT_EQ(h.core->buffer_count(), 0u);
    }
}

TEST(Streaming, JobFinishedComesAfterTheLastOk) {
    JobHarness h;
    JobDevice device(h.mock);
    device.auto_ok = false;
    rt::TaskHandle job = h.start_run("G0 X1\nG0 X2\n");
    ASSERT_TRUE(eventually([&] { return device.unanswered_lines() == 2; }));
    device.ack(1);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(h.events->jobs_finished(), 0);
    EXPECT_TRUE(h.core->job_active());
    device.ack(1);
    ASSERT_TRUE(job.wait_for(5s));
    EXPECT_EQ(h.events->jobs_finished(), 1);
}

TEST(Streaming, StartShowsRunAndClearsTheDeviceError) {
    JobHarness h;
    JobDevice device(h.mock);
    h.core->state_.with([](DeviceState& state) {
        state.status = DeviceStatus::IDLE;
        state.error = DeviceError{20, "old", "old"};
    });
    ASSERT_TRUE(h.run_job(""));
    ASSERT_FALSE(h.events->states().empty());
    const DeviceState first = h.events->states().front();
    EXPECT_EQ(first.status, DeviceStatus::RUN);
    EXPECT_FALSE(first.error);
    EXPECT_EQ(h.events->jobs_finished(), 1);  // an empty program is a finished job
}

// The device never holds more than its buffer, and no line is lost, repeated or
// reordered, while acknowledgements come slowly and in bursts.
TEST(Streaming, NeverOverfillsTheBufferNorRepeatsALine) {
    JobHarness h;
    JobDevice device(h.mock);
    device.auto_ok = false;
    const std::string program = fixed_width_program(60, 20);
    rt::TaskHandle job = h.start_run(program);
    ASSERT_TRUE(eventually([&] { return device.unanswered_lines() == 6; }));
    for (int step = 0; !job.is_finished() && step < 5000; ++step) {
        EXPECT_LE(h.core->buffer_count(), 127u);
        std::this_thread::sleep_for(1ms);
        if (step % 3 == 0) device.ack(step % 2 == 0 ? 1 : 3);
    }
    ASSERT_TRUE(job.wait_for(5s));
    EXPECT_EQ(device.max_buffered(), 120u);  // six lines: filled, never beyond 127 / 20
    EXPECT_FALSE(device.overflowed());
    EXPECT_EQ(device.lines(), split_program_lines(program));
    EXPECT_EQ(h.events->jobs_finished(), 1);
}

// A line written before the job (here the safety "M5" of a cancel) still sits in the
// controller's buffer when the job starts: the job waits for its answer instead of
// counting the buffer as empty and overfilling it by those bytes.
TEST(Streaming, AnEarlierUnansweredLineIsAnsweredBeforeTheJobCounts) {
    JobHarness h;
    JobDevice device(h.mock);
    device.auto_ok = false;
    ASSERT_TRUE(run_blocking(send_command_bytes(h.core, to_bytes("M5\n"))).ok());
    ASSERT_TRUE(eventually([&] { return device.unanswered_lines() == 1; }));
    const std::string program = fixed_width_program(12, 21);  // six lines fill 126 bytes
    rt::TaskHandle job = h.start_run(program);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(device.lines(), std::vector<std::string>{"M5"});
    for (int step = 0; !job.is_finished() && step < 5000; ++step) {
        std::this_thread::sleep_for(1ms);
        device.ack(1);
    }
    ASSERT_TRUE(job.wait_for(5s));
    EXPECT_FALSE(device.overflowed());
    EXPECT_EQ(h.events->jobs_finished(), 1);
}

TEST(Streaming, RunStopsThePreviousJobBeforeItsFirstLine) {
    JobHarness h;
    JobDevice device(h.mock);
    device.auto_ok = false;
    device.set_report(JobDevice::RUN_REPORT);  // a slow move: the first job just waits
    rt::TaskHandle first = h.start_run(fixed_width_program(10, 20));
    ASSERT_TRUE(eventually([&] { return device.unanswered_lines() == 6; }));
    device.auto_ok = true;
    rt::TaskHandle second = h.start_run("G0 Y5\n");
    ASSERT_TRUE(second.wait_for(5s));
    ASSERT_TRUE(first.wait_for(5s));
    Lines lines = device.lines();
    ASSERT_EQ(lines.size(), 7u);  // the stopped job never sent its seventh line
    EXPECT_EQ(lines.back(), "G0 Y5");
    EXPECT_EQ(h.events->jobs_finished(), 1);
}

// ---- failures ------------------------------------------------------------------------

TEST(StreamingFailure, LinkDownBeforeALine) {
    LogCapture capture;
    JobHarness h;
    h.mock->set_connected(false);
    ASSERT_TRUE(h.run_job("G0 X1\n"));
    EXPECT_TRUE(h.mock->sent().empty());
    ASSERT_TRUE(h.core->state().error);
    EXPECT_EQ(*h.core->state().error,
              (DeviceError{-1, "Job Error", "Serial transport disconnected during job."}));
    EXPECT_EQ(h.events->jobs_finished(), 0);  // the cancel found the link down
    EXPECT_FALSE(h.core->job_active());
    auto lines = capture.lines("vantorix::grbl::session");
    EXPECT_TRUE(logged(lines, Level::WARN,
                       "Job interrupted: Connection(Serial transport disconnected during job.); "
                       "calling cancel()"));
    EXPECT_TRUE(logged(lines, Level::DEBUG, "G-code streaming aborted at line 0/1."));
}

TEST(StreamingFailure, WriteFailure) {
    JobHarness h;
    h.mock->set_write_error("cable pulled");
    ASSERT_TRUE(h.run_job("G0 X1\nG0 X2\n"));
    ASSERT_TRUE(h.core->state().error);
    EXPECT_EQ(h.core->state().error->description, "cable pulled");
    EXPECT_EQ(h.events->jobs_finished(), 0);
}

// An error reply or an alarm stops the sending; the stream's own cancel resets the
// device, sends the safety command and reports the end of the job once.
TEST(StreamingFailure, DeviceErrorOrAlarmStopsTheJob) {
    struct Case {
        const char* name;
        std::string reply;  // answers the oldest line
    };
    for (const Case& c : {Case{"ErrorReply", "error:20"}, Case{"Alarm", "ALARM:1"}}) {
        SCOPED_TRACE(c.name);
        JobHarness h;
        JobDevice device(h.mock);
        device.auto_ok = false;
        rt::TaskHandle job = h.start_run(fixed_width_program(10, 20));
        ASSERT_TRUE(eventually([&] { return device.unanswered_lines() == 6; }));
        if (c.reply == "error:20") {
            device.ack(1, "error:20");
        } else {
            device.say("ALARM:1\r\n");
            device.ack(1, "error:9");  // GRBL refuses the buffered lines in alarm
        }
        ASSERT_TRUE(job.wait_for(5s));
        // The line that found space after the failure was held back; then the reset and
        // the safety command.
        EXPECT_EQ(program_lines(device), 6u);
        EXPECT_EQ(device.count_realtime(0x18), 1u);
        EXPECT_TRUE(eventually([&] { return device.count_line("M5") == 1; }));
        EXPECT_TRUE(eventually([&] { return h.events->jobs_finished() == 1; }));
        ASSERT_TRUE(h.core->state().error);
        EXPECT_NE(h.core->state().error->title, "Job Error");  // the device's own error stays
        EXPECT_FALSE(h.core->job_active());
    }
}

TEST(StreamingFailure, AlarmSeenOnlyInAReportFailsTheJob) {
    LogCapture capture;
    JobHarness h;
    JobDevice device(h.mock);
    device.auto_ok = false;
    device.set_report(JobDevice::ALARM_REPORT);
    rt::TaskHandle job = h.start_run(fixed_width_program(10, 20));
    ASSERT_TRUE(eventually([&] { return device.unanswered_lines() == 6; }));
    ASSERT_TRUE(job.wait_for(5s));  // the stall poll sees the alarm
    ASSERT_TRUE(h.core->state().error);
    EXPECT_EQ(h.core->state().error->description, "Machine entered ALARM state during job.");
    EXPECT_TRUE(eventually([&] { return h.events->jobs_finished() == 1; }));  // from the cancel
    EXPECT_EQ(program_lines(device), 6u);
}

// ---- run_raw -------------------------------------------------------------------------

TEST(RunRaw, RealtimeCharactersGoFirst) {
    JobHarness h;
    JobDevice device(h.mock);
    rt::block_on(run_raw(h.core, "  !\nG0 X1\n\n~  \n"));
    EXPECT_EQ(device.received(),
              (std::vector<Received>{realtime('!'), realtime('~'), line("G0 X1")}));
    EXPECT_EQ(h.events->jobs_finished(), 1);
}

TEST(RunRaw, OnlyRealtimeStartsNoJob) {
    JobHarness h;
    JobDevice device(h.mock);
    rt::block_on(run_raw(h.core, "?"));
    EXPECT_TRUE(eventually([&] { return device.count_realtime('?') == 1; }));
    EXPECT_EQ(h.events->jobs_finished(), 0);
    // The device's Idle report is shown as it is: no job runs.
    EXPECT_TRUE(eventually([&] { return h.core->state().status == DeviceStatus::IDLE; }));
    EXPECT_FALSE(h.core->job_active());
}

TEST(RunRaw, FailedRealtimeStreamsNothing) {
    LogCapture capture;
    JobHarness h;
    h.mock->set_connected(false);
    rt::block_on(run_raw(h.core, "!\nG0 X1"));
    EXPECT_TRUE(h.mock->sent().empty());
    EXPECT_TRUE(logged(capture.lines("vantorix::grbl::session"), Level::ERROR,
                       "Realtime command failed: Serial transport not connected"));
}

}  // namespace
