#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/facade.hpp"
#include "log/sink.hpp"

using namespace vantorix::log;

namespace {

constexpr const char* SESSION = "vantorix::grbl::session";
constexpr const char* FLOW = "vantorix::grbl::flow";

// Records go straight to the sink: the facade in front of it may carry another logger in
// this test binary.
template <typename... Args>
void emit(Level level, std::string_view target, std::string_view pattern, const Args&... args) {
    bridge_logger().log(Record{level, target, format(pattern, args...)});
}

// The sink is process-wide: each test configures it afresh and silences it at the end.
class Sink : public testing::Test {
  protected:
    void SetUp() override {
        unsetenv(LOG_FILTER_ENV);
        dir_ = std::filesystem::temp_directory_path() /
               ("vantorix-log-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        unsetenv(LOG_FILTER_ENV);
        init_logging(std::string("off"), std::nullopt);
        std::filesystem::remove_all(dir_);
    }

    std::string path(const char* name) const { return (dir_ / name).string(); }

    static std::string read(const std::string& file) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Message texts of the lines in a log file, in order.
    static std::vector<std::string> messages(const std::string& file) {
        std::vector<std::string> out;
        std::istringstream lines(read(file));
        for (std::string line; std::getline(lines, line);) {
            out.push_back(line.substr(line.find("] ") + 2));
        }
        return out;
    }

    std::filesystem::path dir_;
};

TEST_F(Sink, TargetDirectiveAllowsOnlyItsPrefix) {
    std::string file = path("a.log");
    init_logging(std::string("vantorix::grbl::session=debug"), file);
    emit(Level::DEBUG, SESSION, "kept {}", 1);
    emit(Level::TRACE, SESSION, "too verbose");
    emit(Level::ERROR, FLOW, "other target");
    emit(Level::WARN, "vantorix::grbl::sessionx", "longer target still has the prefix");
    EXPECT_EQ(messages(file),
              (std::vector<std::string>{"kept 1", "longer target still has the prefix"}));
    EXPECT_EQ(max_level(), Level::DEBUG);
}

TEST_F(Sink, LineFormat) {
    std::string file = path("a.log");
    init_logging(std::nullopt, file);
    emit(Level::WARN, SESSION, "Unit system detection failed: {}", "operation timed out");
    std::string line = read(file);
    ASSERT_GT(line.size(), 26u) << line;
    EXPECT_EQ(line[0], '[');
    EXPECT_EQ(line.substr(11, 1), "T");
    EXPECT_EQ(line.substr(24, 2), "Z ");
    EXPECT_EQ(line.substr(26),
              "WARN  vantorix::grbl::session] Unit system detection failed: "
              "operation timed out\n");
}

TEST_F(Sink, DefaultIsWarn) {
    std::string file = path("a.log");
    init_logging(std::nullopt, file);
    emit(Level::INFO, SESSION, "info");
    emit(Level::WARN, FLOW, "warn");
    emit(Level::ERROR, "anything", "error");
    EXPECT_EQ(messages(file), (std::vector<std::string>{"warn", "error"}));
}

TEST_F(Sink, ExpressionMatchesTheFormattedMessage) {
    std::string file = path("a.log");
    init_logging(std::string("info/timed out"), file);
    emit(Level::INFO, SESSION, "poll {} out", "timed");
    emit(Level::INFO, SESSION, "poll done");
    emit(Level::DEBUG, SESSION, "debug timed out");
    EXPECT_EQ(messages(file), (std::vector<std::string>{"poll timed out"}));
}

TEST_F(Sink, EnvironmentVariableWinsEvenWhenEmpty) {
    std::string file = path("a.log");
    setenv(LOG_FILTER_ENV, "", 1);
    init_logging(std::string("trace"), file);
    emit(Level::WARN, SESSION, "warn");
    emit(Level::ERROR, SESSION, "error");
    EXPECT_EQ(messages(file), (std::vector<std::string>{"error"}));
}

TEST_F(Sink, ReconfiguringMovesOutputToTheNewFile) {
    std::string first = path("first.log"), second = path("second.log");
    init_logging(std::nullopt, first);
    emit(Level::WARN, SESSION, "one");
    init_logging(std::nullopt, second);
    emit(Level::WARN, SESSION, "two");
    EXPECT_EQ(messages(first), (std::vector<std::string>{"one"}));
    EXPECT_EQ(messages(second), (std::vector<std::string>{"two"}));
}

TEST_F(Sink, FileIsAppendedNotTruncated) {
    std::string file = path("a.log");
    std::ofstream(file) << "existing\n";
    init_logging(std::nullopt, file);
    emit(Level::WARN, SESSION, "new");
    EXPECT_EQ(read(file).substr(0, 9), "existing\n");
    EXPECT_EQ(messages(file).back(), "new");
}

TEST_F(Sink, PathWithNulOpensNothing) {
    std::string file = path("a.log");
    init_logging(std::nullopt, file + std::string("\0.other", 7));
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(Sink, OffSilencesEverything) {
    std::string file = path("a.log");
    init_logging(std::string("off"), file);
    emit(Level::ERROR, SESSION, "nothing");
    EXPECT_EQ(read(file), "");
    EXPECT_EQ(max_level(), Level::OFF);
}

}  // namespace
