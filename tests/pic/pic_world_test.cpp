// The PIC link and operations against the simulated PIC: what the model
// parsed, streamed and measured in consumed stream bytes is the oracle.
#include "pic/pic_link.h"
#include "pic_model.h"
#include "support/world_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class PicLinkWorld : public world_test {};

// The driver with the given record rate and channels, then the PIC log after
// a line "--- pic".
process_result drive(const std::vector<std::string>& options, const std::string& operations,
                     const std::string& parameters = "16384 2 4") {
    return in_world(options, R"("$D" params )" + parameters + " gpio_setup " + operations + R"(
        echo '--- pic'; "$B" ctl log pic)",
                    std::chrono::seconds(60));
}

std::string pic_log(const process_result& run) { return run.out.substr(run.out.find("--- pic")); }

TEST_F(PicLinkWorld, VersionAnswersAndWhatTheQueryLeavesBehind) {
    for (auto [pic, version] : std::vector<std::pair<std::string, std::string>>{
             {"reply digit", "3"}, {"reply silence", "2"}, {"reply wrong", "-1"}, {"reply v-silence", "-1"},
             {"version 2", "2"}}) {
        process_result run = drive({"--do", "pic " + pic}, "version");
        EXPECT_TRUE(said(run, "version=" + version)) << pic;
        std::string log = pic_log(run);
        EXPECT_EQ(lines_with(log, {"frame", "kind=version"}).size(), 1u) << pic;
        EXPECT_TRUE(lines_with(log, {"malformed"}).empty()) << log;
        EXPECT_EQ(fields_of(lines_with(log, {" lines "}).back(), {"attention"}), "0")
            << "the query leaves attention low until the next exchange";
    }
}

// Output sample s, channel c < min(in, out): input channel c of sample s of
// the stream window that starts at byte `window` of stream 1; other output
// channels are zero. Written bit by bit, apart from tovk's own re-pack.
std::string expected_capture(std::uint64_t window, unsigned in_channels, unsigned out_channels) {
    std::vector<std::uint8_t> out(16384 * out_channels / 8, 0);
    for (std::uint64_t sample = 0; sample < 16384; ++sample) {
        for (unsigned channel = 0; channel < std::min(in_channels, out_channels); ++channel) {
            std::uint64_t in_bit = window * 8 + sample * in_channels + channel;
            unsigned bit = (boardsim::stream_byte(1, 1, in_bit / 8, in_channels) >> (in_bit % 8)) & 1u;
            std::uint64_t out_bit = sample * out_channels + channel;
            out[out_bit / 8] = static_cast<std::uint8_t>(out[out_bit / 8] | bit << (out_bit % 8));
        }
    }
    std::string hex;
    for (std::uint8_t byte : out) {
        hex += "0123456789ABCDEF"[byte >> 4];
        hex += "0123456789ABCDEF"[byte & 15];
    }
    return hex;
}

// The window the capture came from, searched below the one the world's
// stamps name, so that a wrong placement shows as a distance, not a miss.
long find_window(const std::string& out, long stamped_window, unsigned in_channels, unsigned out_channels) {
    for (long window = stamped_window; window >= std::max(0L, stamped_window - 256); --window) {
        if (out == expected_capture(static_cast<std::uint64_t>(window), in_channels, out_channels)) return window;
    }
    return -1;
}

// Per record: the select pulse's width, the bytes between its end and the
// window, and the bytes read after it before the link closes. Four input
// channels into two drop two; one into four zeroes three.
TEST_F(PicLinkWorld, CaptureHoldsExactlyTheStreamWindowAfterThePulse) {
    struct example {
        unsigned in, out;
        long width, lead, read;
    };
    for (const example& each : std::vector<example>{{2, 4, 82, 115, 4288}, {4, 2, 164, 230, 8576}, {1, 4, 41, 58, 2144}}) {
        std::string words = std::to_string(each.in) + " " + std::to_string(each.out);
        process_result run = drive({"--do", "pic channels " + std::to_string(each.in)}, "capture 3", "16384 " + words);
        ASSERT_TRUE(said(run, "capture=1")) << words;
        std::string log = pic_log(run);
        auto pulses = lines_with(log, {" pulse t=", "stream=1"});
        ASSERT_EQ(pulses.size(), 1u) << log;
        EXPECT_EQ(fields_of(pulses[0], {"width", "mask"}), std::to_string(each.width) + " 3") << words;
        long read_start = std::stol(fields_of(pulses[0], {"start"})) + each.width;
        std::vector<std::string> out = values_of(run.out, "out");
        ASSERT_EQ(out.size(), 1u) << words;
        ASSERT_EQ(out[0].size(), 2u * 16384 * each.out / 8) << words;
        EXPECT_EQ(find_window(out[0], read_start + each.lead, each.in, each.out), read_start + each.lead) << words;
        auto closing = lines_with(log, {" lines ", "stream=1", "attention=1"});
        ASSERT_FALSE(closing.empty()) << log;
        EXPECT_EQ(std::stol(fields_of(closing[0], {"consumed"})), read_start + each.read) << words;
    }
}

