// The board layer in a simulated board world: the real tovk for x, e and f,
// the driver for the line, ADC and UART operations, the world's logs and
// registers as witnesses.
#include "board_model.h"
#include "support/world_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class BoardWorld : public world_test {};

// e alone, like any command word count, is the front end's.
TEST_F(BoardWorld, ExternalPowerAndChannelCommands) {
    process_result run = in_world(
        {}, R"(
        O=$(mktemp); "$D" gpio_setup >/dev/null
        for v in 1 0 5 -1 off; do "$T" x $v >"$O"; s=$?; head -c 60 "$O"; echo " x$v=$s"; done
        for c in 2 6 5 -1 x; do "$T" e $c >"$O"; s=$?; head -c 60 "$O"; echo " e$c=$s"
            "$B" ctl regs | grep port=H; done
        rm -f "$O")");
    for (const char* shown : {"1\n x1=0", "0\n x0=0", "1\n x5=0", "1\n x-1=0", " ex=1",
                               "Concentrator hardware management daemon\nUsage: tovk <cmd> [p xoff=1"}) {
        EXPECT_NE(run.out.find(shown), std::string::npos) << shown << run.out;
    }
    std::vector<std::string> selected;
    for (const std::string& line : lines_with(run.out, {"port=H "})) selected.push_back(values_of(line, "data")[0]);
    EXPECT_EQ(selected, (std::vector<std::string>{"0x08", "0x08", "0x04", "0x0c", "0x0c"}));
}

TEST_F(BoardWorld, ConcurrentWritersFromManyProcessesLoseNoBit) {
    std::string toggles;
    for (int round = 0; round < 100; ++round) toggles += " line pulse 1 line pulse 0 line route_flag 1 line route_flag 0";
    process_result run = in_world(
        {}, R"(
        "$D" gpio_setup >/dev/null
        (for i in $(seq 40); do "$T" x 0 >/dev/null; "$T" x 1 >/dev/null; done) &
        "$D")" + toggles + R"( line pulse 1 >/dev/null &
        "$D" mask 0 line batt_measure 1 line batt_measure 0 line attention 0 line attention 1 \
            line batt_measure 1 >/dev/null &
        (for i in $(seq 40); do "$D" route 1 1 route 0 0 >/dev/null; done; "$D" route 1 1 >/dev/null) &
        wait
        "$B" ctl regs)");
    EXPECT_EQ(register_of(run.out, 'A', "data"), 0x80u) << run.out;
    // B: pulse line (3), attention (6), battery measure (7), route select and enable (4, 5); flag (2) low.
    EXPECT_EQ(register_of(run.out, 'B', "data"), 0xF8u) << run.out;
}

TEST_F(BoardWorld, AdcReadingsComeBackWithinOneCount) {
    process_result run = in_world({"--do", "set diode 0.612", "--do", "set module1 25.3", "--do", "set module2 19.75",
                                      "--do", "set batt 12.4", "--do", "adc fail 3 eio"},
                                     R"("$D" gpio_setup adc 4 adc 1 adc 0 adc 2 line batt_measure 1 adc 2 adc 3)");
    auto volts = values_of(run.out, "volts");
    ASSERT_EQ(volts.size(), 6u) << run.out;
    using namespace boardsim;
    const double count = raw_to_volts(1) - raw_to_volts(0);
    EXPECT_NEAR(std::stod(volts[0]), 0.612, count);
    EXPECT_NEAR(std::stod(volts[1]) * module_scale, 25.3, count * module_scale);
    EXPECT_NEAR(std::stod(volts[2]) * module_scale, 19.75, count * module_scale);
    EXPECT_NEAR(std::stod(volts[3]), 0.0, count) << "battery reads only while its measure line is on";
    EXPECT_NEAR(std::stod(volts[4]) * battery_scale + battery_offset, 12.4, count * battery_scale);
    EXPECT_EQ(values_of(run.out, "raw").back(), "-2147483648") << "a failed read is ADC_INVALID";
}

