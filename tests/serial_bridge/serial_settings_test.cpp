#include "support/process.h"
#include "support/raw_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string usage_head = "Concentrator hardware management daemon\n";

std::string settings_text(int channel, long baud, int data, char parity, int stop) {
    return "ch=" + std::to_string(channel) + "\nbaud=" + std::to_string(baud) + "\nchar=" + std::to_string(data) +
           "\nparity=" + parity + "\nstop=" + std::to_string(stop) + "\n";
}

process_result run_f(std::vector<std::string> words) {
    words.insert(words.begin(), "f");
    return run_tovk(words);
}

std::vector<std::uint8_t> stored_record() {
    raw_record record;
    return record.bytes(raw_offset::ser_ch, raw_offset::ser_odd + 1 - raw_offset::ser_ch);
}

TEST(SerialSettings, FreshRecordShowsZerosWithAnyOtherWordCount) {
    for (const auto& words : std::vector<std::vector<std::string>>{{}, {"1"}, {"1", "2", "3", "4"}}) {
        process_result shown = run_f(words);
        EXPECT_EQ(shown.status, 0);
        EXPECT_EQ(shown.out, settings_text(0, 0, 0, 'N', 0));
    }
}

TEST(SerialSettings, AcceptedFormatsAreStoredAndPrinted) {
    struct example {
        std::vector<std::string> words;
        std::string shown;
        std::vector<std::uint8_t> record;  // ch, baud (4 bytes, little-endian), stop, data, parity, odd
    };
    for (const example& each : std::vector<example>{
             {{"1", "115200", "8", "n", "1"}, settings_text(1, 115200, 8, 'N', 1), {1, 0x00, 0xC2, 0x01, 0, 1, 8, 0, 0}},
             {{"3", "9600", "8", "even", "1"}, settings_text(3, 9600, 8, 'E', 1), {3, 0x80, 0x25, 0, 0, 1, 8, 1, 0}},
             {{"0", "4000000", "7", "O", "2"}, settings_text(0, 4000000, 7, 'O', 2), {0, 0x00, 0x09, 0x3D, 0, 2, 7, 1, 1}},
             {{"2", "50", "7", "N", "2"}, settings_text(2, 50, 7, 'N', 2), {2, 50, 0, 0, 0, 2, 7, 0, 0}},
             {{" 2x", "+1200", "8", "N", "2"}, settings_text(2, 1200, 8, 'N', 2), {2, 0xB0, 0x04, 0, 0, 2, 8, 0, 0}}}) {
        process_result set = run_f(each.words);
        EXPECT_EQ(set.status, 0) << each.shown;
        EXPECT_EQ(set.out, each.shown);
        EXPECT_EQ(stored_record(), each.record) << each.shown;
    }
}

TEST(SerialSettings, RejectionsPrintUsageAndLeaveTheRecordAlone) {
    ASSERT_EQ(run_f({"1", "19200", "8", "E", "1"}).status, 0);
    std::vector<std::uint8_t> before = stored_record();
    struct rejection {
        std::vector<std::string> words;
        bool unsupported_mode;
    };
    for (const rejection& each : std::vector<rejection>{
             {{"1", "115200", "7", "n", "1"}, true}, {{"1", "9600", "8", "o", "2"}, true},
             {{"1", "9600", "8", "E", "2"}, true}, {{"4", "9600", "8", "N", "1"}, false},
             {{"-1", "9600", "8", "N", "1"}, false}, {{"1", "14400", "8", "N", "1"}, false},
             {{"1", "0", "8", "N", "1"}, false}, {{"1", "9600", "9", "N", "1"}, false},
             {{"1", "9600", "8", "X", "1"}, false}, {{"1", "9600", "8", "", "1"}, false},
             {{"1", "9600", "8", "N", "3"}, false}, {{"5", "9600", "7", "N", "1"}, false},
             {{"x", "9600", "8", "N", "1"}, false}}) {
        process_result rejected = run_f(each.words);
        std::string label = testing::PrintToString(each.words);
        EXPECT_EQ(rejected.status, 1) << label;
        std::string expected_head = each.unsupported_mode ? "Unsupported serial port mode.\n" + usage_head : usage_head;
        EXPECT_EQ(rejected.out.substr(0, expected_head.size()), expected_head) << label;
        EXPECT_EQ(stored_record(), before) << label;
    }
    EXPECT_EQ(run_f({}).out, settings_text(1, 19200, 8, 'E', 1)) << "shown from the record without words";
}

}  // namespace
