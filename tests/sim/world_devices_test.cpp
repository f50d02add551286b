// The board's device files as programs inside a world see them.
#include "support/world_support.h"

#include <gtest/gtest.h>

namespace {

TEST(WorldDevices, DeviceFilesReadAndWriteTheBoardAndFailOnDemand) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({"--missing", "adc3", "--unopenable", "portc", "--do", "adc fail 1 eio"}, R"(
        $P write portb 4 0xff; $P write portb 0 0xa5; $P read portb 0; $P read portb 4
        $P write porta 0 0xff; $P write porta 4 0x0f; $P read porta 0
        $P read porth 0; $B ctl aux off; $P read porth 0; $B ctl aux on; $P read porth 0
        $P write porth 4 0x20; $P write porth 0 0x00; $P read porth 0
        $B ctl regs | grep port=B
        $B ctl log lines
        $P open /dev/adc3; $P open /dev/portc; $P adc 1 4
        $B ctl adc fail 1 short; $P adc 1 4
        $B ctl adc fail 1 off; $P adc 1 4
        $B ctl device adc3 present; $P open /dev/adc3
        $B ctl device porta missing; $P open /dev/porta; $P open /dev/.board/porta
        $B ctl device porta present; $P open /dev/porta)");
    ASSERT_EQ(result.status, 0) << result.err;
    // Port A is written while all its lines are inputs: the four made outputs
    // then show it, the inputs stay low whatever was written to them.
    EXPECT_TRUE(said(result, "value=0xa5|0xff|0x0f|0x20|0x00|0x20|0x00 open=No|Permission|ok|No|No|ok "
                             "error=Input/output bytes=2|4"));
    EXPECT_EQ(lines_with(result.out, {"line name=auxpwrdis"}).size(), 0u);
    EXPECT_EQ(lines_with(result.out, {"port=B data=0xa5 dir=0xff level=0xa5"}).size(), 1u);
    // Aux power removed, then its line made an output written low.
    EXPECT_EQ(lines_with(result.out, {"line name=auxpwr ", "old=1 new=0"}).size(), 2u);
    EXPECT_EQ(lines_with(result.out, {"direction port=H old=0x00 new=0x20"}).size(), 1u);
    EXPECT_EQ(lines_with(result.out, {"line name=batt_measure port=B old=0 new=1"}).size(), 1u);
    EXPECT_EQ(lines_with(result.out, {"line name=channel_select port=B old=0 new=1"}).size(), 1u);
}

}  // namespace