TEST_F(BoardWorld, SerialSetupAppliesEveryRateAndFormatThenSelectsTheChannel) {
    std::string operations;
    std::vector<std::string> rates;
    for (int rate : {50,     75,      110,     134,     150,     200,     300,     600,     1200,    1800,
                     2400,   4800,    9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000,
                     576000, 921600,  1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000}) {
        rates.push_back(std::to_string(rate));
        operations += " serial 0 " + rates.back() + " 8 0 0 1";
    }
    process_result every_rate = in_world({}, R"("$D" gpio_setup)" + operations + R"( >/dev/null; "$B" ctl log serial)");
    EXPECT_EQ(values_of(every_rate.out, "speed"), rates);

    struct format {
        std::string words, settings, channel;
    };
    // Odd alone, without parity on, is no parity.
    const std::vector<format> formats = {
        {"1 9600 7 1 0 1", "data=7 parity=even stop=1", "1"}, {"2 9600 7 1 1 1", "data=7 parity=odd stop=1", "2"},
        {"3 19200 8 0 0 2", "data=8 parity=none stop=2", "3"}, {"5 9600 8 1 1 2", "data=8 parity=odd stop=2", "1"},
        {"0 9600 9 0 1 3", "data=8 parity=none stop=1", "0"}, {"1 9600 5 0 0 1", "data=5 parity=none stop=1", "1"},
        {"2 9600 6 1 0 1", "data=6 parity=even stop=1", "2"}};
    std::string script = R"("$D" gpio_setup >/dev/null)";
    for (const format& each : formats) script += R"(; "$D" serial )" + each.words + " lowlat_off >/dev/null";
    process_result run = in_world({}, script + R"(; "$B" ctl log serial; "$B" ctl log lowlat; "$B" ctl log lines)");
    auto settings = lines_with(run.out, {"ispeed="});
    auto selected = lines_with(run.out, {"name=serial_channel"});
    ASSERT_EQ(settings.size(), formats.size()) << run.out;
    ASSERT_EQ(selected.size(), formats.size()) << run.out;
    for (std::size_t at = 0; at < formats.size(); ++at) {
        EXPECT_NE(settings[at].find(formats[at].settings), std::string::npos) << settings[at];
        EXPECT_EQ(values_of(selected[at], "new"), std::vector<std::string>{formats[at].channel}) << at;
    }
    auto switches = values_of(run.out, "on");
    ASSERT_EQ(switches.size(), 2 * formats.size());
    for (std::size_t at = 0; at < switches.size(); ++at) EXPECT_EQ(switches[at], at % 2 == 0 ? "1" : "0") << at;
}

TEST_F(BoardWorld, MissingDevicesMakeCommandsFailAndChangeNothing) {
    process_result ports = in_world({"--missing", "porta"}, R"(
        "$T" x 1 >/dev/null; echo status=$?
        "$T" e 2 >/dev/null; echo status=$?
        "$T" i '' 2>&1; echo status=$?
        "$B" ctl regs)");
    EXPECT_TRUE(said(ports, "status=1|1|1"));
    for (char port : {'B', 'C', 'F', 'H'}) {
        EXPECT_EQ(register_of(ports.out, port, "data"), 0u) << port;
        EXPECT_EQ(register_of(ports.out, port, "dir"), 0u) << port;
    }

    process_result adc = in_world({"--missing", "adc3"}, R"(
        "$T" i '' 2>&1; echo status=$?
        "$D" sem 1
        "$B" ctl log pic frame)");
    EXPECT_TRUE(said(adc, "status=1 sem1=1")) << "sem1=1: the GPIO lock is free";
    EXPECT_TRUE(lines_with(adc.out, {"kind=version"}).empty()) << "no PIC exchange without the ADC";
}

}  // namespace
