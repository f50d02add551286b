#include "selftest/audio_loopback.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

constexpr double two_pi = 6.283185307179586;

std::vector<std::int16_t> first_channel(const std::vector<std::uint8_t>& frames) {
    std::vector<std::int16_t> samples(frames.size() / 4);
    for (std::size_t i = 0; i < samples.size(); ++i) std::memcpy(&samples[i], &frames[i * 4], 2);
    return samples;
}

std::vector<std::uint8_t> tone_frames(std::size_t count, double frequency, double& phase) {
    std::vector<std::uint8_t> frames(count * 4);
    tone_fill(frames.data(), count, phase, frequency);
    return frames;
}

// One second of the tone as the loop would bring it back: scaled and rounded.
std::vector<std::int16_t> looped_tone(double frequency, double gain, double start_phase = 0.0) {
    double phase = start_phase;
    std::vector<std::int16_t> history = first_channel(tone_frames(audio_rate, frequency, phase));
    for (std::int16_t& sample : history) sample = static_cast<std::int16_t>(std::lround(sample * gain));
    return history;
}

TEST(ToneFill, SamplesAreTruncatedSinesOnBothChannels) {
    double phase = 0.0;
    std::vector<std::uint8_t> frames = tone_frames(8, 1000, phase);
    const std::int16_t expected[] = {0, 23169, 32767, 23169, 0, -23169, -32767, -23169};
    for (std::size_t frame = 0; frame < 8; ++frame) {
        std::int16_t left = 0;
        std::int16_t right = 0;
        std::memcpy(&left, &frames[frame * 4], 2);
        std::memcpy(&right, &frames[frame * 4 + 2], 2);
        EXPECT_EQ(left, expected[frame]) << "frame " << frame;
        EXPECT_EQ(right, left) << "frame " << frame;
    }
    EXPECT_NEAR(phase, 0.0, 1e-9) << "eight steps of 1000 Hz at 8000 Hz make one full turn";
}

// Consecutive periods must join without a step in the waveform.
TEST(ToneFill, PhaseRunsOnAcrossFills) {
    for (double frequency : {1000.0, 700.0, 1300.0}) {
        double whole_phase = 0.0;
        std::vector<std::uint8_t> whole = tone_frames(2400, frequency, whole_phase);
        double phase = 0.0;
        std::vector<std::uint8_t> pieces;
        for (std::size_t size : {800u, 13u, 787u, 800u}) {
            std::vector<std::uint8_t> piece = tone_frames(size, frequency, phase);
            EXPECT_GE(phase, 0.0);
            EXPECT_LT(phase, two_pi);
            pieces.insert(pieces.end(), piece.begin(), piece.end());
        }
        EXPECT_EQ(pieces, whole) << frequency << " Hz";
        EXPECT_DOUBLE_EQ(phase, whole_phase);
    }
}

TEST(Spectrum, MeasuresTheLoopGainInTheToneBin) {
    for (auto [gain, expected] : {std::pair{0.5, 16384.0}, {0.7, 22937.0}}) {
        for (double start_phase : {0.0, 1.0, 4.0}) {
            std::array<double, spectrum_bins> amplitudes = spectrum_amplitudes(looped_tone(1000, gain, start_phase));
            EXPECT_NEAR(amplitudes[9], expected, 1.0) << "gain " << gain;
            for (int bin = 1; bin <= spectrum_bins; ++bin) {
                if (bin == 10) continue;
                EXPECT_LT(amplitudes[bin - 1], 200) << "bin " << bin;
            }
        }
    }
}

TEST(Spectrum, SeparatesTonesOfDifferentBins) {
    std::vector<std::int16_t> low = looped_tone(300, 0.1);
    std::vector<std::int16_t> high = looped_tone(1600, 0.3, 2.0);
    std::vector<std::int16_t> mixed(audio_rate);
    for (std::size_t n = 0; n < mixed.size(); ++n) mixed[n] = static_cast<std::int16_t>(low[n] + high[n]);
    std::array<double, spectrum_bins> amplitudes = spectrum_amplitudes(mixed);
    EXPECT_NEAR(amplitudes[2], 32767 * 0.1, 1.0);
    EXPECT_NEAR(amplitudes[15], 32767 * 0.3, 1.0);
    EXPECT_LT(amplitudes[9], 1.0);
    EXPECT_LT(spectrum_amplitudes(std::vector<std::int16_t>(audio_rate, 0))[9], 1e-9);
}

TEST(Spectrum, FlagLimitsAreStrict) {
    EXPECT_FALSE(amplitude_passes(10, 10, 16384.0));
    EXPECT_TRUE(amplitude_passes(10, 10, std::nextafter(16384.0, 20000.0)));
    EXPECT_TRUE(amplitude_passes(10, 10, std::nextafter(32500.0, 0.0)));
    EXPECT_FALSE(amplitude_passes(10, 10, 32500.0));
    EXPECT_FALSE(amplitude_passes(10, 10, 32767.0));
    EXPECT_FALSE(amplitude_passes(10, 10, 0.0));
    EXPECT_FALSE(amplitude_passes(3, 10, 200.0));
    EXPECT_TRUE(amplitude_passes(3, 10, std::nextafter(200.0, 0.0)));
    EXPECT_FALSE(amplitude_passes(3, 10, 22937.0)) << "a tone in the wrong bin";
    EXPECT_TRUE(amplitude_passes(3, 3, 22937.0));
}

TEST(Spectrum, ResultLineListsEveryBinWithItsFlag) {
    std::array<double, spectrum_bins> amplitudes{};
    amplitudes[2] = 200;
    amplitudes[9] = 22937.25;
    amplitudes[15] = 12.5;
    std::ostringstream line;
    print_spectrum_line(line, 10, amplitudes);
    EXPECT_EQ(line.str(),
              "test17=1000,0,1,0,1,200,0,0,1,0,1,0,1,0,1,0,1,0,1,22937.2,1,0,1,0,1,0,1,0,1,0,1,12.5,1\n");

    std::ostringstream other_tone;
    print_spectrum_line(other_tone, 3, amplitudes);
    EXPECT_EQ(other_tone.str().substr(0, 24), "test17=300,0,1,0,1,200,0") << "the key stays, the bin moves";
}

}  // namespace
