// The board model and the control wire format, without a world. The world's
// log is WorldControl's, the devices' states WorldDevices'.
#include "board_model.h"
#include "control_protocol.h"
#include "event_log.h"

#include <gtest/gtest.h>

namespace boardsim {
namespace {

// A board whose hooks note every call.
class BoardModel : public testing::Test {
protected:
    event_log log;
    std::vector<std::string> calls;
    board_model board{log, board_hooks{
        [this](port_id port, std::uint32_t old_level, std::uint32_t new_level) {
            calls.push_back(std::string("before ") + port_letter(port) + " " + std::to_string(old_level) + "->" +
                            std::to_string(new_level));
        },
        [this](port_id port, std::uint32_t level) {
            calls.push_back(std::string("after ") + port_letter(port) + " " + std::to_string(level));
        },
        [](port_id port) { return port == port_id::b ? std::string("stream=1 consumed=42") : ""; }}};
};

// Hooks see every write, and a change before it lands; the lines log names
// each changed line, with the PIC's stamp on port B.
TEST_F(BoardModel, WritesReachTheHooksAndLineChangesAreLoggedByName) {
    board.write_register(port_id::b, 4, 0xFF);
    board.write_register(port_id::b, 0, 0x41);
    board.write_register(port_id::b, 0, 0x41);
    board.write_register(port_id::b, 0, 0x43);
    board.write_register(port_id::h, 4, 0x0C);  // outputs, still low: no level changes
    board.write_register(port_id::h, 0, 0x08);
    EXPECT_EQ(calls, (std::vector<std::string>{"after B 0", "before B 0->65", "after B 65", "after B 65",
                                               "before B 65->67", "after B 67", "after H 32", "before H 32->40",
                                               "after H 40"}));
    std::vector<std::string> lines;
    for (const log_entry& entry : log.read("lines", "", 0)) lines.push_back(entry.text);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "direction port=B old=0x00 new=0xff",
                         "line name=channel_select port=B old=0 new=1 stream=1 consumed=42",
                         "line name=pic_attention port=B old=0 new=1 stream=1 consumed=42",
                         "line name=channel_select port=B old=1 new=3 stream=1 consumed=42",
                         "direction port=H old=0x00 new=0x0c",
                         "line name=serial_channel port=H old=0 new=2",
                     }));
}

// BoardWorld reads the measurements through tovk's driver, which pins the
// scale; here the counts round-trip, and the battery needs its measure line.
TEST_F(BoardModel, AdcMeasurementsConvertToCountsTheHostReadsBack) {
    for (double volts : {0.0, 0.001, 0.6123, 1.65, 3.2999, 3.3}) {
        board.set_diode(volts);
        EXPECT_NEAR(raw_to_volts(board.adc_raw(4)), volts, 3.3 / 50000 / 2) << volts;
    }
    board.set_battery(12.6);
    board.write_register(port_id::b, 0, 0x80);
    EXPECT_EQ(board.adc_raw(2), -25000) << "B.7 written but not an output";
    board.write_register(port_id::b, 4, 0x80);
    EXPECT_NEAR(raw_to_volts(board.adc_raw(2)) * battery_scale + battery_offset, 12.6, battery_scale * 3.3 / 50000);
    board.set_raw(2, -77);
    EXPECT_EQ(board.adc_raw(2), -77);
}

// Each stimulus line's own level, the idle level, the wrong variant and a
// board without the fixture are the self test's (SelfTestWorld); here the
// limit variant, which lines take a variant, and two lines on one channel.
TEST_F(BoardModel, FixtureLimitVariantAndTwoLinesOnOneChannel) {
    board.set_fixture(true);
    for (port_id port : all_ports) board.write_register(port, 4, 0xFF);
    board.write_register(port_id::b, 0, 0x81);  // B.7 (index 1) and B.0 (index 8) both on channel 0
    EXPECT_EQ(board.adc_raw(0), volts_to_raw(fixture_levels[8]));
    EXPECT_TRUE(board.set_fixture_variant("b.0", fixture_variant::limit));
    EXPECT_EQ(board.adc_raw(0), volts_to_raw((fixture_levels[7] + fixture_levels[8]) / 2));
    EXPECT_FALSE(board.set_fixture_variant("B.9", fixture_variant::wrong));
    EXPECT_FALSE(board.set_fixture_variant("A.0", fixture_variant::wrong)) << "not a stimulus line";
}

TEST(ControlWire, WordsSurviveEncoding) {
    std::vector<std::string> words{"run", "/tmp/a dir", "sh", "-c", "echo 50% done\nnext", "", "\x01\x7f"};
    std::string line = encode_words(words);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(decode_words(line), words);
    EXPECT_EQ(decode_words("  set   diode 0.5 \r"), (std::vector<std::string>{"set", "diode", "0.5"}));
    EXPECT_EQ(decode_words("50%zz %4"), (std::vector<std::string>{"50%zz", "%4"}));
}

}  // namespace
}  // namespace boardsim
