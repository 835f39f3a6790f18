#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "grbl/session/commands.hpp"
#include "grbl/session/core.hpp"
#include "grbl/session/machine_ops.hpp"
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
using vantorix::testing_support::run_blocking;
using vantorix::testing_support::to_bytes;
using vantorix::testing_support::to_text;
using Lines = std::vector<std::string>;

namespace {

constexpr const char* SESSION = "vantorix::grbl::session";

// ---- command texts ---------------------------------------------------------------------

GrblDialect dialect_with(void (*change)(GrblDialect&)) {
    GrblDialect dialect;
    change(dialect);
    return dialect;
}

struct TextCase {
    const char* name;
    Result<std::string> text;
    Result<std::string> expected;
};

std::string describe(const Result<std::string>& r) {
    return r.ok() ? "text " + r.value() : "error " + r.error().debug();
}

Result<std::string> only(const Result<std::optional<std::string>>& r) {
    if (!r.ok()) return r.error();
    return r.value() ? *r.value() : std::string("<nothing>");
}

Result<std::string> joined(const Result<std::vector<std::string>>& r) {
    if (!r.ok()) return r.error();
    std::string text;
    for (const std::string& command : r.value()) text += (text.empty() ? "" : " | ") + command;
    return text;
}

class CommandTexts : public testing::TestWithParam<TextCase> {};

TEST_P(CommandTexts, AreBuiltFromTheDialect) {
    const TextCase& c = GetParam();
    EXPECT_EQ(describe(c.text), describe(c.expected));
}

const GrblDialect DEFAULTS;
const SessionError NO_Q = SessionError::other("no value for placeholder {q}");

INSTANTIATE_TEST_SUITE_P(
    Table, CommandTexts,
    testing::Values(
        TextCase{"HomeAll", joined(home_commands(DEFAULTS, std::nullopt, "G54")),
                 std::string("$H | G4 P0.01 | G55 | G54")},
        TextCase{"HomeAxesKeepTheirCase", joined(home_commands(DEFAULTS, Lines{"X", "y"}, "G56")),
                 std::string("$HX | $Hy | G4 P0.01 | G54 | G56")},
        TextCase{"HomeNoAxesStillToggles", joined(home_commands(DEFAULTS, Lines{}, "G55")),
                 std::string("G4 P0.01 | G54 | G55")},
        // home_all is sent verbatim, braces and all.
        TextCase{"HomeAllNeverRendered",
                 joined(home_commands(dialect_with([](GrblDialect& d) { d.home_all = "$H{q}"; }),
                                      std::nullopt, "G54")),
                 std::string("$H{q} | G4 P0.01 | G55 | G54")},
        TextCase{"HomeAxisBadTemplate",
                 joined(home_commands(dialect_with([](GrblDialect& d) { d.home_axis = "$H{q}"; }),
                                      Lines{"X"}, "G54")),
                 NO_Q},
        TextCase{"MoveTo", move_to_command(DEFAULTS, 1000, 10, 20.5),
                 std::string("$J=G90 G21 F1000 X10.0 Y20.5")},
        TextCase{"Jog", only(jog_command(DEFAULTS, 500, {{"x", 10}, {"y", -2.5}})),
                 std::string("$J=G91 G21 F500 X10.0 Y-2.5")},
        TextCase{"JogFractionalSpeed", only(jog_command(DEFAULTS, 1000.5, {{"z", 0.1}})),
                 std::string("$J=G91 G21 F1000.5 Z0.1")},
        TextCase{"JogNothing", only(jog_command(DEFAULTS, 1000, {})), std::string("<nothing>")},
        // Without deltas the template is not even looked at.
        TextCase{"JogNothingBadTemplate",
                 only(jog_command(dialect_with([](GrblDialect& d) { d.jog = "{q"; }), 1, {})),
                 std::string("<nothing>")},
        TextCase{"JogBadTemplate",
                 only(jog_command(dialect_with([](GrblDialect& d) { d.jog = "$J={q}"; }), 1,
                                  {{"x", 1}})),
                 NO_Q},
        TextCase{"PowerOn", laser_power_command(DEFAULTS, 255.6), std::string("M4 S256")},
        TextCase{"PowerNone", laser_power_command(DEFAULTS, std::nullopt), std::string("M5")},
        TextCase{"PowerZero", laser_power_command(DEFAULTS, 0.0), std::string("M5")},
        TextCase{"PowerNegative", laser_power_command(DEFAULTS, -5.0), std::string("M5")},
        TextCase{"PowerNaN", laser_power_command(DEFAULTS, std::nan("")), std::string("M5")},
        TextCase{
            "PowerCoordWithoutSpec",
            laser_power_command(dialect_with([](GrblDialect& d) { d.laser_on = "M4 S{power}"; }),
                                255),
            std::string("M4 S255.0")},
        TextCase{"FocusOn", focus_power_command(DEFAULTS, 10.4), std::string("M3 S10")},
        TextCase{"Tool", tool_command(DEFAULTS, 3), std::string("T3")},
        TextCase{"ToolWithSpec",
                 tool_command(dialect_with([](GrblDialect& d) {
                                  d.tool_change = "M6 T{tool_number:.2f}";
                              }),
                              3),
                 std::string("M6 T3.00")},
        TextCase{"Setting", Result<std::string>(setting_command("13", "1")), std::string("$13=1")},
        TextCase{"WcsOffsetWithoutZ", wcs_offset_command(DEFAULTS, "G55", 1, 2, std::nullopt),
                 std::string("G10 L2 P2 X1.0 Y2.0")},
        TextCase{"WcsOffsetWithZ", wcs_offset_command(DEFAULTS, "G59", -1.5, 0, 2.25),
                 std::string("G10 L2 P6 X-1.5 Y0.0 Z2.25")},
        TextCase{"WcsInvalidSlot", wcs_offset_command(DEFAULTS, "G60", 0, 0, 0),
                 SessionError::other("Invalid WCS slot: G60")},
        TextCase{"WcsBadTemplate",
                 wcs_offset_command(dialect_with([](GrblDialect& d) {
                                        d.set_wcs_offset = "G10 L2 P{p_num";
                                    }),
                                    "G54", 0, 0, 0),
                 SessionError::other("unterminated placeholder in template \"G10 L2 P{p_num\"")},
        TextCase{"Probe", probe_command(DEFAULTS, "Z", -10, 100),
                 std::string("G38.2 Z-10.0 F100")}),
    [](const testing::TestParamInfo<TextCase>& info) { return info.param.name; });

TEST(CommandTexts, UpperCasesOnlyAsciiLetters) {
    EXPECT_EQ(ascii_upper("xYz-1_\xc3\xa9"), "XYZ-1_\xc3\xa9");
}

// ---- operations against a scripted controller -------------------------------------------

// Records every event of interest to these operations.
class OpEvents final : public SessionEvents {
  public:
    void state_changed(const DeviceState& state) override {
        std::lock_guard lock(mutex_);
        states_.push_back(state);
    }
    void connection_status(TransportStatus, const std::optional<std::string>&) override {}
    void command_status(TransportStatus, const std::optional<std::string>&) override {}
    void job_finished() override {}
    void probe_status(const std::string& text) override {
        std::lock_guard lock(mutex_);
        probes_.push_back(text);
    }
    void wcs_updated(const WcsOffsets& offsets) override {
        std::lock_guard lock(mutex_);
        wcs_.push_back(offsets);
    }
    void config_changed(const std::string&, std::int64_t) override {}
    void command_done(std::uint64_t) override {}

