// The controller's welcome banner under a running job means it restarted and lost the
// lines in its buffer: the job stops instead of streaming on past them.
#include <gtest/gtest.h>

#include <string>

#include "grbl/session/core.hpp"
#include "session_fixture.hpp"

using namespace vantorix::grbl;
using vantorix::testing_support::fast_config;
using vantorix::testing_support::RecordingEvents;
using vantorix::testing_support::to_bytes;

namespace {

struct BannerCase {
    const char* name;
    const char* banner;
    bool job_active;
    bool halts;
};

class DeviceReset : public testing::TestWithParam<BannerCase> {};

TEST_P(DeviceReset, HaltsOnlyARunningJob) {
    const BannerCase& c = GetParam();
    auto core = SessionCore::create(MockLink{std::make_shared<MockInner>()}, fast_config(),
                                    GrblDialect{}, std::make_shared<RecordingEvents>());
    core->job_active_.store(c.job_active);
    core->handle_rx(to_bytes(std::string("\r\n") + c.banner + "\r\n"));
    EXPECT_TRUE(core->status_report_event.is_set());
    const std::optional<SessionError> reason = core->last_error.get();
    if (c.halts) {
        ASSERT_TRUE(reason.has_value());
        EXPECT_EQ(*reason, SessionError::device("Controller reset during job."));
    } else {
        EXPECT_FALSE(reason.has_value());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceReset,
    testing::Values(BannerCase{"GrblDuringJob", "Grbl 1.1h ['$' for help]", true, true},
                    BannerCase{"GrblHalDuringJob", "GrblHAL 1.1f ['$' or '$HELP' for help]",
                               true, true},
                    // The handshake, and the answer to a cancel's own reset.
                    BannerCase{"GrblWithoutJob", "Grbl 1.1h ['$' for help]", false, false}),
    [](const testing::TestParamInfo<BannerCase>& info) { return info.param.name; });

}  // namespace
