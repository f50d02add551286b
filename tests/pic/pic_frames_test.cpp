#include "board/serial_line.h"
#include "ipc/shared_state.h"
#include "pic/pic_link.h"
#include "pic/pic_operations.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

TEST(PicFrames, ChannelMaskHasTheChannelsBitForChannelsOneToThirtyTwoOnly) {
    for (auto [channel, mask] : std::vector<std::pair<long, std::uint32_t>>{
             {1, 1u}, {2, 2u}, {32, 0x80000000u}, {0, 0u}, {33, 0u}, {-1, 0u}}) {
        EXPECT_EQ(pic_channel_mask(channel), mask) << channel;
    }
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

TEST(PicRepack, InputThatRunsOutReadsAsZerosAndFullOutputTakesNothingMore) {
    const bytes input = {0xFF};
    bytes out(4, 0xAA);
    pic_repack(input, 2, std::span(out).first(3), 4, 16);
    EXPECT_EQ(out, (bytes{0x33, 0x33, 0x00, 0xAA}));
}

TEST(PicParameters, RecordValuesAreCheckedBeforeTheySizeAnything) {
    shared_state block{};
    block.sample_rate = 16384;
    block.in_channels = 2;
    block.out_channels = 4;
    block.select_pulse_ms = 20;
    pic_parameters parameters{};
    ASSERT_TRUE(pic_parameters_from(block, parameters));

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
