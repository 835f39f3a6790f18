#include "grbl/types.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace vantorix::grbl;

namespace {

TEST(DeviceStatus, FromNameIsCaseInsensitiveWholeWord) {
    struct Case {
        const char* name;
        DeviceStatus want;
    } cases[] = {
        {"idle", DeviceStatus::IDLE},       {"Idle", DeviceStatus::IDLE},
        {"IDLE", DeviceStatus::IDLE},       {"unlock", DeviceStatus::UNLOCK},
        {"Test", DeviceStatus::TEST},       {"Idle:0", DeviceStatus::UNKNOWN},
        {"", DeviceStatus::UNKNOWN},        {"Bogus", DeviceStatus::UNKNOWN},
        {"UNKNOWN", DeviceStatus::UNKNOWN}, {"Idl", DeviceStatus::UNKNOWN},
    };
    for (const Case& c : cases) EXPECT_EQ(device_status_from_name(c.name), c.want) << c.name;
}

TEST(DeviceStatus, NamesAndDisplayTexts) {
    EXPECT_EQ(device_status_name(DeviceStatus::UNKNOWN), "UNKNOWN");
    EXPECT_EQ(device_status_display(DeviceStatus::UNKNOWN), "Unknown");
    EXPECT_EQ(device_status_name(DeviceStatus::UNLOCK), "UNLOCK");
    EXPECT_EQ(device_status_display(DeviceStatus::CYCLE), "Cycle");
    for (int i = 1; i < DEVICE_STATUS_COUNT; ++i) {
        auto status = static_cast<DeviceStatus>(i);
        EXPECT_EQ(device_status_from_name(device_status_display(status)), status);
    }
}

TEST(TransportStatus, Names) {
    EXPECT_EQ(transport_status_name(TransportStatus::UNKNOWN), "UNKNOWN");
    EXPECT_EQ(transport_status_name(TransportStatus::CONNECTED), "CONNECTED");
    EXPECT_EQ(transport_status_name(TransportStatus::SLEEPING), "SLEEPING");
}

TEST(DeviceState, Defaults) {
    DeviceState state;
    EXPECT_EQ(state.status, DeviceStatus::UNKNOWN);
    EXPECT_FALSE(state.error);
    EXPECT_EQ(state.machine_pos, (Position{std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_EQ(state.work_pos, (Position{std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_EQ(state.wco, (Position{0.0, 0.0, 0.0}));
    EXPECT_FALSE(state.feed_rate || state.spindle_speed || state.buffer_available ||
                 state.buffer_rx_available);
}

TEST(DeviceState, EqualityCoversEveryField) {
    using Mutation = void (*)(DeviceState&);
    Mutation mutations[] = {
        [](DeviceState& s) { s.status = DeviceStatus::RUN; },
        [](DeviceState& s) { s.error = DeviceError{1, "a", "b"}; },
        [](DeviceState& s) { s.machine_pos[0] = 1.0; },
        [](DeviceState& s) { s.work_pos.push_back(std::nullopt); },
        [](DeviceState& s) { s.wco[2] = std::nullopt; },
        [](DeviceState& s) { s.feed_rate = 0; },
        [](DeviceState& s) { s.spindle_speed = 1; },
        [](DeviceState& s) { s.buffer_available = 15; },
        [](DeviceState& s) { s.buffer_rx_available = 128; },
    };
    EXPECT_EQ(DeviceState{}, DeviceState{});
    for (Mutation mutate : mutations) {
        DeviceState changed;
        mutate(changed);
        EXPECT_NE(changed, DeviceState{});
        EXPECT_NE(DeviceState{}, changed);
    }
}

TEST(DeviceState, NanNeverEqualsItself) {
    DeviceState state;
    state.machine_pos[1] = std::nan("");
    EXPECT_NE(state, state);
}

TEST(DeviceError, EqualityComparesAllFields) {
    DeviceError a{20, "Unsupported Command", "x"};
    EXPECT_EQ(a, (DeviceError{20, "Unsupported Command", "x"}));
    EXPECT_NE(a, (DeviceError{20, "Unsupported Command", "y"}));
    EXPECT_NE(a, (DeviceError{21, "Unsupported Command", "x"}));
}

}  // namespace
