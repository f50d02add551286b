#include "selftest/audio_loopback.h"

#include "base/log.h"
#include "selftest/alsa_library.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <span>
#include <string>

namespace {

constexpr unsigned audio_rate = 8000;
constexpr unsigned audio_channels = 2;
constexpr int spectrum_bins = 16;
constexpr snd_pcm_format_t audio_format = SND_PCM_FORMAT_S16_LE;
constexpr double two_pi = 6.283185307179586;
constexpr int rate_not_granted = -EINVAL;
constexpr int tone_bin_not_measured = -EINVAL;
constexpr int out_of_memory = -1;
constexpr int library_missing = -ELIBACC;
constexpr long settling_frames = 2L * audio_rate;
// Nothing collected for this long means the loop is not coming back.
constexpr auto collect_stall_limit = std::chrono::seconds(5);

// Requested by address: each stream starts from what the one before was granted.
unsigned period_time = 100000;
unsigned buffer_time = 16 * period_time;

// Loaded by audio_loopback_test before any other use.
const alsa_library* alsa = nullptr;

using byte_buffer = std::unique_ptr<std::uint8_t[]>;

byte_buffer zeroed_bytes(std::size_t size) { return byte_buffer(new (std::nothrow) std::uint8_t[size]()); }

struct pcm_closer {
    void operator()(snd_pcm_t* handle) const { alsa->snd_pcm_close(handle); }
};
using pcm_handle = std::unique_ptr<snd_pcm_t, pcm_closer>;

std::size_t bytes_per_frame() {
    return audio_channels * static_cast<std::size_t>(alsa->snd_pcm_format_physical_width(audio_format)) / 8;
}

// Prints "<what><error text>" when code is negative; passes code on.
int reported(int code, const char* what) {
    if (code < 0) log_failure() << what << alsa->snd_strerror(code);
    return code;
}

int set_rate_exactly(snd_pcm_t* handle, snd_pcm_hw_params_t* params) {
    unsigned granted = audio_rate;
    int code = alsa->snd_pcm_hw_params_set_rate_near(handle, params, &granted, nullptr);
    if (code < 0) {
        log_failure() << "Rate " << audio_rate << "Hz not available: " << alsa->snd_strerror(code);
        return code;
    }
    if (granted != audio_rate) {
        log_failure() << "Rate doesn't match (requested " << audio_rate << "Hz, get " << granted << "Hz)";
        return rate_not_granted;
    }
    return 0;
}

int set_format(snd_pcm_t* handle, snd_pcm_hw_params_t* params, snd_pcm_access_t access) {
    int code = reported(alsa->snd_pcm_hw_params_any(handle, params), "Broken configuration: ");
    if (code < 0) return code;
    code = reported(alsa->snd_pcm_hw_params_set_rate_resample(handle, params, 1), "Resampling setup failed: ");
    if (code < 0) return code;
    code = reported(alsa->snd_pcm_hw_params_set_access(handle, params, access), "Access type not available: ");
    if (code < 0) return code;
    code = reported(alsa->snd_pcm_hw_params_set_format(handle, params, audio_format), "Sample format not available: ");
    if (code < 0) return code;
    code = alsa->snd_pcm_hw_params_set_channels(handle, params, audio_channels);
    if (code < 0) {
        log_failure() << "Channels count (" << audio_channels << "i) not available: " << alsa->snd_strerror(code);
        return code;
    }
    return set_rate_exactly(handle, params);
}

int set_sizes(snd_pcm_t* handle, snd_pcm_hw_params_t* params, snd_pcm_uframes_t& buffer_size,
              snd_pcm_uframes_t& period_size) {
    int direction = 0;
    int code = alsa->snd_pcm_hw_params_set_buffer_time_near(handle, params, &buffer_time, &direction);
    if (code < 0) {
        log_failure() << "Unable to set buffer time " << buffer_time << ": " << alsa->snd_strerror(code);
        return code;
    }
    code = reported(alsa->snd_pcm_hw_params_get_buffer_size(params, &buffer_size), "Unable to get buffer size: ");
    if (code < 0) return code;
    code = alsa->snd_pcm_hw_params_set_period_time_near(handle, params, &period_time, &direction);
    if (code < 0) {
        log_failure() << "Unable to set period time " << period_time << ": " << alsa->snd_strerror(code);
        return code;
    }
    return reported(alsa->snd_pcm_hw_params_get_period_size(params, &period_size, &direction),
                    "Unable to get period size: ");
}

int pcm_configure_hw(snd_pcm_t* handle, snd_pcm_hw_params_t* params, snd_pcm_access_t access,
                     snd_pcm_uframes_t& buffer_size, snd_pcm_uframes_t& period_size) {
    int code = set_format(handle, params, access);
    if (code < 0) return code;
    code = set_sizes(handle, params, buffer_size, period_size);
    if (code < 0) return code;
    code = reported(alsa->snd_pcm_hw_params(handle, params), "Unable to set hw params: ");
    return code < 0 ? code : 0;
}

int pcm_configure_sw(snd_pcm_t* handle, snd_pcm_sw_params_t* params, snd_pcm_uframes_t buffer_size,
                     snd_pcm_uframes_t period_size, bool playback) {
    int code = reported(alsa->snd_pcm_sw_params_current(handle, params), "Unable to determine current swparams: ");
    if (code < 0) return code;
    if (playback) {
        snd_pcm_uframes_t whole_periods = (buffer_size / period_size) * period_size;
        code = reported(alsa->snd_pcm_sw_params_set_start_threshold(handle, params, whole_periods),
                        "Unable to set start threshold mode: ");
        if (code < 0) return code;
        code = reported(alsa->snd_pcm_sw_params_set_avail_min(handle, params, period_size), "Unable to set avail min: ");
        if (code < 0) return code;
    }
    code = reported(alsa->snd_pcm_sw_params(handle, params), "Unable to set sw params: ");
    return code < 0 ? code : 0;
}

int open_stream(pcm_handle& handle, snd_pcm_stream_t stream, const char* what) {
    snd_pcm_t* opened = nullptr;
    int code = reported(alsa->snd_pcm_open(&opened, "default", stream, 0), what);
    handle.reset(opened);
    return code;
}

int configure_stream(snd_pcm_t* handle, snd_pcm_hw_params_t* hw, snd_pcm_sw_params_t* sw,
                     snd_pcm_uframes_t& buffer_size, snd_pcm_uframes_t& period_size, bool playback) {
    int code = pcm_configure_hw(handle, hw, SND_PCM_ACCESS_RW_INTERLEAVED, buffer_size, period_size);
    if (code < 0) return code;
    return pcm_configure_sw(handle, sw, buffer_size, period_size, playback);
}

void tone_fill(std::uint8_t* buffer, snd_pcm_uframes_t frames, double& phase, double frequency) {
    const double step = (two_pi * frequency) / audio_rate;
    const int sample_bits = alsa->snd_pcm_format_width(audio_format);
    const double max = std::ldexp(1.0, sample_bits - 1) - 1;
    const std::size_t sample_bytes = static_cast<std::size_t>(sample_bits) / 8;
    for (snd_pcm_uframes_t frame = 0; frame < frames; ++frame) {
        auto value = static_cast<std::int32_t>(std::sin(phase) * max);
        for (unsigned channel = 0; channel < audio_channels; ++channel) {
            for (std::size_t byte = 0; byte < sample_bytes; ++byte) {
                *buffer++ = static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * byte));
            }
        }
        phase += step;
        if (phase >= two_pi) phase -= two_pi;
    }
}

