// The board's device files as programs inside a world see them.
#include "world_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

double adc_volts(const std::string& raw) { return (std::atoi(raw.c_str()) / 50000.0 + 0.5) * 3.3; }
constexpr double one_count = 3.3 / 50000.0;

TEST(WorldPorts, OutputsReadBackAndInputsFollowTheBoard) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({}, R"(
        $P write portb 4 0xff; $P write portb 0 0xa5; $P read portb 0; $P read portb 4
        $P write porta 4 0x0f; $P write porta 0 0xff; $P read porta 0
        $P read porth 0; $B ctl aux off; $P read porth 0; $B ctl aux on; $P read porth 0
        $P write porth 4 0x20; $P write porth 0 0x00; $P read porth 0
        $B ctl regs | grep port=B
        $B ctl log lines)");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(values_of(result.out, "value"),
              (std::vector<std::string>{"0xa5", "0xff", "0x0f", "0x20", "0x00", "0x20", "0x00"}));
    EXPECT_EQ(lines_with(result.out, {"port=B data=0xa5 dir=0xff level=0xa5"}).size(), 1u);
    // Port A's inputs stay low whatever was written to them.
    EXPECT_EQ(lines_with(result.out, {"line name=auxpwrdis"}).size(), 0u);
    // Aux power removed, then its line made an output written low.
    EXPECT_EQ(lines_with(result.out, {"line name=auxpwr ", "old=1 new=0"}).size(), 2u);
    EXPECT_EQ(lines_with(result.out, {"direction port=H old=0x00 new=0x20"}).size(), 1u);
    EXPECT_EQ(lines_with(result.out, {"line name=batt_measure port=B old=0 new=1"}).size(), 1u);
    EXPECT_EQ(lines_with(result.out, {"line name=channel_select port=B old=0 new=1"}).size(), 1u);
}

TEST(WorldAdc, ReadingsGiveTheSetLevelsWithinOneCount) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({"--do", "set diode 0.612", "--do", "set module1 23.5", "--do",
                                      "set module2 21.99", "--do", "set batt 13.1"},
                                     R"(
        $P adc 4 4; $P adc 1 4; $P adc 0 4; $P adc 2 4
        $P write portb 4 0xff; $P write portb 0 0x80; $P adc 2 4
        $B ctl set adc 3 -1234; $P adc 3 4; $P adc 3 2)");
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> raw = values_of(result.out, "raw");
    ASSERT_EQ(raw.size(), 7u) << result.out;
    EXPECT_NEAR(adc_volts(raw[0]), 0.612, one_count);
    EXPECT_NEAR(adc_volts(raw[1]) * 55.59975117746379, 23.5, one_count * 55.6);
    EXPECT_NEAR(adc_volts(raw[2]) * 55.59975117746379, 21.99, one_count * 55.6);
    EXPECT_LT(adc_volts(raw[2]) * 55.59975117746379, 22.0);
    EXPECT_EQ(raw[3], "-25000") << "battery read while its measure line is low";
    EXPECT_NEAR(adc_volts(raw[4]) * 5.1082 + 1.2, 13.1, one_count * 5.11);
    EXPECT_EQ(raw[5], "-1234");
    EXPECT_EQ(values_of(result.out, "bytes"),
              (std::vector<std::string>{"4", "4", "4", "4", "4", "4", "2"}));
}

TEST(WorldAdc, FailuresAndMissingDevicesOnDemand) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({"--missing", "adc3", "--unopenable", "portc", "--do", "adc fail 1 eio"}, R"(
        $P open /dev/adc3; $P open /dev/portc; $P adc 1 4
        $B ctl adc fail 1 short; $P adc 1 4
        $B ctl adc fail 1 off; $P adc 1 4
        $B ctl device adc3 present; $P open /dev/adc3
        $B ctl device porta missing; $P open /dev/porta; $P open /dev/.board/porta
        $B ctl device porta present; $P open /dev/porta)");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(values_of(result.out, "open"),
              (std::vector<std::string>{"No", "Permission", "ok", "No", "No", "ok"}));
    EXPECT_EQ(values_of(result.out, "error"), (std::vector<std::string>{"Input/output"}));
    EXPECT_EQ(values_of(result.out, "bytes"), (std::vector<std::string>{"2", "4"}));
}

TEST(WorldAdc, FixtureAnswersEveryStimulusLineOnItsChannel) {
    SKIP_WITHOUT_WORLDS();
    // Each stimulus drives one line high with its port's outputs set, as the
    // self test's profile has them; the reading must land in the line's band.
    const std::vector<std::tuple<std::string, unsigned, unsigned, unsigned>> lines{
        {"portb", 0x80, 0, 1}, {"portf", 0x02, 0, 2}, {"portf", 0x04, 0, 3}, {"portf", 0x08, 0, 4},
        {"portb", 0x10, 0, 5}, {"portb", 0x20, 0, 6}, {"portb", 0x40, 0, 7}, {"portb", 0x01, 0, 8},
        {"portb", 0x02, 0, 9}, {"portb", 0x04, 1, 10}, {"portb", 0x08, 2, 11}, {"portc", 0x01, 3, 1},
        {"porth", 0x10, 3, 7}, {"porth", 0x20, 3, 2}, {"porta", 0x08, 3, 3}, {"porta", 0x10, 3, 4},
        {"porta", 0x20, 3, 5}, {"porta", 0x80, 3, 6},
    };
    std::string script = "$P write porta 4 0xff + write portb 4 0xff + write portc 4 0xff + write portf 4 0xff + "
                         "write porth 4 0xff";
    for (const auto& [port, bit, channel, index] : lines) {
        std::string adc = " + adc " + std::to_string(channel) + " 4";
        script += adc + " + write " + port + " 0 " + std::to_string(bit) + adc + " + write " + port + " 0 0";
    }
    script += "\n$B ctl fixture level B.3 wrong; $P write portb 0 8 + adc 2 4\n";
    script += "$B ctl fixture level B.3 limit; $P adc 2 4\n";
    script += "$B ctl fixture off; $P adc 2 4\n";
    process_result result = in_world({"--fixture"}, script);
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> raw = values_of(result.out, "raw");
    ASSERT_EQ(raw.size(), lines.size() * 2 + 3) << result.out;
    const double levels[] = {0.0, 0.179124, 0.432432, 0.7062, 0.977592, 1.25875, 1.51767,
                             1.79441, 2.05913, 2.33086, 2.62172, 2.88229, 3.14229};
    auto in_band = [&](double volts, unsigned index) {
        bool below = volts < (levels[index] + levels[index + 1]) * 0.5;
        return index == 0 ? below : below && volts > (levels[index - 1] + levels[index]) * 0.5;
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(in_band(adc_volts(raw[2 * i]), 0)) << "idle before line " << i;
        EXPECT_TRUE(in_band(adc_volts(raw[2 * i + 1]), std::get<3>(lines[i]))) << "line " << i;
    }
    double wrong = adc_volts(raw[lines.size() * 2]);
    EXPECT_FALSE(in_band(wrong, 11));
    double limit = adc_volts(raw[lines.size() * 2 + 1]);
    EXPECT_NEAR(limit, (levels[10] + levels[11]) * 0.5, one_count / 2);
    EXPECT_EQ(raw.back(), "-25000") << "without the fixture channel 2 is the battery, read with B.7 low";
}

}  // namespace
