// The board layer in a simulated board world: the real tovk for x, e and f,
// the driver for the line, ADC and UART operations, the world's logs and
// registers as witnesses.
#include "board_model.h"
#include "support/world_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string usage_head = "Concentrator hardware management daemon\nUsage: tovk <cmd> [p";

TEST(BoardWorld, ExternalPowerAndChannelCommands) {
    SKIP_WITHOUT_WORLDS();
    process_result run = in_world(
        {}, "O=$(mktemp); \"$D\" gpio_setup >/dev/null; for v in 1 0 5 -1 off; do \"$T\" x $v >\"$O\"; s=$?; head -c 60 \"$O\"; echo \" x$v=$s\"; "
            "done; for c in 2 6 5 -1 x; do \"$T\" e $c >\"$O\"; s=$?; head -c 60 \"$O\"; echo \" e$c=$s\"; \"$B\" ctl regs | grep port=H; "
            "done; \"$T\" e >\"$O\"; s=$?; head -c 20 \"$O\"; rm -f \"$O\"; echo \" e=$s\"");
    for (auto [word, shown] : std::vector<std::pair<std::string, std::string>>{
             {"x1", "1\n x1=0"}, {"x0", "0\n x0=0"}, {"x5", "1\n x5=0"}, {"x-1", "1\n x-1=0"}}) {
        EXPECT_NE(run.out.find(shown), std::string::npos) << word << run.out;
    }
    EXPECT_NE(run.out.find(usage_head.substr(0, 60) + " xoff=1"), std::string::npos) << run.out;
    auto port_h = lines_with(run.out, {"port=H "});
    ASSERT_EQ(port_h.size(), 5u);
    std::vector<std::string> selected;
    for (const std::string& line : port_h) selected.push_back(values_of(line, "data")[0]);
    EXPECT_EQ(selected, (std::vector<std::string>{"0x08", "0x08", "0x04", "0x0c", "0x0c"}));
    EXPECT_NE(run.out.find(" ex=1"), std::string::npos) << "e x: usage and status 1";
    EXPECT_NE(run.out.find(usage_head.substr(0, 20) + " e=0"), std::string::npos) << "e alone: usage and status 0";
}

TEST(BoardWorld, ConcurrentWritersFromManyProcessesLoseNoBit) {
    SKIP_WITHOUT_WORLDS();
    std::string toggles;
    for (int round = 0; round < 100; ++round) toggles += " line pulse 1 line pulse 0 line route_flag 1 line route_flag 0";
    process_result run = in_world(
        {}, "\"$D\" gpio_setup >/dev/null; "
            "(for i in $(seq 40); do \"$T\" x 0 >/dev/null; \"$T\" x 1 >/dev/null; done) & "
            "\"$D\"" + toggles + " line pulse 1 >/dev/null & "
            "\"$D\" mask 0" + std::string(" line batt_measure 1 line batt_measure 0").append(" line attention 0 line attention 1") +
            " line batt_measure 1 >/dev/null & "
            "(for i in $(seq 40); do \"$D\" route 1 1 route 0 0 >/dev/null; done; \"$D\" route 1 1 >/dev/null) & "
            "wait; \"$B\" ctl regs");
    EXPECT_EQ(register_of(run.out, 'A', "data"), 0x80u) << run.out;
    // B: pulse line (3), attention (6), battery measure (7), route select and enable (4, 5); flag (2) low.
    EXPECT_EQ(register_of(run.out, 'B', "data"), 0xF8u) << run.out;
}

