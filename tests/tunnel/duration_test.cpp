// The --tunnel-idle duration grammar and how durations are shown.
#include <gtest/gtest.h>

#include "daemon/duration.h"

namespace {
constexpr int64_t SEC = 1'000'000'000;
}

TEST(Duration, Accepted) {
    EXPECT_EQ(parse_duration("0"), 0);
    EXPECT_EQ(parse_duration("0s"), 0);
    EXPECT_EQ(parse_duration("0h"), 0);
    EXPECT_EQ(parse_duration("90s"), 90 * SEC);
    EXPECT_EQ(parse_duration("30m"), 1800 * SEC);
    EXPECT_EQ(parse_duration("2h"), 7200 * SEC);
    EXPECT_EQ(parse_duration("168h"), 604800 * SEC);
    EXPECT_EQ(parse_duration("10080m"), 604800 * SEC);
    EXPECT_EQ(parse_duration("604800s"), 604800 * SEC);
    EXPECT_EQ(parse_duration("007m"), 420 * SEC);
}

TEST(Duration, Refused) {
    for (const char* bad : {"169h", "10081m", "604801s", "1h30m", "-5s", "5", "5S", "", "s", " 5s",
                            "5s ", "1.5h", "99999999999999999999999s", "+5s", "00"})
        EXPECT_FALSE(parse_duration(bad)) << bad;
}

TEST(Duration, Formatting) {
    EXPECT_EQ(format_duration(7200 * SEC), "2h");
    EXPECT_EQ(format_duration(5400 * SEC), "90m");
    EXPECT_EQ(format_duration(90 * SEC), "90s");
    EXPECT_EQ(format_duration(1800 * SEC), "30m");
    EXPECT_EQ(format_duration(1500 * 1'000'000), "1s");
    EXPECT_EQ(format_duration(0), "0s");
}
