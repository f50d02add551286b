#include "board/serial_line.h"
#include "ipc/shared_state.h"
#include "pic/pic_link.h"
#include "pic/pic_operations.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

TEST(PicFrames, StreamByteCounts) {
    EXPECT_EQ(pic_bytes(20, 16384, 2), 82);
    EXPECT_EQ(pic_bytes(1046.875, 16384, 2), 4288);
    EXPECT_EQ(pic_bytes(1000, 16384, 4), 8192);
    EXPECT_EQ(pic_bytes(28.076171875, 16384, 2), 115);
    EXPECT_EQ(pic_bytes(1 * 1000.0 / 32 + 21.240234375, 16384, 2), 215);
    EXPECT_EQ(pic_bytes(0 * 1000.0 / 32 + 4.8828125, 16384, 2), 20);
    EXPECT_EQ(pic_bytes(20, 8000, 2), 40);
    EXPECT_EQ(pic_bytes(0, 16384, 2), 0);
}

TEST(PicFrames, ChannelMasks) {
    EXPECT_EQ(pic_channel_mask(1), 1u);
    EXPECT_EQ(pic_channel_mask(2), 2u);
    EXPECT_EQ(pic_channel_mask(32), 0x80000000u);
    EXPECT_EQ(pic_channel_mask(0), 0u);
    EXPECT_EQ(pic_channel_mask(33), 0u);
    EXPECT_EQ(pic_channel_mask(-1), 0u);
}

TEST(PicRepack, TwoBitSamplesBecomeFourBitSamples) {
    bytes input = {0xE4, 0x1B};  // samples 0,1,2,3 then 3,2,1,0
    bytes out(4, 0xFF);
    pic_repack(input, 2, out, 4, 8);
    EXPECT_EQ(out, (bytes{0x10, 0x32, 0x23, 0x01}));
}

// One sample short of whole input bytes takes the bit-by-bit way: both ways
// must agree on every sample they both produce.
TEST(PicRepack, ByteWiseAndBitWiseWaysAgree) {
    bytes input(4096);
    std::uint32_t seed = 12345;
    for (auto& byte : input) byte = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    bytes whole(8192), short_by_one(8192);
    pic_repack(input, 2, whole, 4, 16384);
    pic_repack(input, 2, short_by_one, 4, 16383);
    EXPECT_TRUE(std::equal(whole.begin(), whole.end() - 1, short_by_one.begin()));
    EXPECT_EQ(whole.back() & 0x0F, short_by_one.back() & 0x0F);
    for (std::uint8_t byte : whole) EXPECT_EQ(byte & 0xCC, 0) << "bits 2 and 3 of every sample are 0";
}

TEST(PicRepack, DroppedAndZeroChannels) {
    // Three input channels into two: the third bit of every sample is dropped.
    bytes three = {0b10'110'101, 0b1};  // samples 101, 110, 110 (bits from bit 0 upwards)
    bytes two(1, 0);
    pic_repack(three, 3, two, 2, 3);
    EXPECT_EQ(two[0], 0b10'10'01);

    // One input channel into eight: each sample becomes one byte holding its bit.
    bytes one = {0b0110};
    bytes eight(4, 0xAA);
    pic_repack(one, 1, eight, 8, 4);
    EXPECT_EQ(eight, (bytes{0, 1, 1, 0}));

    // Input that runs out reads as zeros; output that is full takes nothing more.
    bytes short_input = {0xFF};
    bytes small(1, 0);
    pic_repack(short_input, 2, small, 4, 16);
    EXPECT_EQ(small[0], 0x33);
}

TEST(PicParameters, RecordValuesAreCheckedBeforeTheySizeAnything) {
    shared_state block{};
    block.sample_rate = 16384;
    block.in_channels = 2;
    block.out_channels = 4;
    block.select_pulse_ms = 20;
    pic_parameters parameters{};
    ASSERT_TRUE(pic_parameters_from(block, parameters));
    EXPECT_EQ(pic_capture_size(parameters), 8192u);

    for (auto spoil : std::vector<void (*)(shared_state&)>{
             [](shared_state& b) { b.sample_rate = 0; }, [](shared_state& b) { b.in_channels = 0; },
             [](shared_state& b) { b.in_channels = 9; }, [](shared_state& b) { b.out_channels = 0; },
             [](shared_state& b) { b.out_channels = 200; }}) {
        shared_state bad = block;
        spoil(bad);
        EXPECT_FALSE(pic_parameters_from(bad, parameters));
        std::vector<std::uint8_t> out(8192);
        EXPECT_FALSE(pic_capture(bad, 3, out)) << "a bad record fails before any exchange";
        EXPECT_FALSE(pic_legacy_command(bad, 1, 1, 1));
        EXPECT_FALSE(pic_packet_send(bad, 1, 4, out.data()));
    }
    EXPECT_FALSE(pic_packet_send(block, 1, 81, std::vector<std::uint8_t>(100).data())) << "pkt_len above 80";
    std::vector<std::uint8_t> too_small(100);
    EXPECT_FALSE(pic_capture(block, 3, too_small));
}

// A line that stays readable but fails every read, as one that was hung up:
// the stream operations give up after their time-out instead of spinning.
TEST(PicStream, ReadsThatKeepFailingEndWithTheTimeOut) {
    serial_fd.reset(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(serial_fd.valid());
    std::uint8_t buffer[16];
    EXPECT_FALSE(pic_stream_skip(10));
    EXPECT_FALSE(pic_stream_read(buffer, sizeof buffer));
    serial_fd.reset();
}

}  // namespace
