// The PIC link and operations against the simulated PIC: what the model
// parsed, streamed and measured in consumed stream bytes is the oracle.
#include "pic/pic_link.h"
#include "pic_model.h"
#include "support/world_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include <string>
#include <vector>

namespace {

// Runs the driver with the given operations in a world with the given
// options, then prints the PIC log after a line "--- pic".
process_result drive(const std::vector<std::string>& options, const std::string& operations,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    return in_world(options, "\"$D\" params 16384 2 4 gpio_setup " + operations +
                                 "; echo '--- pic'; \"$B\" ctl log pic", timeout);
}

std::string pic_log(const process_result& run) { return run.out.substr(run.out.find("--- pic")); }

TEST(PicLinkWorld, VersionAnswersAndWhatTheQueryLeavesBehind) {
    SKIP_WITHOUT_WORLDS();
    struct example {
        const char* reply;
        const char* version;
    };
    for (const example& each : std::vector<example>{{"digit", "3"}, {"silence", "2"}, {"wrong", "-1"}, {"v-silence", "-1"}}) {
        process_result run = drive({"--do", std::string("pic reply ") + each.reply}, "version");
        EXPECT_EQ(values_of(run.out, "version"), std::vector<std::string>{each.version}) << each.reply;
        std::string log = pic_log(run);
        EXPECT_EQ(lines_with(log, {"frame", "kind=version"}).size(), 1u) << each.reply;
        EXPECT_TRUE(lines_with(log, {"malformed"}).empty()) << log;
        EXPECT_EQ(values_of(lines_with(log, {" lines "}).back(), "attention"), std::vector<std::string>{"0"})
            << "the query leaves attention low until the next exchange";
    }
    process_result two = drive({"--do", "pic version 2"}, "version");
    EXPECT_EQ(values_of(two.out, "version"), std::vector<std::string>{"2"});
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

TEST(PicLinkWorld, CaptureHoldsExactlyTheStreamWindowAfterThePulse) {
    SKIP_WITHOUT_WORLDS();
    process_result run = drive({}, "capture 3");
    ASSERT_EQ(values_of(run.out, "capture"), std::vector<std::string>{"1"}) << run.out;
    std::string log = pic_log(run);
    auto pulses = lines_with(log, {" pulse t=", "stream=1"});
    ASSERT_EQ(pulses.size(), 1u) << log;
    EXPECT_EQ(values_of(pulses[0], "width"), std::vector<std::string>{"82"});
    EXPECT_EQ(values_of(pulses[0], "mask"), std::vector<std::string>{"3"});
    long stamped_read_start = std::stol(values_of(pulses[0], "start")[0]) + 82;

    std::vector<std::string> out = values_of(run.out, "out");
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].size(), 2u * 8192);
    long window = find_window(out[0], stamped_read_start + 115, 2, 4);
    ASSERT_NE(window, -1) << "the capture is no window of the stream near the pulse";
    EXPECT_EQ(window, stamped_read_start + 115) << "the re-pack starts 115 bytes after the pulse";
    long read_start = window - 115;

    auto closing = lines_with(log, {" lines ", "stream=1", "attention=1"});
    ASSERT_FALSE(closing.empty());
    EXPECT_EQ(std::stol(values_of(closing[0], "consumed")[0]), read_start + 4288)
        << "the capture reads 4288 bytes after the pulse before it closes";
}

TEST(PicLinkWorld, CaptureDropsAndZeroesChannelsByTheRecord) {
    SKIP_WITHOUT_WORLDS();
    // Four input channels into two output channels, and one into four.
    struct example {
        unsigned in, out;
        long lead;
    };
    for (const example& each : std::vector<example>{{4, 2, 230}, {1, 4, 58}}) {
        std::string words = std::to_string(each.in) + " " + std::to_string(each.out);
        process_result run = in_world({"--do", "pic channels " + std::to_string(each.in)},
                                      "\"$D\" params 16384 " + words + " gpio_setup capture 15; \"$B\" ctl log pic pulse");
        ASSERT_EQ(values_of(run.out, "capture"), std::vector<std::string>{"1"}) << words;
        auto pulses = lines_with(run.out, {" pulse t=", "stream=1"});
        ASSERT_EQ(pulses.size(), 1u) << words;
        long stamped = std::stol(values_of(pulses[0], "start")[0]) + std::stol(values_of(pulses[0], "width")[0]);
        EXPECT_EQ(each.lead, pic_bytes(28.076171875, 16384, each.in));
        std::string out = values_of(run.out, "out").at(0);
        ASSERT_EQ(out.size(), 2u * 16384 * each.out / 8) << words;
        EXPECT_EQ(find_window(out, stamped + each.lead, each.in, each.out), stamped + each.lead) << words;
    }
}

