// The reference server's checks on their own: packet framing, inflating, and
// placing synthetic captures in the PIC's stream.
#include "capture_verifier.h"
#include "pic_log.h"
#include "refserver_fakes.h"
#include "script.h"
#include "upstream_packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

using namespace refserver;
using namespace refserver_fakes;

namespace {

constexpr std::uint64_t seed = 7;

TEST(RefserverPackets, AcknowledgementIsCheckedByteForByte) {
    EXPECT_EQ(check_ack(ack_packet()), "");
    for (std::size_t i = 0; i < 15; ++i) {
        bytes wrong = ack_packet();
        wrong[i] ^= 0x01;
        EXPECT_PRED2(contains, check_ack(wrong), "byte " + std::to_string(i));
    }
}

// Payloads longer than 255 bytes: a length read the wrong way round breaks the framing.
TEST(RefserverPackets, FramingDoesNotDependOnHowBytesArrive) {
    const std::vector<bytes> sent{data_packet(capture_from(seed, 1, 90)), ack_packet(),
                                  data_packet(capture_from(seed, 2, 91), '1')};
    bytes wire;
    for (const bytes& packet : sent) wire.insert(wire.end(), packet.begin(), packet.end());
    for (std::size_t chunk : {std::size_t{1}, std::size_t{5}, std::size_t{4096}, wire.size()}) {
        packet_framer framer;
        std::vector<bytes> framed;
        for (std::size_t at = 0; at < wire.size(); at += chunk) {
            framer.feed(wire.data() + at, std::min(chunk, wire.size() - at));
            while (auto packet = framer.next()) framed.push_back(packet->raw);
        }
        EXPECT_EQ(framed, sent) << chunk;
    }
}

// Unknown types and an acknowledgement of another length cannot be framed.
// (What a partial packet was the session tests show: cut or left unfinished.)
TEST(RefserverPackets, UnknownHeadersBreakTheFraming) {
    for (bytes bad : {bytes{'T', 'D', '0', 0, 1, 9}, bytes{'t', 'C', '0', 0, 1, 9}, bytes{'T', 'E', '3', 0, 11},
                      bytes{'X', 'Y', 0, 0, 0, 1, 2, 3}}) {
        packet_framer garbage;
        garbage.feed(bad.data(), bad.size());
        EXPECT_FALSE(garbage.next());
        EXPECT_PRED2(contains, garbage.error(), bad[1] == 'E' ? "acknowledgement with length" : "unknown packet type")
            << bad[0] << bad[1];
    }
}

TEST(RefserverInflate, WholeStreamsOfExactlyTheExpectedSizeOnly) {
    bytes capture = capture_from(seed, 3, 100);
    bytes payload = data_packet(capture);
    payload.erase(payload.begin(), payload.begin() + 5);
    EXPECT_EQ(inflate_payload(payload.data(), payload.size(), 8192).output, capture);
    EXPECT_NE(inflate_payload(payload.data(), payload.size(), 8191).error, "");
    EXPECT_NE(inflate_payload(payload.data(), payload.size(), 8193).error, "");
    EXPECT_NE(inflate_payload(payload.data(), payload.size() - 15, 8192).error, "");

    // A truncated payload still gives its beginning.
    bytes beginning = inflate_prefix(payload.data(), payload.size() / 2, 8192);
    EXPECT_TRUE(beginning.size() > 100 && std::equal(beginning.begin(), beginning.end(), capture.begin()));

    payload.push_back(0);
    EXPECT_PRED2(contains, inflate_payload(payload.data(), payload.size(), 8192).error, "after the end");
}

// The lead and the capture's length show in the comparison with the
// straightforward re-pack; the read's length in the stamps test below.
TEST(RefserverCapture, RepackMatchesTheStraightforwardOneAndLengthsFollowTheRate) {
    capture_format format;
    EXPECT_EQ(repack(stream_bytes(seed, 2).range(5, 200, format.read_length()), format), capture_from(seed, 5, 200));

    // Three input channels into four: one zero bit per sample, the fourth.
    capture_format three{8, 3, 4};
    EXPECT_EQ(repack(bytes(three.read_length(), 0xFF), three), bytes(4, 0x77));
}

class PlacedCaptures : public ::testing::Test {
protected:
    PlacedCaptures() { log.add_line("config seed=7 channels=2"); }

