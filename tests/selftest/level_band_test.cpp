#include "selftest/self_test.h"

#include "board/adc.h"

#include <gtest/gtest.h>

namespace {

// The band limits the production line works with, to six decimals.
constexpr double published_limits[] = {0.089562, 0.305778, 0.569316, 0.841896, 1.118171, 1.38821,
                                       1.65604,  1.92677,  2.194995, 2.47629,  2.752005, 3.01229};
constexpr double beyond_rounding = 1e-6;

// Band 0 has no lower limit: a negative reading is idle. Raw -16374 converts
// to exactly the limit between levels 2 and 3, which lies in neither band.
TEST(LevelBand, EachBandHoldsItsFixtureLevelUpToThePublishedLimits) {
    for (int index = 0; index < 12; ++index) {
        const double lower = index == 0 ? -1.65 : published_limits[index - 1];
        const double upper = published_limits[index];
        EXPECT_TRUE(level_in_band(fixture_levels[index], index)) << index;
        EXPECT_TRUE(level_in_band(upper - beyond_rounding, index)) << index;
        EXPECT_FALSE(level_in_band(upper + beyond_rounding, index)) << index;
        EXPECT_TRUE(level_in_band(lower + beyond_rounding, index)) << index;
        EXPECT_EQ(level_in_band(lower - beyond_rounding, index), index == 0) << index;
    }
    EXPECT_FALSE(level_in_band(adc_volts(-16374), 2));
    EXPECT_FALSE(level_in_band(adc_volts(-16374), 3));
}

}  // namespace
