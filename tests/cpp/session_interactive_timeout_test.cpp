// An interactive command behind a line whose answer never comes: bounded by the command
// timeout, nothing written, and the session works again once the line is answered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grbl/session/commands.hpp"
#include "grbl/session/core.hpp"
#include "rt/block_on.hpp"
#include "rt/task.hpp"
#include "session_fixture.hpp"

using namespace std::chrono_literals;
namespace rt = vantorix::rt;
using namespace vantorix::grbl;
using vantorix::testing_support::fast_config;
using vantorix::testing_support::RecordingEvents;
using vantorix::testing_support::run_blocking;
using vantorix::testing_support::to_bytes;
using vantorix::testing_support::to_text;
using Lines = std::vector<std::string>;

namespace {

asio::awaitable<void> feed_session(std::shared_ptr<SessionCore> core, RxReceiver chunks) {
    for (;;) {
        std::optional<Bytes> chunk = co_await chunks.recv();
        if (!chunk) co_return;
        core->handle_rx(*chunk);
    }
}

class InteractiveBehindAnUnansweredLine : public testing::Test {
  protected:
    void SetUp() override {
        SessionConfig config = fast_config();
        config.command_timeout = 0.3;
        core = SessionCore::create(MockLink{mock}, config, GrblDialect{},
                                   std::make_shared<RecordingEvents>());
        auto [rx_tx, rx_rx] = rx_channel();
        ASSERT_TRUE(rt::block_on(mock->open(std::move(rx_tx))).ok());
        reader = rt::spawn(feed_session(core, std::move(rx_rx)));
    }
    void TearDown() override {
        reader.abort();
        EXPECT_TRUE(reader.wait_for(5s).has_value());
    }

    // Runs an interactive command with a limit well above the command timeout, so that a
    // wait without end shows up as a failed test instead of a hung one.
    std::optional<Result<Lines>> interactive(std::string command) {
        std::optional<Result<Lines>> out;
        rt::TaskHandle task = rt::spawn(store(core, std::move(command), &out));
        if (!task.wait_for(5s).has_value()) {
            task.abort();
            (void)task.wait_for(5s);
        }
        return out;
    }
    static asio::awaitable<void> store(std::shared_ptr<SessionCore> core, std::string command,
                                       std::optional<Result<Lines>>* out) {
        Result<Lines> result = co_await execute_interactive_command(core, std::move(command));
        out->emplace(std::move(result));
    }
    std::vector<std::string> written() const {
        std::vector<std::string> out;
        for (const Bytes& chunk : mock->sent()) out.push_back(to_text(chunk));
        return out;
    }

    std::shared_ptr<MockInner> mock = std::make_shared<MockInner>();
    std::shared_ptr<SessionCore> core;
    rt::TaskHandle reader;
};

TEST_F(InteractiveBehindAnUnansweredLine, TimesOutWithinTheCommandTimeoutWithoutWriting) {
    // The first command's "ok" is lost: its line stays pending.
    std::optional<Result<Lines>> first = interactive("$G");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->error(), SessionError::timeout());
    ASSERT_EQ(core->flow.pending_queue().size(), 1u);

    const auto started = rt::Clock::now();
    std::optional<Result<Lines>> second = interactive("$#");
    const auto took = rt::Clock::now() - started;
    ASSERT_TRUE(second.has_value()) << "the second interactive command never returned";
    ASSERT_FALSE(second->ok());
    EXPECT_EQ(second->error(), SessionError::timeout());
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 2s);
    // Only the first line went out: a late "ok" cannot complete a command it does not answer.
    EXPECT_EQ(written(), Lines{"$G\n"});
    EXPECT_FALSE(core->command_lock.is_locked());
}

TEST_F(InteractiveBehindAnUnansweredLine, ALateAnswerLetsTheNextCommandThrough) {
    core->flow.track_command(4, std::nullopt, "G4 P1");
    mock->push(to_bytes("ok\r\n"));
    std::optional<Result<Lines>> next = interactive("$G");
    ASSERT_TRUE(next.has_value());
    // No device answers here: the command is written, then times out waiting for its reply.
    EXPECT_EQ(written(), Lines{"$G\n"});
}

}  // namespace
