// The audio loopback test against the simulated loop, run in a process of
// its own as the self test would run it (see audio_driver.cpp).
#include "audio_loop_config.h"

#include "support/process.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

namespace {

// Runs the device clock four times faster than real time; the measurement
// counts frames, not seconds.
const std::string fast_clock = "speed 4";

process_result run_audio_test(const audio_loop_config& config, const std::string& tone_bin = "10") {
    config.use_for_children();
    std::optional<process_result> result =
        child_process(AUDIO_DRIVER, {"audio_driver", tone_bin}).finish(std::chrono::seconds(30));
    EXPECT_TRUE(result) << "the audio test did not end";
    return result.value_or(process_result{});
}

long count_of(const std::vector<std::string>& events, const std::string& event) {
    return std::count(events.begin(), events.end(), event);
}

struct tone_case {
    const char* what;
    std::vector<std::string> settings;
    int tone_bin;
    double lowest;  // the tone bin's amplitude lies within [lowest, highest]
    double highest;
    int tone_flag;
    long overruns;
};

// The flags only report: every case prints its line and succeeds. Bins
// other than the tone's must stay quiet and pass.
TEST(AudioLoop, ToneComesBackInItsOwnBinOnly) {
    const tone_case cases[] = {
        {"clean loop", {"gain 0.7", "delay 57"}, 10, 22936, 22938, 1, 0},
        {"half scale is not above the limit", {"gain 0.5"}, 10, 16383, 16384, 0, 0},
        {"silent input", {"gain 0"}, 10, 0, 1, 0, 0},
        {"clipping loop", {"gain 1.2"}, 10, 32500, 1e6, 0, 0},
        {"noisy loop", {"gain 0.7", "noise 3000"}, 10, 22787, 23087, 1, 0},
        {"second channel carries the tone too", {"gain 0.7", "crossed 1"}, 10, 22936, 22938, 1, 0},
        {"periods that end mid-cycle join without a step", {"gain 0.7", "period 613"}, 10, 22936, 22938, 1, 0},
        {"highest bin", {"gain 0.7"}, 16, 22936, 22938, 1, 0},
        // Settling ends after 16000 frames: an overrun inside the kept second
        // must not splice the frames before it to those after the restart.
        {"overrun at 6000", {"gain 0.7", "fault overrun_once", "overrun_after 6000"}, 10, 22936, 22938, 1, 1},
        {"overrun at 19000", {"gain 0.7", "fault overrun_once", "overrun_after 19000"}, 10, 22936, 22938, 1, 1},
        {"overrun at 21000", {"gain 0.7", "fault overrun_once", "overrun_after 21000"}, 10, 22936, 22938, 1, 1},
    };
    for (const tone_case& c : cases) {
        std::vector<std::string> settings = c.settings;
        settings.push_back(fast_clock);
        audio_loop_config config(settings);
        process_result result = run_audio_test(config, std::to_string(c.tone_bin));
        EXPECT_EQ(result.status, 0) << c.what << result.err;
        EXPECT_EQ(result.err, "") << c.what;
        EXPECT_TRUE(result.out.ends_with("\n")) << c.what;
        spectrum_line line;
        ASSERT_TRUE(parse_spectrum_line(result.out.substr(0, result.out.find('\n')), line)) << result.out;
        EXPECT_EQ(line.key, "test17=" + std::to_string(c.tone_bin * 100));
        ASSERT_EQ(line.amplitudes.size(), 16u) << c.what;
        for (int bin = 1; bin <= 16; ++bin) {
            double amplitude = line.amplitudes[bin - 1];
            if (bin == c.tone_bin) {
                EXPECT_GE(amplitude, c.lowest) << c.what;
                EXPECT_LE(amplitude, c.highest) << c.what;
                EXPECT_EQ(line.flags[bin - 1], c.tone_flag) << c.what;
            } else {
                EXPECT_LT(amplitude, 200) << c.what << ", bin " << bin;
                EXPECT_EQ(line.flags[bin - 1], 1) << c.what << ", bin " << bin;
            }
        }
        if (c.overruns == 0) continue;
        EXPECT_EQ(count_of(config.events(), "capture overrun"), c.overruns) << c.what;
        EXPECT_EQ(count_of(config.events(), "capture start"), 1 + c.overruns) << "started again after the overrun";
    }
}

struct refused_case {
    std::vector<std::string> settings;
    bool device_defined;
    const char* tone_bin;
    int status;
    const char* message;  // what the log stream ends with
    std::vector<std::pair<std::string, long>> events;
};

// Nothing is measured, so no result line may claim a pass.
TEST(AudioLoop, NoMeasurementPrintsNoLine) {
    const std::pair<std::string, long> never_played{"playback start", 0};
    const refused_case cases[] = {
        {{"rate 8001"}, true, "10", EINVAL, "Rate doesn't match (requested 8000Hz, get 8001Hz)\n", {never_played}},
        {{}, false, "10", ENOENT, "Playback open error: No such file or directory\n", {never_played}},
        // Outside the sixteen bins no flag would check the tone at all.
        {{"gain 0.7"}, true, "0", EINVAL, "Tone bin 0 not measured\n", {never_played}},
        {{"gain 0.7"}, true, "17", EINVAL, "Tone bin 17 not measured\n", {never_played}},
        // Recovered once, not again.
        {{"fault overrun_always", "overrun_after 2000", fast_clock}, true, "10", ETIMEDOUT,
         "Transfer failed: Connection timed out\n", {{"capture overrun", 2}, {"capture start", 2}}},
    };
    for (const refused_case& c : cases) {
        audio_loop_config config(c.settings, c.device_defined);
        process_result result = run_audio_test(config, c.tone_bin);
        EXPECT_EQ(result.status, c.status) << c.message;
        EXPECT_TRUE(result.err.ends_with(c.message)) << result.err;
        EXPECT_EQ(result.out, "");
        for (const auto& [event, count] : c.events) EXPECT_EQ(count_of(config.events(), event), count) << c.message;
    }
}

double children_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The playback stream stays prepared: writes take nothing and no frame is
// ever collected, so the loop has to give up by itself, waiting on the
// device meanwhile instead of asking it again and again.
TEST(AudioLoop, PlaybackThatNeverStartsEndsWithTimeoutWithoutSpinning) {
    audio_loop_config config({"fault never_starts"});
    const double cpu_before = children_cpu_seconds();
    process_result result = run_audio_test(config);
    EXPECT_LT(children_cpu_seconds() - cpu_before, 0.5) << "CPU seconds over the 5 s of waiting";
    EXPECT_EQ(result.status, ETIMEDOUT);
    EXPECT_EQ(result.err, "Transfer failed: Connection timed out\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(count_of(config.events(), "playback start refused"), 1);
    EXPECT_EQ(count_of(config.events(), "capture start"), 0);
}

}  // namespace
