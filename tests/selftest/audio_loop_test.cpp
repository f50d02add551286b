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

process_result run_audio_test(const audio_loop_config& config, const std::string& tone_bin) {
    config.use_for_children();
    std::optional<process_result> result =
        child_process(AUDIO_DRIVER, {"audio_driver", tone_bin}).finish(std::chrono::seconds(30));
    EXPECT_TRUE(result) << "the audio test did not end";
    return result.value_or(process_result{});
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
        spectrum_line line;
        ASSERT_TRUE(result.out.ends_with("\n") && parse_spectrum_line(result.out.substr(0, result.out.size() - 1), line))
            << result.out;
        EXPECT_EQ(line.key, "test17=" + std::to_string(c.tone_bin * 100));
        const auto tone = static_cast<std::size_t>(c.tone_bin - 1);
        EXPECT_GE(line.amplitudes[tone], c.lowest) << c.what;
        EXPECT_LE(line.amplitudes[tone], c.highest) << c.what;
        std::vector<int> flags(16, 1);
        flags[tone] = c.tone_flag;
        EXPECT_EQ(line.flags, flags) << c.what;
        line.amplitudes[tone] = 0;
        EXPECT_LT(*std::max_element(line.amplitudes.begin(), line.amplitudes.end()), 200) << c.what << ": " << result.out;
        EXPECT_EQ(config.count("capture overrun"), c.overruns) << c.what;
        EXPECT_EQ(config.count("capture start"), 1 + c.overruns) << c.what << ": started again after an overrun";
    }
}

double children_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct refused_case {
    std::vector<std::string> settings;
    bool device_defined;  // false: libasound complains first
    const char* tone_bin;
    int status;
    const char* message;  // what the log stream ends with
    std::vector<std::pair<std::string, long>> events;
};

// Nothing is measured, so no result line may claim a pass. A playback that
// never starts takes nothing and no frame is ever collected: the loop gives
// up by itself, waiting on the device meanwhile instead of spinning.
TEST(AudioLoop, NoMeasurementPrintsNoLineAndWaitsWithoutSpinning) {
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
        {{"fault never_starts"}, true, "10", ETIMEDOUT, "Transfer failed: Connection timed out\n",
         {{"playback start refused", 1}, {"capture start", 0}}},
    };
    for (const refused_case& c : cases) {
        audio_loop_config config(c.settings, c.device_defined);
        const double cpu_before = children_cpu_seconds();
        process_result result = run_audio_test(config, c.tone_bin);
        EXPECT_LT(children_cpu_seconds() - cpu_before, 0.5) << c.message;
        EXPECT_EQ(result.status, c.status) << c.message;
        if (c.device_defined) {
            EXPECT_EQ(result.err, c.message);
        } else {
            EXPECT_TRUE(result.err.ends_with(c.message)) << result.err;
        }
        EXPECT_EQ(result.out, "");
        for (const auto& [event, count] : c.events) EXPECT_EQ(config.count(event), count) << c.message;
    }
}

// Without the library the test fails at its first step and says why.
TEST(AudioLoop, MissingLibraryFailsAtPlaybackOpen) {
    if (target_emulated()) GTEST_SKIP() << "the preload is the build machine's";
    audio_loop_config config({"gain 0.7"});
    setenv("LD_PRELOAD", NO_ALSA_PRELOAD, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    process_result result = run_audio_test(config, "10");
    unsetenv("LD_PRELOAD");
    unsetenv("ASAN_OPTIONS");
    EXPECT_EQ(result.status, ELIBACC);
    EXPECT_TRUE(result.err.starts_with("Playback open error: audio library not available (")) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(config.count("playback start"), 0);
}

}  // namespace
