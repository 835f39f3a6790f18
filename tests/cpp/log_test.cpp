#include <gtest/gtest.h>

#include "log/facade.hpp"
#include "log/filter.hpp"
#include "log/format.hpp"
#include "log/sink.hpp"

using namespace vantorix::log;

namespace {

struct Probe {
    Level level;
    const char* target;
    bool allowed;
};

struct FilterCase {
    const char* text;
    std::vector<std::string> errors;
    Level max_level;
    std::vector<Probe> probes;
};

class FilterParsing : public testing::TestWithParam<FilterCase> {};

TEST_P(FilterParsing, DirectivesErrorsAndDecisions) {
    const FilterCase& c = GetParam();
    ParsedFilter parsed = parse_filter(c.text);
    EXPECT_EQ(parsed.errors, c.errors);
    EXPECT_EQ(parsed.filter.max_level(), c.max_level);
    for (const Probe& p : c.probes) {
        EXPECT_EQ(parsed.filter.allows(p.level, p.target), p.allowed)
            << c.text << " / " << p.target << " at " << level_name(p.level);
    }
}

constexpr const char* SESSION = "vantorix::grbl::session";
constexpr const char* FLOW = "vantorix::grbl::flow";

INSTANTIATE_TEST_SUITE_P(
    Table, FilterParsing,
    testing::Values(
        FilterCase{"warn",
                   {},
                   Level::WARN,
                   {{Level::WARN, SESSION, true},
                    {Level::ERROR, FLOW, true},
                    {Level::INFO, SESSION, false}}},
        FilterCase{
            "", {}, Level::ERROR, {{Level::ERROR, SESSION, true}, {Level::WARN, SESSION, false}}},
        FilterCase{"vantorix::grbl::session=debug",
                   {},
                   Level::DEBUG,
                   {{Level::DEBUG, SESSION, true},
                    {Level::TRACE, SESSION, false},
                    {Level::ERROR, FLOW, false}}},
        FilterCase{"warn,vantorix::grbl=off,vantorix::grbl::flow=TRACE",
                   {},
                   Level::TRACE,
                   {{Level::TRACE, FLOW, true},
                    {Level::ERROR, SESSION, false},
                    {Level::WARN, "other", true}}},
        FilterCase{"vantorix",
                   {},
                   Level::TRACE,
                   {{Level::TRACE, SESSION, true}, {Level::ERROR, "other", false}}},
        FilterCase{"vantorix=", {}, Level::TRACE, {{Level::TRACE, FLOW, true}}},
        FilterCase{" info , ,debug ", {}, Level::DEBUG, {{Level::DEBUG, SESSION, true}}},
        FilterCase{"a=b=c,warn",
                   {"invalid logging spec 'a=b=c'"},
                   Level::WARN,
                   {{Level::WARN, SESSION, true}}},
        FilterCase{"x=loud",
                   {"invalid logging spec 'loud'"},
                   Level::ERROR,
                   {{Level::ERROR, "x", true}, {Level::WARN, "x", false}}},
        FilterCase{"warn/a/b",
                   {"invalid logging spec 'warn/a/b' (too many '/'s)"},
                   Level::ERROR,
                   {{Level::ERROR, SESSION, true}, {Level::WARN, SESSION, false}}},
        FilterCase{"off", {}, Level::OFF, {{Level::ERROR, SESSION, false}}},
        FilterCase{"debug,info", {}, Level::INFO, {{Level::DEBUG, SESSION, false}}}));

TEST(FilterExpression, MatchesAnywhereInTheMessage) {
    ParsedFilter parsed = parse_filter("info/timed out");
    EXPECT_TRUE(parsed.errors.empty());
    EXPECT_TRUE(parsed.filter.matches("operation timed out after 5s"));
    EXPECT_FALSE(parsed.filter.matches("operation done"));
    EXPECT_TRUE(parse_filter("info").filter.matches("anything"));
}

TEST(FilterExpression, InvalidExpressionIsDropped) {
    ParsedFilter parsed = parse_filter("info/(unclosed");
    ASSERT_EQ(parsed.errors.size(), 1u);
    EXPECT_TRUE(parsed.errors[0].starts_with("invalid regex filter - ")) << parsed.errors[0];
    EXPECT_FALSE(parsed.filter.has_expression());
    EXPECT_EQ(parsed.filter.max_level(), Level::INFO);
}

TEST(LogLine, TimestampLevelPaddingAndTarget) {
    // 2024-03-05T07:08:09.010Z
    long long millis = 1709622489010LL;
    EXPECT_EQ(format_log_line(millis, Level::WARN, SESSION,
                              "Unit system detection failed: operation timed out"),
              "[2024-03-05T07:08:09.010Z WARN  vantorix::grbl::session] Unit system detection "
              "failed: operation timed out\n");
    EXPECT_EQ(format_log_line(0, Level::ERROR, "t", "m"), "[1970-01-01T00:00:00.000Z ERROR t] m\n");
    EXPECT_EQ(format_log_line(951782400999LL, Level::INFO, "t", ""),
              "[2000-02-29T00:00:00.999Z INFO  t] \n");
}

TEST(Format, SubstitutesInOrder) {
    EXPECT_EQ(format("a {} b {} c", 1, "two"), "a 1 b two c");
    EXPECT_EQ(format("{}{}", 'x', true), "xtrue");
    EXPECT_EQ(format("{{}} {}", 2.5), "{} 2.5");
    EXPECT_EQ(format("{} and {}", 7), "7 and {}");
    EXPECT_EQ(format("none", 7), "none");
    EXPECT_EQ(format("{}", 0.1), "0.1");
    EXPECT_EQ(format("{}", 100.0), "100");
    EXPECT_EQ(format("{}", -3), "-3");
    EXPECT_EQ(format("{}", std::size_t{42}), "42");
}

TEST(Facade, DisabledLevelsAreDroppedAtTheCallSite) {
    struct Counting : Logger {
        int records = 0;
        bool enabled(const Metadata&) const override { return true; }
        void log(const Record&) override { ++records; }
        void flush() override {}
    };
    // The facade's maximum level is the only gate before the installed logger; with
    // nothing installed, nothing is delivered even when the level allows it.
    set_max_level(Level::OFF);
    EXPECT_FALSE(level_enabled(Level::ERROR));
    set_max_level(Level::INFO);
    EXPECT_TRUE(level_enabled(Level::INFO));
    EXPECT_FALSE(level_enabled(Level::DEBUG));
    set_max_level(Level::OFF);
}

}  // namespace