snd_pcm_state_t state_of(snd_pcm_t* handle, snd_pcm_status_t* status) {
    alsa->snd_pcm_status(handle, status);
    return alsa->snd_pcm_status_get_state(status);
}

// Where the write, read and collect loop stands between passes.
struct loop_progress {
    std::uint8_t* write_position = nullptr;
    snd_pcm_uframes_t frames_left = 0;
    double phase = 0.0;
    long frame_counter = -settling_frames;
    bool capture_recovered = false;
    std::chrono::steady_clock::time_point last_collected = std::chrono::steady_clock::now();
};

int milliseconds_until_stalled(const loop_progress& progress) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(progress.last_collected + collect_stall_limit -
                                                             std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// A stream that takes nothing (one whose start does not take) is waited on
// rather than asked again at once; the stall limit bounds the wait.
snd_pcm_sframes_t wait_for_room(snd_pcm_t* playback, const loop_progress& progress) {
    int code = alsa->snd_pcm_wait(playback, milliseconds_until_stalled(progress));
    return code < 0 ? code : 0;
}

// Writes what the device takes of the current period; refills it when done.
snd_pcm_sframes_t play_some(snd_pcm_t* playback, std::uint8_t* period, snd_pcm_uframes_t period_size,
                            double frequency, loop_progress& progress) {
    if (progress.frames_left == 0) {
        tone_fill(period, period_size, progress.phase, frequency);
        progress.write_position = period;
        progress.frames_left = period_size;
    }
    snd_pcm_sframes_t written = alsa->snd_pcm_writei(playback, progress.write_position, progress.frames_left);
    if (written > 0) {
        progress.write_position += static_cast<std::size_t>(written) * bytes_per_frame();
        progress.frames_left -= static_cast<snd_pcm_uframes_t>(written);
        return 0;
    }
    return written == 0 || written == -EAGAIN ? wait_for_room(playback, progress) : written;
}

// Stores first-channel samples once the settling frames are past; true when
// the history is full.
bool collect(const std::uint8_t* captured, snd_pcm_sframes_t frames, std::int16_t* history,
             loop_progress& progress) {
    if (frames > 0) progress.last_collected = std::chrono::steady_clock::now();
    for (snd_pcm_sframes_t frame = 0; frame < frames; ++frame) {
        ++progress.frame_counter;
        if (progress.frame_counter < 0) continue;
        std::memcpy(&history[progress.frame_counter], captured + static_cast<std::size_t>(frame) * bytes_per_frame(),
                    sizeof(std::int16_t));
        if (progress.frame_counter == audio_rate - 1) return true;
    }
    return false;
}

// An overrun capture stream is given one fresh start; after that it has to
// run on its own. What was kept before the overrun does not join what comes
// after the restart, so the settling and the kept second start over.
bool recover_capture_once(snd_pcm_t* capture, snd_pcm_state_t state, loop_progress& progress) {
    if (state != SND_PCM_STATE_XRUN || progress.capture_recovered) return false;
    progress.capture_recovered = true;
    progress.frame_counter = -settling_frames;
    alsa->snd_pcm_prepare(capture);
    return true;
}

bool collecting_stalled(const loop_progress& progress) {
    return std::chrono::steady_clock::now() - progress.last_collected >= collect_stall_limit;
}

std::array<double, spectrum_bins> spectrum_amplitudes(std::span<const std::int16_t> history) {
    const double scale = 2.0 / audio_rate;
    const double step = scale * 314.1592653589793;
    std::array<double, spectrum_bins + 1> sines{};
    std::array<double, spectrum_bins + 1> cosines{};
    for (std::size_t n = 0; n < history.size(); ++n) {
        const double x = static_cast<double>(n) * step;
        for (int k = 1; k <= spectrum_bins; ++k) {
            const double angle = k * x;
            sines[k] += history[n] * std::sin(angle);
            cosines[k] += history[n] * std::cos(angle);
        }
    }
    std::array<double, spectrum_bins> amplitudes{};
    for (int k = 1; k <= spectrum_bins; ++k) {
        const double sine = sines[k] * scale;
        const double cosine = cosines[k] * scale;
        amplitudes[k - 1] = std::sqrt(sine * sine + cosine * cosine);
    }
    return amplitudes;
}

bool amplitude_passes(int bin, int tone_bin, double amplitude) {
    if (bin == tone_bin) return amplitude > 16384 && amplitude < 32500;
    return amplitude < 200;
}

void print_spectrum_line(std::ostream& out, int tone_bin, const std::array<double, spectrum_bins>& amplitudes) {
    out << "test17=" << tone_bin * 100;
    for (int k = 1; k <= spectrum_bins; ++k) {
        out << "," << amplitudes[k - 1] << "," << static_cast<int>(amplitude_passes(k, tone_bin, amplitudes[k - 1]));
    }
    out << std::endl;
}

int loopback_measure(snd_pcm_t* playback, snd_pcm_t* capture, std::uint8_t* playback_period,
                     std::uint8_t* capture_period, snd_pcm_uframes_t period_size, int tone_bin) {
    const std::size_t history_bytes =
        audio_rate * static_cast<std::size_t>(alsa->snd_pcm_format_physical_width(audio_format)) / 8;
    std::unique_ptr<std::int16_t[]> history(new (std::nothrow) std::int16_t[history_bytes / sizeof(std::int16_t)]);
    if (!history) {
        log_failure() << "Not enough memory";
        return out_of_memory;
    }
    byte_buffer playback_status = zeroed_bytes(alsa->snd_pcm_status_sizeof());
    byte_buffer capture_status = zeroed_bytes(alsa->snd_pcm_status_sizeof());
    if (!playback_status || !capture_status) {
        log_failure() << "Not enough memory";
        return out_of_memory;
    }
    auto* playback_state = reinterpret_cast<snd_pcm_status_t*>(playback_status.get());
    auto* capture_state = reinterpret_cast<snd_pcm_status_t*>(capture_status.get());
    const double frequency = tone_bin * 100;
    loop_progress progress;
    while (true) {
        if (collecting_stalled(progress)) return -ETIMEDOUT;
        snd_pcm_sframes_t code = play_some(playback, playback_period, period_size, frequency, progress);
        if (code < 0) return static_cast<int>(code);
        if (state_of(playback, playback_state) != SND_PCM_STATE_RUNNING) continue;
        snd_pcm_state_t state = state_of(capture, capture_state);
        if (recover_capture_once(capture, state, progress)) continue;
        snd_pcm_sframes_t frames = alsa->snd_pcm_readi(capture, capture_period, period_size);
        if (frames <= 0 || state != SND_PCM_STATE_RUNNING) continue;
        if (collect(capture_period, frames, history.get(), progress)) break;
    }
    print_spectrum_line(std::cout, tone_bin, spectrum_amplitudes({history.get(), audio_rate}));
    return 0;
}

}  // namespace

