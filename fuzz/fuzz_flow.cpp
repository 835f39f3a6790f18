// Character counting under arbitrary device output: the bytes arrive in chunks of any
// size, split anywhere, while lines are being sent, the capacity changes and the counting
// is reset. A model of the pending queue checks every acknowledgement against the line
// it must free.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <numeric>
#include <string>
#include <vector>

#include "check.hpp"
#include "grbl/flow.hpp"
#include "grbl/pattern_unicode.hpp"

namespace {

using vantorix::grbl::FlowControl;
using vantorix::grbl::GrblResponse;
using vantorix::grbl::PendingCommand;
using vantorix::grbl::trim_unicode_whitespace;

// Bytes the flow control may keep of a line that has not ended yet.
constexpr std::size_t PARTIAL_INPUT_BOUND = vantorix::grbl::MAX_PARTIAL_LINE;

struct Harness {
    FlowControl flow;
    std::deque<PendingCommand> expected;
    std::size_t largest_capacity = vantorix::grbl::DEFAULT_RX_BUFFER_SIZE;
    std::int64_t next_op = 0;

    void answer_oldest(const GrblResponse& response) {
        if (response.kind == GrblResponse::Kind::OK) {
            if (expected.empty()) {
                FUZZ_CHECK(!response.acked);
            } else {
                FUZZ_CHECK(response.acked == expected.front());
            }
        } else {
            FUZZ_CHECK(!response.acked);
        }
        if (!expected.empty()) expected.pop_front();
    }

    void check_response(const GrblResponse& response) {
        const std::string& line = response.line;
        FUZZ_CHECK(!line.empty());
        FUZZ_CHECK(line.find('\n') == std::string::npos);
        FUZZ_CHECK(vantorix::fuzz::is_valid_utf8(line));
        FUZZ_CHECK(trim_unicode_whitespace(line) == line);
        switch (response.kind) {
            case GrblResponse::Kind::OK:
                FUZZ_CHECK(line == "ok");
                answer_oldest(response);
                break;
            case GrblResponse::Kind::ERROR:
                FUZZ_CHECK(line.starts_with("error:"));
                answer_oldest(response);
                break;
            case GrblResponse::Kind::OTHER_LINE:
                FUZZ_CHECK(line != "ok");
                FUZZ_CHECK(!response.acked);
                break;
        }
    }

    void receive(const std::vector<std::uint8_t>& chunk) {
        std::vector<GrblResponse> responses = flow.parse_incoming(chunk);
        // Acknowledgements found anywhere come first, then error replies, then the lines in
        // order, among which an "ok" surrounded by other whitespace is an acknowledgement.
        bool in_lines = false;
        bool seen_error = false;
        for (const GrblResponse& response : responses) {
            if (response.kind == GrblResponse::Kind::ERROR) {
                FUZZ_CHECK(!in_lines);
                seen_error = true;
            } else if (response.kind == GrblResponse::Kind::OTHER_LINE || seen_error) {
                in_lines = true;
            }
        }
        for (const GrblResponse& response : responses) check_response(response);
        flow.flush_notifications();
    }

    void send(std::size_t size) {
        // As the senders do: a line is tracked only once it fits.
        if (flow.needs_space(size)) return;
        PendingCommand line{next_op++, "G1 X" + std::to_string(size), size};
        flow.track_command(line.size, line.op_index, line.command);
        expected.push_back(line);
    }

    void check_state() const {
        std::vector<PendingCommand> pending = flow.pending_queue();
        FUZZ_CHECK(std::equal(pending.begin(), pending.end(), expected.begin(), expected.end()));
        std::size_t sum = std::accumulate(
            pending.begin(), pending.end(), std::size_t{0},
            [](std::size_t total, const PendingCommand& p) { return total + p.size; });
        FUZZ_CHECK(flow.buffer_count() == sum);
        FUZZ_CHECK(flow.buffer_count() <= largest_capacity);
        FUZZ_CHECK(flow.partial_input_size() <= PARTIAL_INPUT_BOUND);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    Harness h;
    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange<int>(0, 10)) {
            case 0:
                h.send(input.ConsumeIntegralInRange<std::size_t>(1, 140));
                break;
            case 1:
                h.flow.reset_flow_control();
                h.expected.clear();
                break;
            case 2:
                h.flow.reset();
                h.expected.clear();
                FUZZ_CHECK(h.flow.partial_input_size() == 0);
                break;
            case 3: {
                std::size_t capacity = input.ConsumeIntegralInRange<std::size_t>(0, 1024);
                h.flow.set_rx_buffer_size(capacity);
                h.largest_capacity = std::max(h.largest_capacity, capacity);
                break;
            }
            case 4: {
                // A device that keeps repeating itself: far more output than the input.
                std::vector<std::uint8_t> chunk = input.ConsumeBytes<std::uint8_t>(
                    input.ConsumeIntegralInRange<std::size_t>(1, 256));
                int repeats = input.ConsumeIntegralInRange<int>(1, 64);
                for (int i = 0; i < repeats; ++i) h.receive(chunk);
                break;
            }
            default:
                // Chunks as large as a transport read, and more often small ones.
                h.receive(input.ConsumeBytes<std::uint8_t>(
                    input.ConsumeIntegralInRange<std::size_t>(0, input.ConsumeBool() ? 1024 : 16)));
                break;
        }
        h.check_state();
    }
    return 0;
}