TEST(PicLinkWorld, LegacyCommandPulsesAndGapsInStreamBytes) {
    SKIP_WITHOUT_WORLDS();
    struct example {
        int channel, address, code;
        long mask;
    };
    for (const example& each : std::vector<example>{{1, 1, 1, 1}, {2, 5, 1, 2}, {1, 32, 64, 1}, {2, 17, 33, 2}}) {
        std::string words = std::to_string(each.channel) + " " + std::to_string(each.address) + " " + std::to_string(each.code);
        process_result run = drive({}, "legacy " + words);
        ASSERT_EQ(values_of(run.out, "legacy"), std::vector<std::string>{"1"}) << words;
        auto pulses = lines_with(pic_log(run), {" pulse t=", "stream=1"});
        ASSERT_EQ(pulses.size(), 3u) << words;
        std::vector<long> widths, gaps, masks;
        for (const std::string& pulse : pulses) {
            widths.push_back(std::stol(values_of(pulse, "width")[0]));
            masks.push_back(std::stol(values_of(pulse, "mask")[0]));
            if (values_of(pulse, "gap")[0] != "-") gaps.push_back(std::stol(values_of(pulse, "gap")[0]));
        }
        EXPECT_EQ(widths, (std::vector<long>{82, 82, 82})) << words;
        EXPECT_EQ(masks, (std::vector<long>{each.mask, each.mask, each.mask})) << words;
        long address_gap = pic_bytes(each.address * 1000.0 / 32 + 21.240234375, 16384, 2);
        long code_gap = pic_bytes((each.code - 1) * 1000.0 / 32 + 4.8828125, 16384, 2);
        EXPECT_EQ(gaps, (std::vector<long>{address_gap, code_gap})) << words;
        std::printf("legacy channel=%d address=%d code=%d expected=%ld,%ld measured=%ld,%ld\n", each.channel,
                    each.address, each.code, address_gap, code_gap, gaps.size() > 0 ? gaps[0] : -1,
                    gaps.size() > 1 ? gaps[1] : -1);
    }
}

// Microseconds of a log time as printed ("t=0.015232"), without rounding.
long long log_microseconds(const std::string& printed) {
    std::string digits = printed;
    digits.erase(digits.find('.'), 1);
    return std::stoll(digits);
}

std::vector<long long> intervals(const std::vector<long long>& edges) {
    std::vector<long long> between;
    for (std::size_t i = 1; i < edges.size(); ++i) between.push_back(edges[i] - edges[i - 1]);
    return between;
}

