#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grbl/session/cancel.hpp"
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

std::vector<std::string> written(const MockInner& mock) {
    std::vector<std::string> out;
    for (const Bytes& chunk : mock.sent()) out.push_back(to_text(chunk));
    return out;
}

const std::string RESET(1, '\x18');

asio::awaitable<void> interactive(std::shared_ptr<SessionCore> core, std::string command) {
    (void)co_await execute_interactive_command(std::move(core), std::move(command));
}

// ---- cancel --------------------------------------------------------------------------

struct ShutdownCase {
    const char* name;
    std::vector<std::string> safety_off;
    std::optional<std::string> emergency_stop;
    bool emergency;
    Lines bytes;
};

class CancelShutdown : public testing::TestWithParam<ShutdownCase> {};

TEST_P(CancelShutdown, WritesResetThenSafetyCommands) {
    const ShutdownCase& c = GetParam();
    GrblDialect dialect;
    dialect.safety_off_commands = c.safety_off;
    dialect.emergency_stop = c.emergency_stop;
    SessionConfig config = job_config();
    config.safety_shutdown_delay = 0.2;
    JobHarness h(config, dialect);
    auto started = rt::Clock::now();
    VoidResult result = run_blocking(cancel(h.core, c.emergency));
    auto took = rt::Clock::now() - started;
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(written(*h.mock), c.bytes);
    // The pause comes only before safety commands.
    if (c.bytes.size() > 1) {
        EXPECT_GE(took, 200ms);
    } else {
        EXPECT_LT(took, 200ms);
    }
    EXPECT_EQ(h.events->jobs_finished(), 0);
    EXPECT_TRUE(h.core->cancelled.load());
}

INSTANTIATE_TEST_SUITE_P(
    Table, CancelShutdown,
    testing::Values(
        ShutdownCase{"Default", {"M5"}, std::nullopt, false, {RESET, "M5\n"}},
        ShutdownCase{"EmergencyWithoutStop", {"M5"}, std::nullopt, true, {RESET, "M5\n"}},
        ShutdownCase{
            "EmergencyStopLast", {"M5", "M9"}, "M2", true, {RESET, "M5\n", "M9\n", "M2\n"}},
        ShutdownCase{"StopOnlyForEmergency", {"M5"}, "M2", false, {RESET, "M5\n"}},
        ShutdownCase{"NoSafetyCommands", {}, std::nullopt, false, {RESET}}),
    [](const testing::TestParamInfo<ShutdownCase>& info) { return info.param.name; });

TEST(Cancel, SafetyCommandIsCountedUntilAnswered) {
    JobHarness h;
    ASSERT_TRUE(run_blocking(cancel(h.core, false)).ok());
    EXPECT_EQ(h.core->pending_commands(), Lines{"M5"});
    EXPECT_EQ(h.core->buffer_count(), 3u);
}

TEST(Cancel, LinkDownWritesNothing) {
    JobHarness h;
    h.mock->set_connected(false);
    h.core->job_active_.store(true);
    VoidResult result = run_blocking(cancel(h.core, false));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SessionError::connection("Serial transport not connected"));
    EXPECT_TRUE(h.mock->sent().empty());
    EXPECT_FALSE(h.core->job_active());
    EXPECT_TRUE(h.core->cancelled.load());
    EXPECT_EQ(h.events->jobs_finished(), 0);
}

// The reset goes out while the stream holds the command lock waiting for space; the stream
// stops, the job is reported once, and nothing more is written after the cancel.
TEST(Cancel, DuringAStalledLine) {
    SessionConfig config = job_config();
    config.stall_timeout_default = 30.0;
    JobHarness h(config);
    JobDevice device(h.mock);
    device.auto_ok = false;
    rt::TaskHandle job = h.start_run(fixed_width_program(10, 20));
    ASSERT_TRUE(eventually([&] { return device.unanswered_lines() == 6; }));
    ASSERT_TRUE(h.core->command_lock.is_locked());
    auto started = rt::Clock::now();
    ASSERT_TRUE(run_blocking(cancel(h.core, false)).ok());
    EXPECT_LT(rt::Clock::now() - started, 2s);
    ASSERT_TRUE(job.wait_for(5s));
    EXPECT_EQ(h.events->jobs_finished(), 1);
    EXPECT_FALSE(h.core->job_active());
    EXPECT_FALSE(h.core->command_lock.is_locked());
    const std::size_t after_cancel = h.mock->sent().size();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(h.mock->sent().size(), after_cancel);
    EXPECT_EQ(device.received().at(6), realtime('\x18'));
    EXPECT_EQ(device.lines().back(), "M5");
}

TEST(Cancel, WhileAnInteractiveCommandHoldsTheLock) {
    SessionConfig config = job_config();
    config.command_timeout = 5.0;
    JobHarness h(config);
    JobDevice device(h.mock);
    device.auto_ok = false;
    rt::TaskHandle command = rt::spawn(interactive(h.core, "$H"));
    ASSERT_TRUE(eventually([&] { return device.unanswered_lines() == 1; }));
    auto started = rt::Clock::now();
    ASSERT_TRUE(run_blocking(cancel(h.core, false)).ok());
    EXPECT_LT(rt::Clock::now() - started, 2s);
    EXPECT_EQ(device.received().at(1), realtime('\x18'));
    command.abort();
    ASSERT_TRUE(command.wait_for(5s));
}

