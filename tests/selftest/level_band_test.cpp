#include "board/adc.h"
#include "selftest/self_test.h"

#include <gtest/gtest.h>

namespace {

// The band limits the production line works with, to six decimals.
constexpr double published_limits[] = {0.089562, 0.305778, 0.569316, 0.841896, 1.118171, 1.38821,
                                       1.65604,  1.92677,  2.194995, 2.47629,  2.752005, 3.01229};
constexpr double beyond_rounding = 1e-6;

TEST(LevelBand, EachBandHoldsItsFixtureLevelUpToThePublishedLimits) {
    for (int index = 0; index < 12; ++index) {
        const double upper = published_limits[index];
        EXPECT_TRUE(level_in_band(fixture_levels[index], index)) << index;
        EXPECT_TRUE(level_in_band(upper - beyond_rounding, index)) << index;
        EXPECT_FALSE(level_in_band(upper + beyond_rounding, index)) << index;
        if (index == 0) continue;
        const double lower = published_limits[index - 1];
        EXPECT_TRUE(level_in_band(lower + beyond_rounding, index)) << index;
        EXPECT_FALSE(level_in_band(lower - beyond_rounding, index)) << index;
    }
}

TEST(LevelBand, ExactLimitFailsBothNeighbours) {
    // Raw -16374 reads as exactly the limit between levels 2 and 3.
    const double limit = adc_volts(-16374);
    EXPECT_FALSE(level_in_band(limit, 2));
    EXPECT_FALSE(level_in_band(limit, 3));
}

TEST(LevelBand, NegativeReadingPassesAsIdleOnly) {
    for (double volts : {-0.001, -1.65, adc_volts(ADC_INVALID)}) {
        EXPECT_TRUE(level_in_band(volts, 0)) << volts;
        for (int index = 1; index < 12; ++index) EXPECT_FALSE(level_in_band(volts, index)) << volts;
    }
}

}  // namespace
