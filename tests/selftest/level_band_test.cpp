#include "selftest/self_test.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

// The band limits the production line works with, to six decimals.
constexpr double published_limits[] = {0.089562, 0.305778, 0.569316, 0.841896, 1.118171, 1.38821,
                                       1.65604,  1.92677,  2.194995, 2.47629,  2.752005, 3.01229};

double lower_limit(int index) { return (fixture_levels[index - 1] + fixture_levels[index]) * 0.5; }
double upper_limit(int index) { return (fixture_levels[index] + fixture_levels[index + 1]) * 0.5; }

TEST(LevelBand, LimitsAreTheMidpointsBetweenFixtureLevels) {
    for (int index = 0; index < 12; ++index) {
        EXPECT_NEAR(upper_limit(index), published_limits[index], 5e-7) << "index " << index;
    }
}

TEST(LevelBand, EachFixtureLevelLiesInItsOwnBandOnly) {
    for (int level = 0; level < 12; ++level) {
        for (int index = 0; index < 12; ++index) {
            EXPECT_EQ(level_in_band(fixture_levels[level], index), level == index)
                << "level " << level << " against index " << index;
        }
    }
}

TEST(LevelBand, ExactLimitFailsBothNeighbours) {
    for (int index = 1; index < 12; ++index) {
        const double limit = lower_limit(index);
        EXPECT_FALSE(level_in_band(limit, index - 1)) << index;
        EXPECT_FALSE(level_in_band(limit, index)) << index;
        EXPECT_TRUE(level_in_band(std::nextafter(limit, 0.0), index - 1)) << index;
        EXPECT_TRUE(level_in_band(std::nextafter(limit, 4.0), index)) << index;
    }
    EXPECT_FALSE(level_in_band(upper_limit(11), 11));
    EXPECT_TRUE(level_in_band(std::nextafter(upper_limit(11), 0.0), 11));
}

TEST(LevelBand, NegativeReadingPassesAsIdleOnly) {
    for (double volts : {-0.001, -1.65, -141732.27}) {
        EXPECT_TRUE(level_in_band(volts, 0)) << volts;
        for (int index = 1; index < 12; ++index) EXPECT_FALSE(level_in_band(volts, index)) << volts;
    }
}

}  // namespace