TEST(Cancel, ReleasesQueuedCallers) {
    JobHarness h;
    // A queue nobody serves: the command stays waiting in the channel.
    auto [tx, rx] = rt::unbounded_channel<QueuedCommand>();
    h.core->command_tx.set(std::move(tx));
    Result<std::shared_ptr<RequestShared>> queued = enqueue_command(*h.core, "G0 X1");
    ASSERT_TRUE(queued.ok());
    std::optional<Result<Lines>> answer;
    rt::TaskHandle waiter = rt::spawn(store_result(await_command(h.core, queued.value()), &answer));
    ASSERT_TRUE(run_blocking(cancel(h.core, false)).ok());
    ASSERT_TRUE(waiter.wait_for(1s));
    ASSERT_TRUE(answer && answer->ok());
    EXPECT_TRUE(answer->value().empty());
    EXPECT_TRUE(h.core->pending_requests.get().empty());
}

// Whether a cancel comes before, during or after the job's last acknowledgement, the job
// is reported finished exactly once.
TEST(Cancel, ExactlyOneJobFinishedPerJob) {
    SessionConfig config = job_config();
    config.safety_shutdown_delay = 0.0;
    JobHarness h(config);
    JobDevice device(h.mock);
    constexpr int JOBS = 40;
    for (int i = 0; i < JOBS; ++i) {
        rt::TaskHandle job = h.start_run(fixed_width_program(8, 20));
        std::this_thread::sleep_for(std::chrono::microseconds(250 * (i % 12)));
        ASSERT_TRUE(run_blocking(cancel(h.core, false)).ok());
        ASSERT_TRUE(job.wait_for(5s));
        ASSERT_TRUE(h.events->wait_for(
            [i](const RecordingEvents& e) { return e.jobs_finished() >= i + 1; }));
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(h.events->jobs_finished(), JOBS);
}

// ---- hold ----------------------------------------------------------------------------

TEST(Hold, WritesTheRealtimeByteAndShowsHold) {
    JobHarness h;
    ASSERT_TRUE(run_blocking(set_hold(h.core, true)).ok());
    ASSERT_TRUE(run_blocking(set_hold(h.core, true)).ok());
    EXPECT_EQ(written(*h.mock), (Lines{"!", "!"}));
    EXPECT_EQ(h.core->buffer_count(), 0u);
    EXPECT_EQ(h.core->state().status, DeviceStatus::HOLD);
    EXPECT_EQ(h.events->states().size(), 1u);
    EXPECT_TRUE(h.core->hold_active.load());
}

TEST(Hold, ResumeShowsRunDuringAJobAndIdleOtherwise) {
    for (bool job : {true, false}) {
        JobHarness h;
        h.core->job_active_.store(job);
        ASSERT_TRUE(run_blocking(set_hold(h.core, true)).ok());
        ASSERT_TRUE(run_blocking(set_hold(h.core, false)).ok());
        EXPECT_EQ(written(*h.mock), (Lines{"!", "~"}));
        EXPECT_EQ(h.core->state().status, job ? DeviceStatus::RUN : DeviceStatus::IDLE);
        EXPECT_FALSE(h.core->hold_active.load());
        h.core->job_active_.store(false);
    }
}

TEST(Hold, LinkDownChangesTheFlagOnly) {
    JobHarness h;
    h.mock->set_connected(false);
    VoidResult result = run_blocking(set_hold(h.core, true));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SessionError::connection("Serial transport not connected"));
    EXPECT_TRUE(h.core->hold_active.load());
    EXPECT_TRUE(h.events->states().empty());
}

TEST(Hold, ResumeAfterCancelLetsCommandsThroughAgain) {
    JobHarness h;
    JobDevice device(h.mock);
    h.start_command_queue();
    ASSERT_TRUE(run_blocking(cancel(h.core, false)).ok());
    ASSERT_TRUE(h.core->cancelled.load());
    ASSERT_TRUE(run_blocking(set_hold(h.core, false)).ok());
    EXPECT_FALSE(h.core->cancelled.load());
}

TEST(Hold, HoldAndResumeDuringAJob) {
    JobHarness h;
    JobDevice device(h.mock);
    device.auto_ok = false;
    rt::TaskHandle job = h.start_run(fixed_width_program(3, 20));
    ASSERT_TRUE(eventually([&] { return device.unanswered_lines() == 3; }));
    ASSERT_TRUE(run_blocking(set_hold(h.core, true)).ok());
    EXPECT_EQ(h.core->state().status, DeviceStatus::HOLD);
    device.say(std::string(JobDevice::RUN_REPORT) + "\r\n");  // shown as held
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(h.core->state().status, DeviceStatus::HOLD);
    ASSERT_TRUE(run_blocking(set_hold(h.core, false)).ok());
    EXPECT_EQ(h.core->state().status, DeviceStatus::RUN);
    device.ack(3);
    ASSERT_TRUE(job.wait_for(5s));
    EXPECT_EQ(h.events->jobs_finished(), 1);
    Lines expected;
    for (const std::string& text : split_program_lines(fixed_width_program(3, 20))) {
        expected.push_back(text + "\n");
    }
    expected.insert(expected.end(), {"!", "~"});
    EXPECT_EQ(written(*h.mock), expected);
}

}  // namespace
