#include "rt/duration_text.hpp"

#include <gtest/gtest.h>

using namespace std::chrono;
using vantorix::rt::format_duration;

TEST(DurationText, LargestUnitWithTrimmedFraction) {
    struct Case {
        nanoseconds value;
        const char* text;
    } cases[] = {
        {nanoseconds(0), "0ns"},
        {nanoseconds(999), "999ns"},
        {nanoseconds(15'200), "15.2\u00b5s"},
        {microseconds(1), "1\u00b5s"},
        {milliseconds(3), "3ms"},
        {nanoseconds(3'000'001), "3.000001ms"},
        {milliseconds(1500), "1.5s"},
        {seconds(10), "10s"},
        {nanoseconds(2'000'000'001), "2.000000001s"},
        {nanoseconds(-5), "0ns"},
    };
    for (const Case& c : cases) EXPECT_EQ(format_duration(c.value), c.text) << c.value.count();
}
