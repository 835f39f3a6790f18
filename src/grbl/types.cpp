#include "grbl/types.hpp"

#include <array>

namespace vantorix::grbl {
namespace {

struct StatusNames {
    std::string_view name;
    std::string_view display;
};

constexpr std::array<StatusNames, DEVICE_STATUS_COUNT> STATUS_NAMES{{
    {"UNKNOWN", "Unknown"},
    {"IDLE", "Idle"},
    {"RUN", "Run"},
    {"HOLD", "Hold"},
    {"JOG", "Jog"},
    {"ALARM", "Alarm"},
    {"DOOR", "Door"},
    {"CHECK", "Check"},
    {"HOME", "Home"},
    {"SLEEP", "Sleep"},
    {"TOOL", "Tool"},
    {"QUEUE", "Queue"},
    {"LOCK", "Lock"},
    {"UNLOCK", "Unlock"},
    {"CYCLE", "Cycle"},
    {"TEST", "Test"},
}};

constexpr std::array<std::string_view, 8> TRANSPORT_NAMES{
    "UNKNOWN", "IDLE", "CONNECTING", "CONNECTED", "ERROR", "CLOSING", "DISCONNECTED", "SLEEPING",
};

bool equals_ignoring_ascii_case(std::string_view text, std::string_view upper) {
    if (text.size() != upper.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upper[i]) return false;
    }
    return true;
}

}  // namespace

DeviceStatus device_status_from_name(std::string_view name) {
    for (int i = 1; i < DEVICE_STATUS_COUNT; ++i) {
        if (equals_ignoring_ascii_case(name, STATUS_NAMES[i].name)) {
            return static_cast<DeviceStatus>(i);
        }
    }
    return DeviceStatus::UNKNOWN;
}

std::string_view device_status_name(DeviceStatus status) {
    return STATUS_NAMES[static_cast<std::size_t>(status)].name;
}

std::string_view device_status_display(DeviceStatus status) {
    return STATUS_NAMES[static_cast<std::size_t>(status)].display;
}

std::string_view transport_status_name(TransportStatus status) {
    return TRANSPORT_NAMES[static_cast<std::size_t>(status)];
}

}  // namespace vantorix::grbl
