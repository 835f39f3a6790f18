// Device input that never ends its line: the flow control keeps a bounded partial line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grbl/flow.hpp"
#include "log_capture.hpp"

using namespace vantorix::grbl;
using vantorix::log::Level;
using vantorix::testing_support::LogCapture;
using Kind = GrblResponse::Kind;

namespace {

constexpr const char* FLOW = "vantorix::grbl::flow";

std::vector<GrblResponse> feed(FlowControl& flow, std::string_view text) {
    return flow.parse_incoming(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Feeds `total` bytes of `fill` in chunks of 1024, as a serial reader delivers them.
std::vector<GrblResponse> feed_unterminated(FlowControl& flow, std::size_t total, char fill) {
    std::vector<GrblResponse> out;
    const std::string chunk(1024, fill);
    for (std::size_t sent = 0; sent < total; sent += chunk.size()) {
        for (GrblResponse& response : feed(flow, chunk)) out.push_back(std::move(response));
    }
    return out;
}

}  // namespace

TEST(FlowBounds, AnOverlongLineIsDroppedUpToItsLineFeedAndWarnedOnce) {
    LogCapture capture;
    FlowControl flow;
    EXPECT_TRUE(feed_unterminated(flow, 100 * 1024, 'x').empty());
    // The end of the overlong line is not read as a line of its own.
    EXPECT_TRUE(feed(flow, "<Idle|MPos:0.000,0.000,0.000>\r\n").empty());
    std::vector<GrblResponse> next = feed(flow, "<Idle|MPos:1.000,0.000,0.000>\r\n");
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].line, "<Idle|MPos:1.000,0.000,0.000>");

    std::vector<vantorix::testing_support::CapturedLine> warnings;
    for (const auto& line : capture.lines(FLOW)) {
        if (line.level == Level::WARN) warnings.push_back(line);
    }
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].level, Level::WARN);
    EXPECT_EQ(warnings[0].message,
              "Discarding a device line longer than 4096 bytes without a line feed");
}

TEST(FlowBounds, AcknowledgementsInsideAndAcrossTheDroppedBytesStillFreeTheirLines) {
    FlowControl flow;
    flow.track_command(6, std::nullopt, "G0 X1");
    flow.track_command(6, std::nullopt, "G0 X2");
    feed_unterminated(flow, 8 * 1024, 'x');
    // An "ok" that arrives inside the noise, and one whose first letter ended a chunk.
    std::vector<GrblResponse> first = feed(flow, "ok\r\n" + std::string(5000, 'y') + "o");
    std::vector<GrblResponse> second = feed(flow, "k\r\n");
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].kind, Kind::OK);
    EXPECT_EQ(second[0].kind, Kind::OK);
    EXPECT_EQ(flow.buffer_count(), 0u);
}

TEST(FlowBounds, TenMegabytesWithoutALineFeedStayWithinTheBound) {
    FlowControl flow;
    feed_unterminated(flow, 10 * 1024 * 1024, '\x01');
    // What is kept can be seen through what a probe line turns into: the partial line is
    // dropped whole and the next complete line comes through unchanged.
    EXPECT_TRUE(feed(flow, "\n").empty());
    std::vector<GrblResponse> after = feed(flow, "[MSG:alive]\n");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].line, "[MSG:alive]");
}

TEST(FlowBounds, ResetEndsTheDroppingOfAnOverlongLine) {
    FlowControl flow;
    feed_unterminated(flow, 8 * 1024, 'x');
    flow.reset();
    std::vector<GrblResponse> after = feed(flow, "[MSG:after reset]\n");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].line, "[MSG:after reset]");
}

TEST(FlowBounds, ALineJustUnderTheBoundIsKept) {
    FlowControl flow;
    const std::string text = "[MSG:" + std::string(MAX_PARTIAL_LINE - 7, 'a') + "]";
    feed(flow, text.substr(0, 3000));
    std::vector<GrblResponse> out = feed(flow, text.substr(3000) + "\n");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].line, text);
}
