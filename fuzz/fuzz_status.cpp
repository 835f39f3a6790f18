// Status reports: arbitrary text over an arbitrary base state, and reports built from
// exact numbers that must read back unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "check.hpp"
#include "grbl/dialect.hpp"
#include "grbl/status_parser.hpp"

namespace {

using vantorix::grbl::DeviceState;
using vantorix::grbl::DeviceStatus;
using vantorix::grbl::Position;

// Finite entries only, so that states compare equal to themselves.
Position position(FuzzedDataProvider& input) {
    Position out(input.ConsumeIntegralInRange<std::size_t>(0, 5));
    for (auto& entry : out) {
        if (input.ConsumeBool()) entry = input.ConsumeIntegral<std::int16_t>() / 8.0;
    }
    return out;
}

DeviceState base_state(FuzzedDataProvider& input) {
    DeviceState base;
    base.status = static_cast<DeviceStatus>(input.ConsumeIntegralInRange<int>(0, 15));
    base.machine_pos = position(input);
    base.work_pos = position(input);
    base.wco = position(input);
    if (input.ConsumeBool()) base.feed_rate = input.ConsumeIntegral<std::int64_t>();
    return base;
}

void check_arbitrary_report(const std::string& text, const DeviceState& base, bool inches) {
    DeviceState state = vantorix::grbl::parse_state(text, base, inches);
    bool bracketed = text.size() >= 2 && text.front() == '<' && text.back() == '>';
    if (!bracketed) {
        FUZZ_CHECK(state == base);
        return;
    }
    std::size_t n = state.machine_pos.size();
    FUZZ_CHECK(n >= 3);
    FUZZ_CHECK(state.work_pos.size() == n && state.wco.size() == n);
    // The error changes only with an alarm; the status only when there is a state field.
    if (state.error != base.error) FUZZ_CHECK(state.status == DeviceStatus::ALARM);
}

// "<Run|MPos:x,y,z|WCO:a,b,c>" written with the shortest exact digits.
void check_exact_report(FuzzedDataProvider& input) {
    double m[3], w[3];
    for (int i = 0; i < 3; ++i) {
        m[i] = input.ConsumeFloatingPoint<double>();
        w[i] = input.ConsumeFloatingPoint<double>();
        if (!vantorix::fuzz::is_finite(m[i]) || !vantorix::fuzz::is_finite(w[i])) return;
    }
    using vantorix::grbl::shortest_decimal;
    std::string report = "<Run|MPos:" + shortest_decimal(m[0]) + "," + shortest_decimal(m[1]) +
                         "," + shortest_decimal(m[2]) + "|WCO:" + shortest_decimal(w[0]) + "," +
                         shortest_decimal(w[1]) + "," + shortest_decimal(w[2]) + ">";
    DeviceState state = vantorix::grbl::parse_state(report, DeviceState{}, false);
    FUZZ_CHECK(state.status == DeviceStatus::RUN);
    for (int i = 0; i < 3; ++i) {
        FUZZ_CHECK(state.machine_pos[i] == m[i]);
        FUZZ_CHECK(state.wco[i] == w[i]);
        FUZZ_CHECK(state.work_pos[i] == m[i] - w[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool()) {
        check_exact_report(input);
        return 0;
    }
    DeviceState base = base_state(input);
    bool inches = input.ConsumeBool();
    check_arbitrary_report(input.ConsumeRemainingBytesAsString(), base, inches);
    return 0;
}
