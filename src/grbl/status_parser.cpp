#include "grbl/status_parser.hpp"

#include <algorithm>
#include <array>

#include "grbl/errors.hpp"
#include "grbl/numbers.hpp"
#include "grbl/pattern.hpp"

namespace vantorix::grbl {
namespace {

constexpr double MM_PER_INCH = 25.4;

const TextPattern& position_pattern() {
    // Two to four numbers after a colon; each an optional minus sign, digits, an
    // optional point and optional further digits (no exponent).
    static const auto POSITION_RE =
        compile_text_pattern(R"(:(-?\p{Nd}+\.?\p{Nd}*),(-?\p{Nd}+\.?\p{Nd}*))"
                             R"((?:,(-?\p{Nd}+\.?\p{Nd}*))?(?:,(-?\p{Nd}+\.?\p{Nd}*))?)");
    return *POSITION_RE;
}

const TextPattern& feed_speed_pattern() {
    static const auto FEED_SPEED_RE = compile_text_pattern(R"(FS:(\p{Nd}+),(\p{Nd}+))");
    return *FEED_SPEED_RE;
}

const TextPattern& buffer_pattern() {
    static const auto BUFFER_RE = compile_text_pattern(R"(Bf:(\p{Nd}+),(\p{Nd}+))");
    return *BUFFER_RE;
}

struct Carried {
    bool machine_pos = false;
    bool work_pos = false;
    bool wco = false;
};

void apply_state_field(std::string_view field, DeviceState& state) {
    std::size_t colon = field.find(':');
    state.status = device_status_from_name(field.substr(0, colon));
    // Only an alarm carries a code worth keeping; "Hold:0" and "Door:1" sub-codes are
    // dropped. The error is never cleared by a report.
    if (state.status == DeviceStatus::ALARM && colon != std::string_view::npos) {
        state.error = alarm_code_to_device_error(field.substr(colon + 1));
    }
}

void apply_feed_speed(std::string_view field, DeviceState& state) {
    Captures<2> groups;
    if (!search_from(feed_speed_pattern(), field, 0, groups)) return;
    // The spindle speed is matched but not taken from the report.
    if (auto feed = parse_i64(*groups[0])) state.feed_rate = feed;
}

void apply_buffer(std::string_view field, DeviceState& state) {
    Captures<2> groups;
    if (!search_from(buffer_pattern(), field, 0, groups)) return;
    auto blocks = parse_i64(*groups[0]);
    auto bytes = parse_i64(*groups[1]);
    if (!blocks || !bytes) return;
    state.buffer_available = blocks;
    state.buffer_rx_available = bytes;
}

void apply_attribute_field(std::string_view field, DeviceState& state, Carried& carried) {
    if (auto pos = parse_position_attribute(field, "MPos")) {
        state.machine_pos = std::move(*pos);
        carried.machine_pos = true;
    } else if (auto pos = parse_position_attribute(field, "WPos")) {
        state.work_pos = std::move(*pos);
        carried.work_pos = true;
    } else if (auto pos = parse_position_attribute(field, "WCO")) {
        state.wco = std::move(*pos);
        carried.wco = true;
    } else if (field.size() > 2 && field.starts_with("FS:")) {
        apply_feed_speed(field, state);
    } else if (field.size() > 2 && field.starts_with("Bf:")) {
        apply_buffer(field, state);
    }
}

void scale(Position& position, double factor) {
    for (auto& entry : position) {
        if (entry) *entry *= factor;
    }
}

bool complete(const Position& position) {
    return std::all_of(position.begin(), position.end(),
                       [](const auto& e) { return e.has_value(); });
}

// `out[i] = a[i] + sign * b[i]`; all three have the same length and `a`, `b` are complete.
void combine(Position& out, const Position& a, const Position& b, double sign) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = *a[i] + sign * *b[i];
}

void recalculate_positions(DeviceState& state, const Carried& carried) {
    if (carried.machine_pos) {
        if (carried.work_pos && !carried.wco && complete(state.machine_pos) &&
            complete(state.work_pos)) {
            combine(state.wco, state.machine_pos, state.work_pos, -1.0);
        }
        if (complete(state.machine_pos) && complete(state.wco)) {
            combine(state.work_pos, state.machine_pos, state.wco, -1.0);
            return;
        }
    }
    if (carried.work_pos && complete(state.work_pos) && complete(state.wco)) {
        combine(state.machine_pos, state.work_pos, state.wco, +1.0);
    }
}

}  // namespace

std::optional<Position> parse_position_attribute(std::string_view attribute, std::string_view key) {
    if (!attribute.starts_with(key) || attribute.substr(key.size()).substr(0, 1) != ":") {
        return std::nullopt;
    }
    // The pattern starts with ':', so with a key free of ':' no match starts before the
    // colon after the key.
    Captures<4> groups;
    bool found = key.find(':') == std::string_view::npos
                     ? search_from(position_pattern(), attribute, key.size(), groups)
                     : search(position_pattern(), attribute, groups);
    if (!found) return std::nullopt;
    Position position;
    position.reserve(4);
    for (const auto& group : groups) {
        if (!group) {
            position.emplace_back(0.0);
            continue;
        }
        auto value = parse_matched_f64(*group);
        if (!value) return std::nullopt;
        position.emplace_back(*value);
    }
    if (!groups[3]) position.pop_back();
    return position;
}

DeviceState parse_state(std::string_view state_str, const DeviceState& base,
                        bool report_in_inches) {
    DeviceState state = base;
    if (state_str.size() < 2 || state_str.front() != '<' || state_str.back() != '>') {
        return state;
    }
    std::string_view body = state_str.substr(1, state_str.size() - 2);

    Carried carried;
    bool seen_state_field = false;
    while (true) {
        std::size_t bar = body.find('|');
        std::string_view field = body.substr(0, bar);
        if (!field.empty()) {
            if (!seen_state_field) {
                apply_state_field(field, state);
                seen_state_field = true;
            } else {
                apply_attribute_field(field, state, carried);
            }
        }
        if (bar == std::string_view::npos) break;
        body.remove_prefix(bar + 1);
    }

    if (report_in_inches) {
        if (carried.machine_pos) scale(state.machine_pos, MM_PER_INCH);
        if (carried.work_pos) scale(state.work_pos, MM_PER_INCH);
        if (carried.wco) scale(state.wco, MM_PER_INCH);
    }

    std::size_t axes = std::max(
        {state.machine_pos.size(), state.work_pos.size(), state.wco.size(), std::size_t{3}});
    for (Position* position : {&state.machine_pos, &state.work_pos, &state.wco}) {
        position->resize(axes, 0.0);
    }

    recalculate_positions(state, carried);
    return state;
}

}  // namespace vantorix::grbl
