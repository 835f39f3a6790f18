#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "grbl/flow.hpp"
#include "log_capture.hpp"
#include "rt/block_on.hpp"
#include "rt/task.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using namespace vantorix::grbl;
using vantorix::log::Level;
using vantorix::testing_support::CapturedLine;
using vantorix::testing_support::LogCapture;
using Kind = GrblResponse::Kind;

namespace {

constexpr const char* FLOW = "vantorix::grbl::flow";

GrblResponse ok(std::optional<PendingCommand> acked = std::nullopt) {
    return {std::move(acked), "ok", Kind::OK};
}
GrblResponse error(std::string line) {
    return {std::nullopt, std::move(line), Kind::ERROR};
}
GrblResponse other(std::string line) {
    return {std::nullopt, std::move(line), Kind::OTHER_LINE};
}

class Flow : public testing::Test {
  protected:
    std::vector<GrblResponse> parse(std::string_view text) {
        return flow.parse_incoming(
            std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    // Tracks `line` as written with its newline.
    PendingCommand track(std::string line, std::optional<std::int64_t> op_index = std::nullopt) {
        PendingCommand command{op_index, line, line.size() + 1};
        flow.track_command(command.size, op_index, std::move(line));
        return command;
    }

    FlowControl flow;
};

// ---- parse_incoming --------------------------------------------------------------------

struct ParseCase {
    const char* name;
    std::vector<std::string> chunks;  // fed in order; responses of all calls are joined
    std::vector<GrblResponse> expected;
    std::string leftover_probe = {};  // fed last, to show what stayed in the raw buffer
    std::vector<GrblResponse> probe_expected = {};
};

class FlowParse : public Flow, public testing::WithParamInterface<ParseCase> {};

TEST_P(FlowParse, ClassifiesReplies) {
    const ParseCase& c = GetParam();
    std::vector<GrblResponse> got;
    for (const auto& chunk : c.chunks) {
        auto part = parse(chunk);
        got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, c.expected);
    if (!c.leftover_probe.empty()) {
        EXPECT_EQ(parse(c.leftover_probe), c.probe_expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FlowParse,
    testing::Values(
        ParseCase{"OkSplitAcrossChunks", {"ok", "\r\n"}, {ok()}},
        ParseCase{"OkInterleavedIntoAReport",
                  {"<Idle|MPos:0.000,0.0ok\r\n00,0.000>\r\n"},
                  {ok(), other("<Idle|MPos:0.000,0.000,0.000>")}},
        ParseCase{"ThreeOksInOneChunk", {"ok\r\nok\r\nok\r\n"}, {ok(), ok(), ok()}},
        ParseCase{"OkWithSpacesIsStillAnAck", {"  ok \n"}, {ok()}},
        ParseCase{"HookLeavesHoBehind", {"Hook\r\n"}, {ok()}, "\n", {other("Ho")}},
        ParseCase{"ErrorWaitsForItsLineFeed", {"error:2", "0\r\n"}, {error("error:20")}},
        ParseCase{"PhasesOrderAcksErrorsLines",
                  {"<Idle>\r\nerror:1\r\nok\r\n"},
                  {ok(), error("error:1"), other("<Idle>")}},
        ParseCase{"OtherLinesAndBlankLines",
                  {"\r\n\r\nALARM:1\r\n[MSG:Reset to continue]\r\nGrbl 1.1h ['$' for help]\r\n"},
                  {other("ALARM:1"), other("[MSG:Reset to continue]"),
                   other("Grbl 1.1h ['$' for help]")}},
        ParseCase{
            "PartialLineStaysForTheNextCall", {"<Run|MPos"}, {}, ":1>\n", {other("<Run|MPos:1>")}},
        ParseCase{
            "UnicodeWhitespaceIsTrimmed", {"\xC2\xA0[MSG:x]\xE3\x80\x80\r\n"}, {other("[MSG:x]")}}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST_F(Flow, OkFreesTheOldestPendingLine) {
    PendingCommand first = track("G0 X1", 3);
    PendingCommand second = track("G0 X2", 4);
    EXPECT_EQ(flow.buffer_count(), 12u);
    EXPECT_EQ(parse("ok\r\n"), std::vector{ok(first)});
    EXPECT_EQ(flow.buffer_count(), 6u);
    EXPECT_EQ(flow.pending_queue(), std::vector{second});
}

TEST_F(Flow, OkWithNothingPendingCarriesNoCommand) {
    EXPECT_EQ(parse("ok\r\n"), std::vector{ok()});
    EXPECT_EQ(flow.buffer_count(), 0u);
}

TEST_F(Flow, ErrorReplyFreesTheOldestLineWithoutCarryingIt) {
    track("G0 X1");
    PendingCommand second = track("G0 X22");
    EXPECT_EQ(parse("error:9\r\n"), std::vector{error("error:9")});
    EXPECT_EQ(flow.buffer_count(), second.size);
    EXPECT_EQ(flow.pending_queue(), std::vector{second});
}

TEST_F(Flow, OkBeforeErrorWithinOneChunk) {
    PendingCommand first = track("G0 X1");
    track("G0 X2");
    EXPECT_EQ(parse("error:9\r\nok\r\n"), (std::vector{ok(first), error("error:9")}));
    EXPECT_EQ(flow.buffer_count(), 0u);
    EXPECT_TRUE(flow.pending_queue().empty());
}

TEST_F(Flow, NulCorruptedOkIsAnAckAndAHardwareFault) {
    LogCapture capture;
    PendingCommand first = track("G0 X1");
    EXPECT_EQ(parse(std::string("o\0\0k\r\n", 6)), std::vector{ok(first)});
    EXPECT_EQ(flow.buffer_count(), 0u);
    auto lines = capture.lines(FLOW);
    ASSERT_EQ(lines.size(), 2u);  // the fault, then the ack's debug line
    EXPECT_EQ(lines[0].level, Level::ERROR);
    EXPECT_EQ(lines[0].message,
              "HARDWARE FAULT DETECTED: A corrupted 'ok' acknowledgement with NULL bytes was "
              "received. This indicates a critical problem with the USB cable, electrical noise "
              "(EMI), or power supply. The hardware connection MUST be fixed for reliable "
              "operation.");
}

TEST_F(Flow, NulCorruptedOkWithoutLineFeedWaits) {
    PendingCommand first = track("G0 X1");
    EXPECT_TRUE(parse(std::string("o\0k", 3)).empty());
    EXPECT_EQ(parse("\r\n"), std::vector{ok(first)});
}

TEST_F(Flow, InvalidUtf8LineIsDroppedWithAWarning) {
    LogCapture capture;
    track("G0 X1");
    EXPECT_TRUE(parse("\xFF\n").empty());
    EXPECT_EQ(flow.buffer_count(), 6u);
    EXPECT_EQ(capture.lines(FLOW),
              std::vector<CapturedLine>({{Level::WARN, FLOW, "Dropped invalid UTF-8 bytes"}}));
}

TEST_F(Flow, InvalidUtf8ErrorReplyIsDroppedSilentlyWithoutAck) {
    LogCapture capture;
    track("G0 X1");
    EXPECT_TRUE(parse("error:\xC3\x28\r\n").empty());
    EXPECT_EQ(flow.buffer_count(), 6u);
    EXPECT_TRUE(capture.lines(FLOW).empty());
}

TEST_F(Flow, DiagnosticLinesForAcksAndErrorReplies) {
    LogCapture capture;
    track("G1 \"Q\"", 3);
    track("G0 X2");
    track("G0 X3");
    parse("ok\r\n");
    parse("Xerror:7\r\n");
    EXPECT_EQ(
        capture.lines(FLOW),
        (std::vector<CapturedLine>{
            {Level::DEBUG, FLOW,
             "Buffer ack: freeing 7 bytes for \"G1 \\\"Q\\\"\" (op_index=Some(3), "
             "remaining: 2)"},
            {Level::DEBUG, FLOW, "Extracted 'error:7' from raw buffer (interleaved recovery)"},
            {Level::DEBUG, FLOW,
             "Buffer ack: freeing 6 bytes for \"G0 X2\" (op_index=None, remaining: 1)"},
        }));
}

TEST_F(Flow, OutputWithoutLineFeedsIsBoundedAndRepliesStillCount) {
    LogCapture capture;
    PendingCommand first = track("G0 X1");
    const std::string noise(1000, 'X');
    for (int i = 0; i < 45; ++i) {  // the last chunk ends with a drop
        EXPECT_TRUE(parse(noise).empty());
        EXPECT_LE(flow.partial_input_size(), MAX_PARTIAL_INPUT);
    }
    std::vector<CapturedLine> warnings = capture.lines(FLOW);
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings[0], (CapturedLine{Level::WARN, FLOW,
                                         "Dropped 4744 bytes of device output without a line "
                                         "feed"}));
    // A reply that began at the end of the run is still complete.
    EXPECT_TRUE(parse("o").empty());
    EXPECT_EQ(parse("k\r\n"), std::vector{ok(first)});
    EXPECT_EQ(parse("\n"), std::vector{other(std::string(PARTIAL_INPUT_KEPT, 'X'))});
}

TEST_F(Flow, ResetDropsPartialInputButKeepsTheLearnedSize) {
    flow.set_rx_buffer_size(255);
    track("G0 X1");
    EXPECT_TRUE(parse("<Idle|MP").empty());
    flow.reset();
    EXPECT_EQ(flow.buffer_count(), 0u);
    EXPECT_EQ(flow.rx_buffer_size(), 255u);
    EXPECT_EQ(parse("os:0,0,0>\r\n"), std::vector{other("os:0,0,0>")});
}

TEST_F(Flow, ResetFlowControlKeepsPartialInput) {
    track("G0 X1");
    EXPECT_TRUE(parse("<Idle|MP").empty());
    flow.reset_flow_control();
    EXPECT_TRUE(flow.pending_queue().empty());
    EXPECT_EQ(parse("os:0>\n"), std::vector{other("<Idle|MPos:0>")});
}

// ---- capacity ------------------------------------------------------------------------

TEST_F(Flow, CapacityDefaultsTo127) {
    EXPECT_EQ(flow.rx_buffer_size(), DEFAULT_RX_BUFFER_SIZE);
    EXPECT_EQ(flow.stored_rx_buffer_size(), std::nullopt);
    EXPECT_TRUE(flow.needs_space(128));
    EXPECT_FALSE(flow.needs_space(127));
    EXPECT_TRUE(flow.needs_space(std::numeric_limits<std::size_t>::max()));
    track(std::string(99, 'G'));  // 100 bytes
    EXPECT_FALSE(flow.needs_space(27));
    EXPECT_TRUE(flow.needs_space(28));
}

TEST_F(Flow, SettingTheSizeLogsAndZeroIsIgnored) {
    LogCapture capture;
    flow.set_rx_buffer_size(0);
    EXPECT_EQ(flow.stored_rx_buffer_size(), std::nullopt);
    EXPECT_TRUE(capture.lines(FLOW).empty());
    flow.set_rx_buffer_size(1024);
    EXPECT_EQ(flow.rx_buffer_size(), 1024u);
    EXPECT_EQ(
        capture.lines(FLOW),
        std::vector<CapturedLine>({{Level::INFO, FLOW, "GRBL RX buffer size set to 1024 bytes"}}));
}

// ---- waits -----------------------------------------------------------------------------

asio::awaitable<void> wait_space(FlowControl* flow, std::size_t size, rt::Duration timeout,
                                 std::atomic<int>* result) {
    *result = (co_await flow->wait_for_space(size, timeout)) ? 1 : 0;
}

asio::awaitable<void> wait_drained(FlowControl* flow, std::optional<rt::Duration> timeout,
                                   std::atomic<int>* result) {
    *result = (co_await flow->wait_pending_empty(timeout)) ? 1 : 0;
}

TEST_F(Flow, SpaceWaiterWakesOnlyAfterTheBatchIsFlushed) {
    track(std::string(119, 'G'));  // 120 bytes
    std::atomic<int> result{-1};
    rt::TaskHandle waiter = rt::spawn(wait_space(&flow, 10, 30s, &result));
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(parse("ok\r\n").size(), 1u);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(waiter.is_finished()) << "woken before flush_notifications";
    flow.flush_notifications();
    EXPECT_EQ(waiter.wait_for(5s), rt::TaskEnd::COMPLETED);
    EXPECT_EQ(result.load(), 1);
}

TEST_F(Flow, SpaceWaitTimesOut) {
    track(std::string(119, 'G'));
    auto start = std::chrono::steady_clock::now();
    std::atomic<int> result{-1};
    rt::block_on(wait_space(&flow, 10, 20ms, &result));
    EXPECT_EQ(result.load(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
    // A line larger than the whole buffer never fits, not even into an empty one.
    flow.reset();
    rt::block_on(wait_space(&flow, 128, 10ms, &result));
    EXPECT_EQ(result.load(), 0);
    rt::block_on(wait_space(&flow, 127, 0ms, &result));
    EXPECT_EQ(result.load(), 1);
}

TEST_F(Flow, PendingEmptyWait) {
    std::atomic<int> result{-1};
    rt::block_on(wait_drained(&flow, 0ms, &result));
    EXPECT_EQ(result.load(), 0);

    track("G0 X1");
    rt::block_on(wait_drained(&flow, 10ms, &result));
    EXPECT_EQ(result.load(), 1) << "still pending at the deadline";

    rt::TaskHandle forever = rt::spawn(wait_drained(&flow, std::nullopt, &result));
    std::this_thread::sleep_for(10ms);
    parse("ok\n");
    flow.flush_notifications();
    EXPECT_EQ(forever.wait_for(5s), rt::TaskEnd::COMPLETED);
    EXPECT_EQ(result.load(), 0);

    track("G0 X2");
    rt::TaskHandle until_reset = rt::spawn(wait_drained(&flow, std::nullopt, &result));
    std::this_thread::sleep_for(10ms);
    flow.reset_flow_control();
    EXPECT_EQ(until_reset.wait_for(5s), rt::TaskEnd::COMPLETED);
    EXPECT_EQ(result.load(), 0);
}

// A sender streams lines as fast as the counted buffer allows while a device thread
// acknowledges them; the counted bytes must never exceed the capacity and a lost
// wake-up would stall the stream past its bound.
asio::awaitable<void> stream_lines(FlowControl* flow, int count, std::atomic<bool>* overflow) {
    for (int i = 0; i < count; ++i) {
        std::string line = "G1 X" + std::to_string(i % 1000) + std::string(i % 40, ' ');
        std::size_t size = line.size() + 1;
        if (!co_await flow->wait_for_space(size, 5s)) throw std::runtime_error("stalled");
        flow->track_command(size, i, line);
        if (flow->buffer_count() > flow->rx_buffer_size()) *overflow = true;
    }
}

TEST_F(Flow, StreamingAgainstAnAcknowledgingDeviceNeverOverflowsOrStalls) {
    constexpr int LINES = 3000;
    std::atomic<bool> overflow{false};
    rt::TaskHandle sender = rt::spawn(stream_lines(&flow, LINES, &overflow));
    std::thread device([this] {
        int acked = 0;
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (acked < LINES && std::chrono::steady_clock::now() < deadline) {
            if (flow.pending_queue().empty()) {
                std::this_thread::yield();
                continue;
            }
            bool split = acked % 3 == 0;  // every third acknowledgement arrives in two chunks
            if (split) parse("o");
            acked += static_cast<int>(parse(split ? "k\r\n" : "ok\r\n").size());
            flow.flush_notifications();
        }
    });
    EXPECT_EQ(sender.wait_for(10s), rt::TaskEnd::COMPLETED);
    device.join();
    EXPECT_FALSE(overflow.load());
}

}  // namespace
