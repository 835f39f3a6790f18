// Plain values that describe a GRBL device: machine state, state snapshot, error
// record and link state. No I/O, no references to anything else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorix::grbl {

enum class DeviceStatus : std::uint8_t {
    UNKNOWN = 0,
    IDLE = 1,
    RUN = 2,
    HOLD = 3,
    JOG = 4,
    ALARM = 5,
    DOOR = 6,
    CHECK = 7,
    HOME = 8,
    SLEEP = 9,
    TOOL = 10,
    QUEUE = 11,
    LOCK = 12,
    UNLOCK = 13,
    CYCLE = 14,
    TEST = 15,
};

inline constexpr int DEVICE_STATUS_COUNT = 16;

// Case-insensitive whole-word match against the member names other than UNKNOWN;
// anything else ("", "UNKNOWN", "Hold:0") gives UNKNOWN.
DeviceStatus device_status_from_name(std::string_view name);
// The upper-case member name, e.g. "IDLE".
std::string_view device_status_name(DeviceStatus status);
// The GRBL state word, e.g. "Idle".
std::string_view device_status_display(DeviceStatus status);

struct DeviceError {
    std::int32_t code = 0;
    std::string title;
    std::string description;

    bool operator==(const DeviceError&) const = default;
};

using Position = std::vector<std::optional<double>>;

struct DeviceState {
    DeviceStatus status = DeviceStatus::UNKNOWN;
    std::optional<DeviceError> error;
    Position machine_pos{std::nullopt, std::nullopt, std::nullopt};
    Position work_pos{std::nullopt, std::nullopt, std::nullopt};
    Position wco{0.0, 0.0, 0.0};
    std::optional<std::int64_t> feed_rate;
    std::optional<std::int64_t> spindle_speed;
    std::optional<std::int64_t> buffer_available;
    std::optional<std::int64_t> buffer_rx_available;

    // Field by field in declared order; position entries compare under IEEE rules,
    // so a NaN entry never equals anything.
    bool operator==(const DeviceState&) const = default;
};

enum class TransportStatus : std::uint8_t {
    UNKNOWN = 0,
    IDLE = 1,
    CONNECTING = 2,
    CONNECTED = 3,
    ERROR = 4,
    CLOSING = 5,
    DISCONNECTED = 6,
    SLEEPING = 7,
};

// The upper-case name, which is the text Python sees in status events.
std::string_view transport_status_name(TransportStatus status);

}  // namespace vantorix::grbl