// A logic analyser's reader sees in the dump the pulses and gaps the lines log holds.
TEST(PicLinkWorld, ValueChangeDumpReadsBackInALogicAnalysersToolAsTheLinesLog) {
    SKIP_WITHOUT_WORLDS();
    if (std::system("command -v sigrok-cli >/dev/null") != 0) {
        SKIP_UNLESS_CI("sigrok-cli is missing (./dev test installs it)");
    }
    scratch_dir dir;
    std::string vcd = dir.path() + "/lines.vcd";
    ASSERT_EQ(drive({"--log", dir.path(), "--vcd", vcd}, "legacy 1 9 4").status, 0);

    std::vector<long long> logged_edges;
    int select_bit = -1;
    for (const std::string& line : lines_with(file_text(dir.path() + "/lines.log"), {"name=channel_select "})) {
        logged_edges.push_back(log_microseconds(values_of(line, "t").at(0)));
        if (int mask = std::stoi(values_of(line, "new").at(0)); mask != 0) select_bit = std::countr_zero(unsigned(mask));
    }
    ASSERT_EQ(logged_edges.size(), 6u) << "three select pulses";
    ASSERT_GE(select_bit, 0);

    child_process sigrok("/usr/bin/env",
                         {"env", "sigrok-cli", "-I", "vcd", "-i", vcd, "-P",
                          "timing:data=channel_select" + std::to_string(select_bit), "--protocol-decoder-samplenum",
                          "-A", "timing=time"});
    std::optional<process_result> read = sigrok.finish(std::chrono::seconds(30));
    ASSERT_TRUE(read && read->status == 0) << (read ? read->err : "sigrok-cli hung");
    std::vector<long long> seen;  // "start-end timing-1: ..." in samples of 1 us
    for (const std::string& line : lines_with(read->out, {"timing-1:"})) {
        std::size_t dash = line.find('-');
        seen.push_back(std::stoll(line.substr(dash + 1)) - std::stoll(line.substr(0, dash)));
    }
    EXPECT_EQ(seen, intervals(logged_edges)) << read->out;
    std::printf("pulse and gap widths in us, lines log vs sigrok-cli:");
    for (long long each : seen) std::printf(" %lld", each);
    std::printf("\n");
}

TEST(PicLinkWorld, PacketSendFramesPulsesAndEndsAsTheModelSees) {
    SKIP_WITHOUT_WORLDS();
    struct example {
        int direction;
        const char* expected_dir;
    };
    for (const example& each : std::vector<example>{{1, "1"}, {2, "2"}, {0, "none"}, {3, "none"}}) {
        process_result run = drive({}, "packet " + std::to_string(each.direction) + " 5F02024014A8");
        ASSERT_EQ(values_of(run.out, "packet"), std::vector<std::string>{"1"}) << each.direction;
        std::string log = pic_log(run);
        auto packets = lines_with(log, {" packet t=", "stream=1"});
        ASSERT_EQ(packets.size(), 1u) << log;
        EXPECT_EQ(values_of(packets[0], "payload"), std::vector<std::string>{"5F02024014A8"});
        EXPECT_EQ(values_of(packets[0], "well_formed"), std::vector<std::string>{"yes"});
        EXPECT_EQ(values_of(packets[0], "dir"), std::vector<std::string>{each.expected_dir}) << each.direction;
        auto pulses = lines_with(log, {" pulse t=", "stream=1"});
        long end = std::stol(values_of(packets[0], "end").at(0));
        if (std::string(each.expected_dir) == "none") {
            EXPECT_EQ(values_of(packets[0], "pulses"), std::vector<std::string>{"0"});
            continue;
        }
        ASSERT_EQ(pulses.size(), 1u);
        long pulse_end = std::stol(values_of(pulses[0], "start")[0]) + std::stol(values_of(pulses[0], "width")[0]);
        EXPECT_EQ(end - pulse_end, pic_bytes(1300, 16384, 2)) << "1300 ms of stream between pulse and end byte";
    }
}

TEST(PicLinkWorld, FaultsEndEachOperationWithinItsTimeOutsAndFreeTheLine) {
    SKIP_WITHOUT_WORLDS();
    for (const std::string& fault : {std::string("silent"), std::string("stop 2000"), std::string("stall 1000 1.5")}) {
        process_result run = in_world({"--do", "pic fault " + fault},
                                      "\"$D\" params 16384 2 4 gpio_setup capture 3 | grep -v out=; "
                                      "\"$D\" legacy 1 1 1",
                                      std::chrono::seconds(60));
        EXPECT_EQ(values_of(run.out, "capture"), std::vector<std::string>{"0"}) << fault;
        EXPECT_EQ(values_of(run.out, "legacy"), std::vector<std::string>{"0"}) << fault;
    }
}

TEST(PicLinkWorld, AnotherHolderOfTheLineIsNeverRobbed) {
    SKIP_WITHOUT_WORLDS();
    process_result run = in_world({}, "\"$D\" hold_serial 3 & sleep 1; \"$D\" close sem 2; wait");
    EXPECT_EQ(values_of(run.out, "hold_serial"), std::vector<std::string>{"1"});
    EXPECT_EQ(values_of(run.out, "sem2"), std::vector<std::string>{"0"}) << run.out << run.err;
}

}  // namespace