TEST(BoardWorld, AdcReadingsComeBackWithinOneCount) {
    SKIP_WITHOUT_WORLDS();
    process_result run = in_world({"--do", "set diode 0.612", "--do", "set module1 25.3", "--do", "set module2 19.75",
                                      "--do", "set batt 12.4", "--do", "adc fail 3 eio"},
                                     "\"$D\" gpio_setup adc 4 adc 1 adc 0 adc 2 line batt_measure 1 adc 2 adc 3");
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

TEST(BoardWorld, SerialSetupAppliesEveryRateAndFormatThenSelectsTheChannel) {
    SKIP_WITHOUT_WORLDS();
    const std::vector<long> rates = {50,     75,     110,     134,     150,     200,     300,     600,
                                     1200,   1800,   2400,    4800,    9600,    19200,   38400,   57600,
                                     115200, 230400, 460800,  500000,  576000,  921600,  1000000, 1152000,
                                     1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
    std::string operations;
    for (long rate : rates) operations += " serial 0 " + std::to_string(rate) + " 8 0 0 1";
    process_result every_rate = in_world({}, "\"$D\" gpio_setup" + operations + " >/dev/null; \"$B\" ctl log serial");
    std::vector<std::string> expected;
    for (long rate : rates) expected.push_back(std::to_string(rate));
    EXPECT_EQ(values_of(every_rate.out, "speed"), expected);

    struct format {
        std::string words, data, parity, stop, channel;
    };
    std::vector<format> formats = {{"1 9600 7 1 0 1", "7", "even", "1", "1"}, {"2 9600 7 1 1 1", "7", "odd", "1", "2"},
                                   {"3 19200 8 0 0 2", "8", "none", "2", "3"}, {"5 9600 8 1 1 2", "8", "odd", "2", "1"},
                                   {"0 9600 9 0 1 3", "8", "none", "1", "0"},  {"1 9600 5 0 0 1", "5", "none", "1", "1"},
                                   {"2 9600 6 1 0 1", "6", "even", "1", "2"}};
    std::string script = "\"$D\" gpio_setup >/dev/null";
    for (const format& each : formats) script += "; \"$D\" serial " + each.words + " lowlat_off >/dev/null";
    process_result run = in_world({}, script + "; \"$B\" ctl log serial; \"$B\" ctl log lowlat; \"$B\" ctl log lines");
    std::vector<std::string> data, parity, stop, channel;
    for (const format& each : formats) {
        data.push_back(each.data);
        parity.push_back(each.parity);
        stop.push_back(each.stop);
    }
    EXPECT_EQ(values_of(run.out, "data"), data);
    EXPECT_EQ(values_of(run.out, "parity"), parity) << "odd alone, without parity on, is no parity";
    EXPECT_EQ(values_of(run.out, "stop"), stop);
    auto switches = values_of(run.out, "on");
    ASSERT_EQ(switches.size(), 2 * formats.size());
    for (std::size_t at = 0; at < switches.size(); ++at) EXPECT_EQ(switches[at], at % 2 == 0 ? "1" : "0") << at;
    std::vector<std::string> selected;
    for (const std::string& line : lines_with(run.out, {"name=serial_channel"})) selected.push_back(values_of(line, "new")[0]);
    EXPECT_EQ(selected, (std::vector<std::string>{"1", "2", "3", "1", "0", "1", "2"}));
}

TEST(BoardWorld, MissingDevicesMakeCommandsFailAndChangeNothing) {
    SKIP_WITHOUT_WORLDS();
    process_result ports = in_world({"--missing", "porta"},
                                       "\"$T\" x 1 >/dev/null; echo x=$?; \"$T\" e 2 >/dev/null; echo e=$?; "
                                       "\"$T\" i '' 2>&1; echo service=$?; \"$B\" ctl regs");
    EXPECT_EQ(values_of(ports.out, "x"), std::vector<std::string>{"1"});
    EXPECT_EQ(values_of(ports.out, "e"), std::vector<std::string>{"1"});
    EXPECT_EQ(values_of(ports.out, "service"), std::vector<std::string>{"1"});
    for (char port : {'B', 'C', 'F', 'H'}) {
        EXPECT_EQ(register_of(ports.out, port, "data"), 0u) << port;
        EXPECT_EQ(register_of(ports.out, port, "dir"), 0u) << port;
    }

    process_result adc = in_world({"--missing", "adc3"},
                                     "\"$T\" i '' 2>&1; echo service=$?; \"$D\" sem 1; \"$B\" ctl log pic frame");
    EXPECT_EQ(values_of(adc.out, "service"), std::vector<std::string>{"1"});
    EXPECT_EQ(values_of(adc.out, "sem1"), std::vector<std::string>{"1"});
    EXPECT_TRUE(lines_with(adc.out, {"kind=version"}).empty()) << "no PIC exchange without the ADC";
}

}  // namespace
