// The audio loopback test against the simulated loop, run in a process of
// its own as the self test would run it (see audio_driver.cpp).
#include "audio_loop_config.h"

#include "support/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

namespace {

// Runs the device clock four times faster than real time; the measurement
// counts frames, not seconds.
const std::string fast_clock = "speed 4";

process_result run_audio_test(const audio_loop_config& config) {
    config.use_for_children();
    child_process driver(AUDIO_DRIVER, {"audio_driver"});
    std::optional<process_result> result = driver.finish(std::chrono::seconds(30));
    if (!result) {
        ADD_FAILURE() << "the audio test did not end";
        return {};
    }
    return *result;
}

spectrum_line measured(const process_result& result) {
    spectrum_line line;
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.out.ends_with("\n"));
    EXPECT_TRUE(parse_spectrum_line(result.out.substr(0, result.out.find('\n')), line)) << result.out;
    EXPECT_EQ(line.key, "test17=1000");
    return line;
}

long count_of(const std::vector<std::string>& events, const std::string& event) {
    return std::count(events.begin(), events.end(), event);
}

TEST(AudioLoop, CleanLoopMeasuresItsGainInTheToneBin) {
    for (auto [gain, expected, flag] : {std::tuple{0.5, 16384.0, 0}, {0.7, 22937.0, 1}}) {
        audio_loop_config config({"gain " + std::to_string(gain), "delay 57", fast_clock});
        process_result result = run_audio_test(config);
        spectrum_line line = measured(result);
        ASSERT_EQ(line.amplitudes.size(), 16u);
        EXPECT_NEAR(line.amplitudes[9], expected, 1.0) << "gain " << gain;
        EXPECT_EQ(line.flags[9], flag) << "gain " << gain;
        for (int bin = 0; bin < 16; ++bin) {
            if (bin == 9) continue;
            EXPECT_LT(line.amplitudes[bin], 200) << "bin " << bin + 1;
            EXPECT_EQ(line.flags[bin], 1) << "bin " << bin + 1;
        }
        EXPECT_EQ(result.err, "");
    }
}

TEST(AudioLoop, FlagsReportSilenceClippingAndNoiseWithoutFailingTheTest) {
    audio_loop_config silent({"gain 0", fast_clock});
    spectrum_line line = measured(run_audio_test(silent));
    ASSERT_EQ(line.flags.size(), 16u);
    EXPECT_LT(line.amplitudes[9], 1.0);
    EXPECT_EQ(line.flags[9], 0);
    EXPECT_EQ(std::count(line.flags.begin(), line.flags.end(), 1), 15);

    audio_loop_config clipping({"gain 1.2", fast_clock});
    line = measured(run_audio_test(clipping));
    ASSERT_EQ(line.flags.size(), 16u);
    EXPECT_GE(line.amplitudes[9], 32500);
    EXPECT_EQ(line.flags[9], 0);

    audio_loop_config noisy({"gain 0.7", "noise 3000", fast_clock});
    line = measured(run_audio_test(noisy));
    ASSERT_EQ(line.flags.size(), 16u);
    EXPECT_NEAR(line.amplitudes[9], 22937.0, 150.0);
    EXPECT_EQ(std::count(line.flags.begin(), line.flags.end(), 1), 16);
}

TEST(AudioLoop, RateNotGrantedExactly) {
    for (auto [rate, message] :
         {std::pair{"7999", "Rate doesn't match (requested 8000Hz, get 7999Hz)\n"},
          {"8001", "Rate doesn't match (requested 8000Hz, get 8001Hz)\n"}}) {
        audio_loop_config config({std::string("rate ") + rate});
        process_result result = run_audio_test(config);
        EXPECT_EQ(result.status, EINVAL) << rate;
        EXPECT_EQ(result.err, message);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(count_of(config.events(), "playback start"), 0);
    }
}

TEST(AudioLoop, NoDevice) {
    audio_loop_config config({}, false);
    process_result result = run_audio_test(config);
    EXPECT_EQ(result.status, ENOENT);
    EXPECT_TRUE(result.err.ends_with("Playback open error: No such file or directory\n")) << result.err;
    EXPECT_EQ(result.out, "");
}

// The playback stream stays prepared: writes return nothing and no frame is
// ever collected, so the loop has to give up by itself.
TEST(AudioLoop, PlaybackThatNeverStartsEndsWithTimeout) {
    audio_loop_config config({"fault never_starts"});
    process_result result = run_audio_test(config);
    EXPECT_EQ(result.status, ETIMEDOUT);
    EXPECT_EQ(result.err, "Transfer failed: Connection timed out\n");
    EXPECT_EQ(result.out, "");
    std::vector<std::string> events = config.events();
    EXPECT_EQ(count_of(events, "playback start refused"), 1);
    EXPECT_EQ(count_of(events, "capture start"), 0);
}

TEST(AudioLoop, OneOverrunIsRecovered) {
    audio_loop_config config({"gain 0.7", "fault overrun_once", "overrun_after 6000", fast_clock});
    spectrum_line line = measured(run_audio_test(config));
    ASSERT_EQ(line.amplitudes.size(), 16u);
    EXPECT_NEAR(line.amplitudes[9], 22937.0, 1.0);
    std::vector<std::string> events = config.events();
    EXPECT_EQ(count_of(events, "capture overrun"), 1);
    EXPECT_EQ(count_of(events, "capture start"), 2) << "started again after the overrun";
}

TEST(AudioLoop, RepeatedOverrunEndsWithTimeout) {
    audio_loop_config config({"fault overrun_always", "overrun_after 2000", fast_clock});
    process_result result = run_audio_test(config);
    EXPECT_EQ(result.status, ETIMEDOUT);
    EXPECT_EQ(result.err, "Transfer failed: Connection timed out\n");
    EXPECT_EQ(result.out, "");
    std::vector<std::string> events = config.events();
    EXPECT_EQ(count_of(events, "capture overrun"), 2) << "recovered once, not again";
    EXPECT_EQ(count_of(events, "capture start"), 2);
}

}  // namespace