    // `closed`, unless 0, is where the host ended the exchange.
    void log_capture_stream(std::uint64_t stream, std::int64_t pulse_start, std::int64_t width = 82,
                            std::int64_t closed = 0) {
        std::string number = std::to_string(stream);
        log.add_line("seq=" + number + " t=1.0 stream_start t=1.0 stream=" + number +
                     " kind=sampling rate=16384 channels=2 state=on");
        log.add_line("pulse t=1.1 stream=" + number + " mask=3 start=" + std::to_string(pulse_start) +
                     " width=" + std::to_string(width) + " gap=-");
        if (closed) log.add_line("lines t=2 stream=" + number + " consumed=" + std::to_string(closed) + " attention=1");
    }

    verifier_settings settings(std::int64_t tolerance = 0) const {
        return {.format = {}, .seed = 999, .pic_channels = 0, .tolerance = tolerance};  // the log's seed must win
    }

    pic_log log{"(test)"};
};

// Stream 1's pulse ends at byte 40 + 82. The tolerance forgives a window off
// by that much both ways, and no further; a capture must match bit for bit.
TEST_F(PlacedCaptures, WindowAtThePulseEndWithinTheToleranceAndEveryBit) {
    log_capture_stream(1, 40);
    struct example {
        std::int64_t tolerance;
        std::uint64_t read_begin;
        std::size_t changed_byte;
        std::uint8_t flipped;
        bool verified;
        std::string told;  // in the problem, or the note of a verified capture
    };
    const std::vector<example> examples{
        {0, 122, 0, 0, true, ""},
        {0, 121, 0, 0, false, "1 bytes before the log's stamps (122)"},
        {3, 119, 0, 0, true, "3 bytes before"},
        {3, 125, 0, 0, true, "3 bytes after"},
        {3, 126, 0, 0, false, "4 bytes after"},
        {0, 122, 5000, 0x02, false, "1 of 65536 bits differ, first at byte 5000 bit 1"},
        // Channel 3 of sample 155: never sampled.
        {0, 122, 77, 0x80, false, "1 unsampled channel bits set, first at byte 77"}};
    for (const example& each : examples) {
        bytes capture = capture_from(seed, 1, each.read_begin);
        capture[each.changed_byte] ^= each.flipped;
        auto verdict = capture_verifier(settings(each.tolerance), log).verify(capture);
        EXPECT_EQ(verdict.verified, each.verified) << each.read_begin << ": " << verdict.problem;
        EXPECT_PRED2(contains, verdict.verified ? verdict.note : verdict.problem, each.told);
        if (each.flipped == 0) {
            EXPECT_EQ(verdict.place, (capture_place{1, each.read_begin}));
        }
    }
}

// Each stamp may run ahead of the host on its own; the smallest of the pulse's
// start plus its length, its end, and the exchange's end minus the read wins.
// Each row is a stream of its own, logged just before its capture arrives.
TEST_F(PlacedCaptures, TheEarliestStampPlacesTheRead) {
    struct stamps { std::int64_t start, width, closed; };
    capture_verifier verifier(settings(), log);
    std::uint64_t stream = 0;
    for (stamps ahead : {stamps{40, 87, 122 + 4288}, stamps{45, 82, 122 + 4288}, stamps{40, 90, 130 + 4288}}) {
        log_capture_stream(++stream, ahead.start, ahead.width, ahead.closed);
        EXPECT_EQ(verifier.verify(capture_from(seed, stream, 122)).logged_read_begin, 122) << stream;
    }
}

// Stream 2 carries a pulse-coded command: not a capture, so never missed.
TEST_F(PlacedCaptures, WrongStreamSkippedAndRepeatedCapturesFail) {
    log_capture_stream(1, 40);
    log.add_line("stream_start t=1 stream=2 kind=sampling rate=16384 channels=2");
    for (int start : {0, 300, 600}) {
        log.add_line("pulse t=1 stream=2 mask=1 start=" + std::to_string(start) + " width=82 gap=-");
    }
    log_capture_stream(3, 40);
    log_capture_stream(4, 40);
    capture_verifier verifier(settings(), log);

    // Stream 9 is not a capture the log knows; the line's losses are named
    // (only for a capture left unplaced).
    log.add_line("lost t=2 stream=1 count=3");
    EXPECT_PRED2(contains, verifier.verify(capture_from(seed, 9, 122)).problem, "the line lost 3 bytes of stream 1");

    // Stream 3 before stream 1 arrived: 1 is missing, not 2.
    auto skipping = verifier.verify(capture_from(seed, 3, 122));
    EXPECT_FALSE(skipping.verified);
    EXPECT_EQ(skipping.skipped, std::vector<std::uint64_t>{1});

    // Stream 3 again: not later than the packet before (said of an unplaced capture only).
    EXPECT_PRED2(contains, verifier.verify(capture_from(seed, 3, 122)).problem, "not later than stream 3");

    // A cut connection excuses the captures that were in flight.
    log_capture_stream(5, 40);
    verifier.forgive_gap();
    auto after_cut = verifier.verify(capture_from(seed, 5, 122));
    EXPECT_TRUE(after_cut.verified) << after_cut.problem;
    EXPECT_EQ(after_cut.skipped, std::vector<std::uint64_t>{4});
}

TEST_F(PlacedCaptures, WithoutALogTheStreamIsSearched) {
    pic_log none;
    capture_verifier verifier({.format = {}, .seed = seed}, none);
    // Placed only when verified.
    EXPECT_EQ(verifier.verify(capture_from(seed, 5, 301)).place, (capture_place{5, 301}));

    // Later streams only, and a single wrong bit is still placed and told.
    bytes flipped = capture_from(seed, 7, 17);
    flipped[8000] ^= 0x10;
    EXPECT_PRED2(contains, verifier.verify(flipped).problem, "nearest stream 7 window 132");
    EXPECT_FALSE(verifier.verify(capture_from(seed, 4, 301)).verified);
}

TEST(RefserverLog, LinesWithTheWorldsPrefixAndWithout) {
    pic_log log("(test)");
    log.add_line("seq=3 t=0.5 config reply=digit digit=3 channels=3 seed=42 silent=0");
    log.add_line("stream_start t=1 stream=4 kind=packet rate=16384 channels=2 state=on");
    log.add_line("seq=9 t=2 pulse t=2 stream=4 mask=2 start=5 width=cut gap=-");
    log.add_line("garbage without fields");
    log.add_line("");
    const logged_stream* stream = log.stream(4);
    ASSERT_TRUE(stream && stream->pulses.size() == 1);
    EXPECT_EQ("seed=" + std::to_string(log.seed().value_or(0)) + " channels=" +
                  std::to_string(log.channels().value_or(0)) + " sampling=" + std::to_string(stream->sampling) +
                  " cut pulse=" + std::to_string(!stream->pulses[0].end()) +
                  " capture=" + std::to_string(pic_log::is_capture(*stream)),
              "seed=42 channels=3 sampling=0 cut pulse=1 capture=0");
}

// What the session tests leave out: steps on lines of their own with
// comments, an interval, the bounds a step gets when it names none, and the
// line a bad step names.
TEST(RefserverScript, CommentsIntervalsDefaultBoundsAndBadSteps) {
    auto parsed = parse_script("request 2 every 0.5 # two\ncontinuous 4; continuous forever\n");
    ASSERT_EQ(parsed.steps.size(), 3u) << parsed.error;
    EXPECT_EQ(parsed.steps[0].interval, 0.5);
    EXPECT_EQ(parsed.steps[1].seconds, 17);  // 5 + 3 per packet
    EXPECT_EQ(parsed.steps[2].packets, 0u);
    // Each count in the field of its meaning.
    auto counts = parse_script("request 3; cut 100 maybe; sndbuf small; expect ack 2").steps;
    ASSERT_EQ(counts.size(), 4u);
    EXPECT_EQ(std::tuple(counts[0].requests, counts[1].cut_after_bytes, counts[1].optional, counts[2].small_buffers,
                         counts[3].packets),
              std::tuple(3u, 100u, true, true, 2u));
    for (const char* bad : {"request x", "word 01 02 03", "command 1 2", "mode 4 1", "expect data 0", "frobnicate",
                            "wait", "cut 0", "raw zz", "expect quiet"}) {
        EXPECT_PRED2(contains, parse_script(std::string("wait 1\n") + bad).error, "line 2") << bad;
    }
}

}  // namespace
