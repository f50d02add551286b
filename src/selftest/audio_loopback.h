// Audio loopback test: plays a steady tone on the PCM device "default" and
// records the fixture's loop at the same time; after about two seconds of
// settling it keeps one second of the first captured channel and prints the
// amplitude at each multiple of 100 Hz up to 1600 Hz as the "test17=" line.
#pragma once

#include <alsa/asoundlib.h>

#include <array>
#include <cstdint>
#include <iosfwd>
#include <span>

constexpr unsigned audio_rate = 8000;
constexpr unsigned audio_channels = 2;
constexpr int spectrum_bins = 16;

// 0 once the result line is printed; otherwise a negative ALSA error code,
// -22 when the rate was not granted exactly, -1 when memory ran out.
int audio_loopback_test(int tone_bin);

// Each prints its own message on failure and returns the failing call's code.
int pcm_configure_hw(snd_pcm_t* handle, snd_pcm_hw_params_t* params, snd_pcm_access_t access,
                     snd_pcm_uframes_t& buffer_size, snd_pcm_uframes_t& period_size);
int pcm_configure_sw(snd_pcm_t* handle, snd_pcm_sw_params_t* params, snd_pcm_uframes_t buffer_size,
                     snd_pcm_uframes_t period_size, bool playback);

// Writes frames of the tone, both channels alike, and carries the phase on.
void tone_fill(std::uint8_t* buffer, snd_pcm_uframes_t frames, double& phase, double frequency);

int loopback_measure(snd_pcm_t* playback, snd_pcm_t* capture, std::uint8_t* playback_period,
                     std::uint8_t* capture_period, snd_pcm_uframes_t period_size, int tone_bin);

// Amplitude at k x 100 Hz for k = 1..16 (index k - 1) of one second of samples.
std::array<double, spectrum_bins> spectrum_amplitudes(std::span<const std::int16_t> history);

// The tone's bin must carry a clean loop, every other bin next to nothing.
bool amplitude_passes(int bin, int tone_bin, double amplitude);

void print_spectrum_line(std::ostream& out, int tone_bin, const std::array<double, spectrum_bins>& amplitudes);
