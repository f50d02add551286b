// The board is a 32-bit ARM EABI machine: plain char is unsigned, long and
// time_t are 32 bits wide. These run the real program on words and record
// fields where a build for the board could part from the build machine's.
#include "support/process.h"
#include "support/raw_record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#if defined(__arm__)
static_assert(sizeof(std::time_t) == 4, "the board's C library has a 32-bit time_t");
static_assert(sizeof(long) == 4, "long is 32 bits on the board");
static_assert(static_cast<char>(0x80) > 0, "plain char is unsigned on ARM EABI");
#endif

namespace {

using byte_list = std::vector<std::uint8_t>;

TEST(CharSignedness, BytesAboveSeventyFHexAreDataInPacketsAndEscapes) {
    // C3 A9 as they are; %<C1>1 is an escape whose first character is no hex digit.
    process_result queued = run_tovk({"p", "2", "\xC3\xA9%\xC1" "1%\xFF\xFF"});
    ASSERT_EQ(queued.status, 0) << queued.err;

    raw_record record;
    ASSERT_TRUE(record.attached());
    // With its checksum the packet's data bytes sum to zero: C3 + A9 + F1 + EF + B4.
    const byte_list expected{0x5F, 0xC3, 0xA9, 0xF1, 0xEF, 0xB4};
    EXPECT_EQ(record.bytes(raw_offset::pkt, expected.size()), expected);
    EXPECT_EQ(record.u8(raw_offset::pkt_len), expected.size());
    EXPECT_EQ(record.u8(raw_offset::pkt_dir), 2);
}

TEST(CharSignedness, BytesAboveSeventyFHexSeparateServerEntries) {
    ASSERT_EQ(run_tovk({"s", "\xB9" "10.0.0.1\xB7\xFF" "10.0.0.2"}).status, 0);
    raw_record record;
    ASSERT_TRUE(record.attached());
    const std::string stored{"\0" "10.0.0.1\0\0" "10.0.0.2\0", 20};
    auto bytes = record.bytes(raw_offset::servers, stored.size());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), stored);
    EXPECT_EQ(record.i32(raw_offset::servers_len), 20);
    EXPECT_EQ(record.i32(raw_offset::server_pos), 1);
}

TEST(CharSignedness, ParityLetterCountsOnlyWithoutTheHighBit) {
    ASSERT_EQ(run_tovk({"f", "3", "57600", "7", "e", "1"}).status, 0);
    raw_record record;
    ASSERT_TRUE(record.attached());
    const byte_list stored = record.bytes(raw_offset::ser_ch, raw_offset::ser_odd + 1 - raw_offset::ser_ch);
    // N, E and O with bit 7 set, upper and lower case.
    for (const char* letter : {"\xCE", "\xC5", "\xCF", "\xEE", "\xE5", "\xEF"}) {
        process_result refused = run_tovk({"f", "1", "9600", "8", letter, "1"});
        EXPECT_EQ(refused.status, 1) << static_cast<int>(static_cast<unsigned char>(letter[0]));
    }
    EXPECT_EQ(record.bytes(raw_offset::ser_ch, stored.size()), stored);
}

// A level is read as strtol reads it; a word without a number, or with one
// beyond 32 bits, is refused with the usage text and leaves the level alone.
TEST(WordRange, NumbersBeyondThirtyTwoBitsFailOnEveryBuild) {
    for (auto [word, shown] : std::vector<std::pair<const char*, const char*>>{
             {"3rd", "3\n"}, {"2147483647", "2147483647\n"}, {"-2147483648", "-2147483648\n"}}) {
        process_result stored = run_tovk({"l", word});
        EXPECT_EQ(stored.status, 0) << word;
        EXPECT_EQ(stored.out, shown);
    }
    for (const char* level : {"abc", "", "-", "2147483648", "-2147483649", "4294967296", "9223372036854775808"}) {
        process_result refused = run_tovk({"l", level});
        EXPECT_EQ(refused.status, 1) << level;
        EXPECT_EQ(refused.out.rfind("Concentrator hardware management daemon\n", 0), 0u) << level;
    }
    EXPECT_EQ(run_tovk({"l"}).out, "-2147483648\n");
    raw_record record;
    ASSERT_TRUE(record.attached());
    EXPECT_EQ(record.i32(raw_offset::zlevel), INT32_MIN);

    // 9600 plus 2 to the 32nd must not wrap round to a known rate.
    EXPECT_EQ(run_tovk({"f", "1", "4294976896", "8", "N", "1"}).status, 1);
    EXPECT_EQ(run_tovk({"f", "1", "-4294957696", "8", "N", "1"}).status, 1);
    EXPECT_EQ(record.bytes(raw_offset::ser_baud, 4), (byte_list{0, 0, 0, 0}));

    // A direction beyond 32 bits is refused and leaves the slot free.
    EXPECT_EQ(run_tovk({"p", "4294967298", "A"}).status, 1);
    EXPECT_EQ(record.u8(raw_offset::pkt_len), 0);
}

// The service stores its interval before it opens the board, so a start that
// fails for want of a board still shows how the word was read.
TEST(ServiceTime, RoundRobinIntervalAtTheLimitsOfA32BitTimeT) {
    // A word that is no 32-bit number is logged as invalid and stored as 0.
    for (const auto& [word, stored] : std::vector<std::pair<std::string, std::int32_t>>{
             {"2147483647", 2147483647}, {"-5", -5}, {"2147483648", 0}, {"-2147483649", 0}, {"soon", 0}}) {
        process_result started = run_tovk({"i", "10.0.0.1", word});
        EXPECT_EQ(started.status, 1) << word << ": there is no board here";
        EXPECT_EQ(started.err.find("Invalid address round-robin interval!") != std::string::npos, stored == 0)
            << word << started.err;
        raw_record record;
        ASSERT_TRUE(record.attached());
        EXPECT_EQ(record.i32(raw_offset::rr_interval), stored) << word;
        EXPECT_EQ(record.u8(raw_offset::stopped), 1) << word;
    }
}

}  // namespace