    std::vector<DeviceState> states() const {
        std::lock_guard lock(mutex_);
        return states_;
    }
    Lines probes() const {
        std::lock_guard lock(mutex_);
        return probes_;
    }
    std::vector<WcsOffsets> wcs() const {
        std::lock_guard lock(mutex_);
        return wcs_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<DeviceState> states_;
    Lines probes_;
    std::vector<WcsOffsets> wcs_;
};

// Answers each received line with its scripted reply ("ok" unless told otherwise); a
// line scripted with an empty reply gets no answer at all.
class Controller {
  public:
    explicit Controller(std::shared_ptr<MockInner> mock)
        : mock_(std::move(mock)), thread_([this] { run(); }) {}
    ~Controller() {
        stop_.store(true);
        thread_.join();
    }

    void reply(const std::string& line, std::string answer) {
        std::lock_guard lock(mutex_);
        replies_[line] = std::move(answer);
    }
    Lines received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    void run() {
        std::string partial;
        while (!stop_.load()) {
            for (const Bytes& chunk : mock_->take_new_sent()) {
                for (std::uint8_t byte : chunk) {
                    if (byte != '\n') {
                        partial.push_back(static_cast<char>(byte));
                        continue;
                    }
                    std::string answer = "ok\r\n";
                    {
                        std::lock_guard lock(mutex_);
                        received_.push_back(partial);
                        if (auto it = replies_.find(partial); it != replies_.end())
                            answer = it->second;
                    }
                    partial.clear();
                    if (!answer.empty()) mock_->push(to_bytes(answer));
                }
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    std::shared_ptr<MockInner> mock_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> replies_;
    Lines received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

asio::awaitable<void> feed_session(std::shared_ptr<SessionCore> core, RxReceiver chunks) {
    for (;;) {
        std::optional<Bytes> chunk = co_await chunks.recv();
        if (!chunk) co_return;
        core->handle_rx(*chunk);
    }
}

// An open link with a reader and a running command queue (no status polling), and a
// controller that answers what the operations send.
class MachineOps : public testing::Test {
  protected:
    void SetUp() override {
        SessionConfig config = fast_config();
        config.command_timeout = 0.4;
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

    void set_status(DeviceStatus status) {
        core->state_.with([status](DeviceState& state) { state.status = status; });
    }

    std::shared_ptr<MockInner> mock = std::make_shared<MockInner>();
    std::shared_ptr<OpEvents> events = std::make_shared<OpEvents>();
    std::shared_ptr<SessionCore> core;
    rt::TaskHandle reader;
    rt::TaskHandle queue;
    Controller device{mock};
};

TEST_F(MachineOps, HomeSendsTheToggleAndReportsTheStateWithoutError) {
    core->state_.with([](DeviceState& state) { state.error = DeviceError{9, "Alarm", "lock"}; });
    VoidResult result = run_blocking(home(core, std::nullopt, "G54"));
    ASSERT_TRUE(result.ok()) << result.error().text();
    EXPECT_EQ(device.received(), (Lines{"$H", "G4 P0.01", "G55", "G54"}));
    ASSERT_EQ(events->states().size(), 1u);
    EXPECT_FALSE(events->states()[0].error.has_value());
    EXPECT_FALSE(core->state().error.has_value());
}

TEST_F(MachineOps, DeviceErrorRepliesDoNotStopHoming) {
    device.reply("$HX", "error:5\r\n");
    VoidResult result = run_blocking(home(core, Lines{"X"}, "G56"));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(device.received(), (Lines{"$HX", "G4 P0.01", "G54", "G56"}));
}

TEST_F(MachineOps, UnansweredHomingSendsNoToggleAndReportsNothing) {
    device.reply("$H", "");
    VoidResult result = run_blocking(home(core, std::nullopt, "G54"));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SessionError::timeout());
    // The queue moves on to whatever comes next; nothing of the toggle was queued.
    ASSERT_TRUE(run_blocking(execute_command(core, "G0 X1")).ok());
    EXPECT_EQ(device.received(), (Lines{"$H", "G0 X1"}));
    EXPECT_TRUE(events->states().empty());
}

TEST_F(MachineOps, QueuedOperationsKeepTheOrderOfTheirCalls) {
    // The operations are created first and run in reverse: the queue order is that of
    // the calls.
    auto first = move_to(core, 1000, 1, 2);
    auto second = jog(core, 500, {{"x", 1}});
    auto third = set_power(core, std::nullopt);
    ASSERT_TRUE(run_blocking(std::move(third)).ok());
    ASSERT_TRUE(run_blocking(std::move(second)).ok());
    ASSERT_TRUE(run_blocking(std::move(first)).ok());
    EXPECT_EQ(device.received(),
              (Lines{"$J=G90 G21 F1000 X1.0 Y2.0", "$J=G91 G21 F500 X1.0", "M5"}));
}

TEST_F(MachineOps, FailuresBeforeSendingWriteNothing) {
    core->update_dialect(dialect_with([](GrblDialect& d) { d.move_to = "G0 X{x} Y{y} Z{z}"; }));
    VoidResult bad_template = run_blocking(move_to(core, 1, 2, 3));
    ASSERT_FALSE(bad_template.ok());
    EXPECT_EQ(bad_template.error(), SessionError::other("no value for placeholder {z}"));
    VoidResult bad_slot = run_blocking(set_wcs_offset(core, "G60", 0, 0, 0));
    ASSERT_FALSE(bad_slot.ok());
    EXPECT_EQ(bad_slot.error().text(), "Invalid WCS slot: G60");
    EXPECT_TRUE(run_blocking(jog(core, 1000, {})).ok());
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(device.received().empty());
}

TEST_F(MachineOps, FocusOffWaitsForTheJogToEnd) {
    LogCapture capture;
    set_status(DeviceStatus::JOG);
    std::thread ends_jog([this] {
        std::this_thread::sleep_for(150ms);
        set_status(DeviceStatus::IDLE);
    });
    auto started = rt::Clock::now();
    VoidResult result = run_blocking(set_focus_power(core, std::nullopt, 5s));
    auto took = rt::Clock::now() - started;
    ends_jog.join();
    ASSERT_TRUE(result.ok());
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(device.received(), Lines{"M5"});
    for (const CapturedLine& line : capture.lines(SESSION)) EXPECT_NE(line.level, Level::WARN);
}

TEST_F(MachineOps, FocusOffGivesUpOnAnEndlessJogWithOneWarning) {
    LogCapture capture;
    set_status(DeviceStatus::JOG);
    auto started = rt::Clock::now();
    VoidResult result = run_blocking(set_focus_power(core, 0.0, 200ms));
    auto took = rt::Clock::now() - started;
    ASSERT_TRUE(result.ok());
    EXPECT_GE(took, 200ms);
    EXPECT_EQ(device.received(), Lines{"M5"});
    int warnings = 0;
    for (const CapturedLine& line : capture.lines(SESSION)) {
        if (line.level != Level::WARN) continue;
        ++warnings;
        EXPECT_EQ(line.message,
                  "Timed out waiting for JOG to finish before sending laser-off command.");
    }
    EXPECT_EQ(warnings, 1);
}

TEST_F(MachineOps, FocusOnIsSentWithoutWaiting) {
    set_status(DeviceStatus::JOG);
    auto started = rt::Clock::now();
    ASSERT_TRUE(run_blocking(set_focus_power(core, 12.0, 5s)).ok());
    EXPECT_LT(rt::Clock::now() - started, 2s);
    EXPECT_EQ(device.received(), Lines{"M3 S12"});
}

TEST_F(MachineOps, ReadSettingsStoresTheInchFlagUsedByOffsetsAndProbes) {
    device.reply("$$", "$0=10\r\n$13=1\r\n$100=250.000\r\nok\r\n");
    device.reply("$#", "[G54:1.000,0.000,-2.000]\r\n[G55:0,0,0]\r\n[G28:5,5,5]\r\nok\r\n");
    device.reply("G38.2 Z-10.0 F100", "[PRB:0.000,0.500,-1.000:1]\r\nok\r\n");
    Result<std::vector<SettingPair>> settings = run_blocking(read_settings(core));
    ASSERT_TRUE(settings.ok());
    EXPECT_EQ(settings.value(),
              (std::vector<SettingPair>{{"0", "10"}, {"13", "1"}, {"100", "250.000"}}));
    EXPECT_TRUE(core->report_inches.load());

    Result<WcsOffsets> offsets = run_blocking(read_wcs_offsets(core));
    ASSERT_TRUE(offsets.ok());
    const WcsOffsets expected{{"G54", {25.4, 0.0, -50.8}}, {"G55", {0.0, 0.0, 0.0}}};
    EXPECT_EQ(offsets.value(), expected);
    EXPECT_EQ(events->wcs(), std::vector<WcsOffsets>{expected});

    auto probed = run_blocking(run_probe_cycle(core, "z", -10, 100));
    ASSERT_TRUE(probed.ok());
    EXPECT_EQ(probed.value(), (ProbePosition{0.0, 12.7, -25.4}));
    EXPECT_EQ(events->probes().back(), "Probe triggered at (0, 12.7, -25.4)");
}

TEST_F(MachineOps, LaterOffsetLinesReplaceEarlierOnesAndAnEmptyMapIsReported) {
    device.reply("$#", "[G54:1,2,3]\r\n[G54:4,5,6]\r\nok\r\n");
    Result<WcsOffsets> offsets = run_blocking(read_wcs_offsets(core));
    ASSERT_TRUE(offsets.ok());
    EXPECT_EQ(offsets.value(), (WcsOffsets{{"G54", {4.0, 5.0, 6.0}}}));
    device.reply("$#", "ok\r\n");
    ASSERT_TRUE(run_blocking(read_wcs_offsets(core)).ok());
    ASSERT_EQ(events->wcs().size(), 2u);
    EXPECT_TRUE(events->wcs()[1].empty());
}

struct UnitCase {
    const char* name;
    const char* listing;  // nullptr: the device does not answer
    std::optional<UnitSystem> unit;
    bool inches;
};

class UnitDetection : public MachineOps, public testing::WithParamInterface<UnitCase> {};

TEST_P(UnitDetection, NeverFails) {
    const UnitCase& c = GetParam();
    LogCapture capture;
    core->report_inches.store(true);
    device.reply("$$", c.listing ? c.listing : "");
    std::optional<UnitSystem> unit = run_blocking(detect_unit_system(core));
    EXPECT_EQ(unit, c.unit);
    EXPECT_EQ(core->report_inches.load(), c.inches);
    const bool warned =
        !capture.lines(SESSION).empty() &&
        capture.lines(SESSION).back() ==
            CapturedLine{Level::WARN, SESSION, "Unit system detection failed: operation timed out"};
    EXPECT_EQ(warned, c.listing == nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnitDetection,
    testing::Values(UnitCase{"Metric", "$13=0\r\nok\r\n", UnitSystem::METRIC, false},
                    UnitCase{"Imperial", "$13=1\r\nok\r\n", UnitSystem::IMPERIAL, true},
                    UnitCase{"NoSetting13", "$0=10\r\nok\r\n", std::nullopt, false},
                    // The flag keeps its value when nothing came back.
                    UnitCase{"Silent", nullptr, std::nullopt, true}),
    [](const testing::TestParamInfo<UnitCase>& info) { return info.param.name; });

TEST_F(MachineOps, UnitDetectionOnAClosedLinkGivesNothing) {
    mock->set_connected(false);
    EXPECT_EQ(run_blocking(detect_unit_system(core)), std::nullopt);
}

struct ProbeCase {
    const char* name;
    const char* reply;  // "" : no answer
    std::optional<ProbePosition> position;
    const char* status;
};

class Probing : public MachineOps, public testing::WithParamInterface<ProbeCase> {};

TEST_P(Probing, ReportsItsOutcome) {
    const ProbeCase& c = GetParam();
    device.reply("G38.2 X5.0 F50", c.reply);
    auto result = run_blocking(run_probe_cycle(core, "x", 5, 50));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), c.position);
    EXPECT_EQ(events->probes(), (Lines{"Probing X...", c.status}));
    EXPECT_EQ(device.received(), Lines{"G38.2 X5.0 F50"});
}

INSTANTIATE_TEST_SUITE_P(
    Table, Probing,
    testing::Values(ProbeCase{"Triggered", "[PRB:0.000,0.000,-3.200:1]\r\nok\r\n",
                              ProbePosition{0.0, 0.0, -3.2}, "Probe triggered at (0, 0, -3.2)"},
                    ProbeCase{"FirstSuccessCounts",
                              "[PRB:9,9,9:0]\r\n[PRB:1.5,2,3:1]\r\n[PRB:7,7,7:1]\r\nok\r\n",
                              ProbePosition{1.5, 2.0, 3.0}, "Probe triggered at (1.5, 2, 3)"},
                    ProbeCase{"NoContact", "ALARM:4\r\n[PRB:0.000,0.000,-10.000:0]\r\nok\r\n",
                              std::nullopt, "Probe failed"},
                    ProbeCase{"ErrorReply", "error:9\r\n", std::nullopt, "Probe failed"},
                    ProbeCase{"NoAnswer", "", std::nullopt, "Probe failed: Timed out"}),
    [](const testing::TestParamInfo<ProbeCase>& info) { return info.param.name; });

TEST_F(MachineOps, UnusableProbeTemplateFailsBeforeAnythingHappens) {
    core->update_dialect(dialect_with([](GrblDialect& d) { d.probe_cycle = "G38.2 {axis"; }));
    auto result = run_blocking(run_probe_cycle(core, "z", -1, 10));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(),
              SessionError::other("unterminated placeholder in template \"G38.2 {axis\""));
    EXPECT_TRUE(events->probes().empty());
}

TEST_F(MachineOps, InteractiveReadsFailWithTheCommandError) {
    device.reply("$G", "[GC:G0 G55 G17 G21 G90 G94 M5 M9 T0 F0 S0]\r\nok\r\n");
    auto active = run_blocking(read_parser_state(core));
    ASSERT_TRUE(active.ok());
    EXPECT_EQ(active.value(), "G55");
    // The unanswered line stays pending, so this is the last interactive command here.
    device.reply("$G", "");
    auto parser_state = run_blocking(read_parser_state(core));
    ASSERT_FALSE(parser_state.ok());
    EXPECT_EQ(parser_state.error(), SessionError::timeout());
    mock->set_connected(false);
    auto closed = run_blocking(read_settings(core));
    ASSERT_FALSE(closed.ok());
    EXPECT_EQ(closed.error(), SessionError::connection("Serial transport not connected"));
}

TEST(MachineOpsUnconnected, QueuedOperationsFailWithoutACommandQueue) {
    auto core = SessionCore::create(MockLink{std::make_shared<MockInner>()}, fast_config(),
                                    GrblDialect{}, std::make_shared<OpEvents>());
    VoidResult result = run_blocking(select_tool(core, 1));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), SessionError::connection("command queue unavailable"));
}

}  // namespace