int audio_loopback_test(int tone_bin) {
    if (tone_bin < 1 || tone_bin > spectrum_bins) {
        log_failure() << "Tone bin " << tone_bin << " not measured";
        return tone_bin_not_measured;
    }
    std::string why_not;
    alsa = alsa_library_load(why_not);
    if (alsa == nullptr) {
        log_failure() << "Playback open error: audio library not available (" << why_not << ")";
        return library_missing;
    }
    const std::size_t hw_size = alsa->snd_pcm_hw_params_sizeof();
    const std::size_t sw_size = alsa->snd_pcm_sw_params_sizeof();
    byte_buffer containers[] = {zeroed_bytes(hw_size), zeroed_bytes(sw_size), zeroed_bytes(hw_size),
                                zeroed_bytes(sw_size)};
    for (const byte_buffer& container : containers) {
        if (!container) {
            log_failure() << "No enough memory";
            return out_of_memory;
        }
    }
    auto hw = [&](std::size_t stream) { return reinterpret_cast<snd_pcm_hw_params_t*>(containers[2 * stream].get()); };
    auto sw = [&](std::size_t stream) { return reinterpret_cast<snd_pcm_sw_params_t*>(containers[2 * stream + 1].get()); };

    byte_buffer playback_period;
    byte_buffer capture_period;
    pcm_handle playback;
    pcm_handle capture;
    snd_pcm_uframes_t buffer_size = 0;
    snd_pcm_uframes_t period_size = 0;
    int code = open_stream(playback, SND_PCM_STREAM_PLAYBACK, "Playback open error: ");
    if (code < 0) return code;
    code = configure_stream(playback.get(), hw(0), sw(0), buffer_size, period_size, true);
    if (code < 0) return code;
    code = open_stream(capture, SND_PCM_STREAM_CAPTURE, "Capture open error: ");
    if (code < 0) return code;
    code = configure_stream(capture.get(), hw(1), sw(1), buffer_size, period_size, false);
    if (code < 0) return code;

    playback_period = zeroed_bytes(period_size * bytes_per_frame());
    capture_period = zeroed_bytes(period_size * bytes_per_frame());
    if (!playback_period || !capture_period) {
        log_failure() << "No enough memory";
        return out_of_memory;
    }
    code = loopback_measure(playback.get(), capture.get(), playback_period.get(), capture_period.get(), period_size,
                            tone_bin);
    if (code < 0) log_failure() << "Transfer failed: " << alsa->snd_strerror(code);
    return code;
}