TEST_F(PicLinkWorld, LegacyCommandPulsesAndGapsInStreamBytes) {
    struct example {
        int channel, address, code, mask;
    };
    for (const example& each : std::vector<example>{{1, 1, 1, 1}, {2, 5, 1, 2}, {1, 32, 64, 1}, {2, 17, 33, 2}}) {
        std::string words = std::to_string(each.channel) + " " + std::to_string(each.address) + " " + std::to_string(each.code);
        process_result run = drive({}, "legacy " + words);
        ASSERT_TRUE(said(run, "legacy=1")) << words;
        std::vector<std::string> pulses;
        for (const std::string& line : lines_with(pic_log(run), {" pulse t=", "stream=1"}))
            pulses.push_back(fields_of(line, {"width", "mask", "gap"}));
        std::string width_mask = "82 " + std::to_string(each.mask) + " ";
        long address_gap = pic_bytes(each.address * 1000.0 / 32 + 21.240234375, 16384, 2);
        long code_gap = pic_bytes((each.code - 1) * 1000.0 / 32 + 4.8828125, 16384, 2);
        EXPECT_EQ(pulses, (std::vector<std::string>{width_mask + "-", width_mask + std::to_string(address_gap),
                                                    width_mask + std::to_string(code_gap)}))
            << words;
    }
}

// A logic analyser's reader sees in the dump the pulses and gaps the lines log holds.
TEST_F(PicLinkWorld, ValueChangeDumpReadsBackInALogicAnalysersToolAsTheLinesLog) {
    if (std::system("command -v sigrok-cli >/dev/null") != 0) SKIP_UNLESS_CI("sigrok-cli is missing (./dev test installs it)");
    scratch_dir dir;
    std::string vcd = dir.path() + "/lines.vcd";
    ASSERT_EQ(drive({"--log", dir.path(), "--vcd", vcd}, "legacy 1 9 4").status, 0);

    // Between edges, in whole microseconds of the printed stamps ("t=0.015232").
    std::vector<long long> logged;
    long long last = -1;
    int select_bit = 0;
    for (const std::string& line : lines_with(file_text(dir.path() + "/lines.log"), {"name=channel_select "})) {
        std::string stamp = fields_of(line, {"t"});
        long long edge = std::stoll(stamp.erase(stamp.find('.'), 1));
        if (last >= 0) logged.push_back(edge - last);
        last = edge;
        if (int mask = std::stoi(fields_of(line, {"new"})); mask != 0) select_bit = std::countr_zero(unsigned(mask));
    }
    ASSERT_EQ(logged.size(), 5u) << "three select pulses";

    child_process sigrok("/usr/bin/env",
                         {"env", "sigrok-cli", "-I", "vcd", "-i", vcd, "-P",
                          "timing:data=channel_select" + std::to_string(select_bit), "--protocol-decoder-samplenum",
                          "-A", "timing=time"});
    process_result read = finished(sigrok, std::chrono::seconds(30), "sigrok-cli");
    ASSERT_EQ(read.status, 0) << read.err;
    std::vector<long long> seen;  // "start-end timing-1: ..." in samples of 1 us
    for (const std::string& line : lines_with(read.out, {"timing-1:"})) {
        std::size_t dash = line.find('-');
        seen.push_back(std::stoll(line.substr(dash + 1)) - std::stoll(line.substr(0, dash)));
    }
    EXPECT_EQ(seen, logged) << read.out;
}

TEST_F(PicLinkWorld, PacketSendFramesPulsesAndEndsAsTheModelSees) {
    for (auto [direction, dir] : std::vector<std::pair<int, std::string>>{{1, "1"}, {2, "2"}, {0, "none"}, {3, "none"}}) {
        process_result run = drive({}, "packet " + std::to_string(direction) + " 5F02024014A8");
        ASSERT_TRUE(said(run, "packet=1")) << direction;
        std::string log = pic_log(run);
        auto packets = lines_with(log, {" packet t=", "stream=1"});
        ASSERT_EQ(packets.size(), 1u) << log;
        EXPECT_EQ(fields_of(packets[0], {"payload", "well_formed", "dir", "pulses"}),
                  "5F02024014A8 yes " + dir + (dir == "none" ? " 0" : " 1"));
        if (dir == "none") continue;
        auto pulses = lines_with(log, {" pulse t=", "stream=1"});
        ASSERT_EQ(pulses.size(), 1u) << log;
        long pulse_end = std::stol(fields_of(pulses[0], {"start"})) + std::stol(fields_of(pulses[0], {"width"}));
        EXPECT_EQ(std::stol(fields_of(packets[0], {"end"})) - pulse_end, pic_bytes(1300, 16384, 2))
            << "1300 ms of stream between pulse and end byte";
    }
}

TEST_F(PicLinkWorld, FaultsEndEachOperationWithinItsTimeOutsAndFreeTheLine) {
    for (std::string fault : {"silent", "stop 2000", "stall 1000 1.5"}) {
        process_result run = in_world({"--do", "pic fault " + fault},
                                      R"(
            "$D" params 16384 2 4 gpio_setup capture 3 | grep -v out=
            "$D" legacy 1 1 1)",
                                      std::chrono::seconds(60));
        EXPECT_TRUE(said(run, "capture=0 legacy=0")) << fault;
    }
}

TEST_F(PicLinkWorld, AnotherHolderOfTheLineIsNeverRobbed) {
    process_result run = in_world({}, R"("$D" hold_serial 3 & sleep 1; "$D" close sem 2; wait)");
    EXPECT_TRUE(said(run, "hold_serial=1 sem2=0"));
}

}  // namespace
