// The configuration of one session and the choice of its link.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "rt/timeout.hpp"

namespace vantorix::grbl {

class MockInner;

struct SerialLink {
    std::string path;
    std::uint32_t baudrate = 115200;
};

struct TcpLink {
    std::string host;
    std::uint16_t port = 23;
};

struct MockLink {
    std::shared_ptr<MockInner> inner;
};

using LinkChoice = std::variant<SerialLink, TcpLink, MockLink>;

struct SessionConfig {
    bool poll_status_while_running = false;
    bool deadlock_detection = false;
    std::int64_t rx_buffer_size_override = 0;
    std::optional<std::uint64_t> cached_rx_buffer_size;
    double stall_timeout_min = 5.0;
    double stall_timeout_max = 120.0;
    double stall_timeout_safety_factor = 3.0;
    double stall_timeout_default = 30.0;
    double safety_shutdown_delay = 0.2;
    std::uint32_t unanswered_poll_limit = 3;
    std::uint32_t poll_response_attempts = 10;
    double poll_response_interval = 0.1;
    double handshake_timeout = 6.0;
    double handshake_poll_interval = 0.5;
    double status_poll_interval = 0.5;
    double reconnect_delay = 5.0;
    double command_timeout = 10.0;

    // Seconds to a duration: negative values and NaN give zero, fractions count to the
    // nanosecond, values beyond the duration's range saturate at its maximum.
    static rt::Duration secs(double seconds);
};

}  // namespace vantorix::grbl
