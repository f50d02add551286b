// libasound, loaded when the audio test runs: no other command maps it.
#pragma once

#include <alsa/asoundlib.h>

#include <string>

#define TOVK_ALSA_ENTRY_POINTS(X)                                                                              \
    X(snd_strerror) X(snd_pcm_open) X(snd_pcm_close) X(snd_pcm_prepare) X(snd_pcm_wait) X(snd_pcm_writei)       \
    X(snd_pcm_readi) X(snd_pcm_status) X(snd_pcm_status_get_state) X(snd_pcm_status_sizeof)                     \
    X(snd_pcm_format_width) X(snd_pcm_format_physical_width) X(snd_pcm_hw_params_sizeof) X(snd_pcm_hw_params)   \
    X(snd_pcm_hw_params_any) X(snd_pcm_hw_params_set_rate_resample) X(snd_pcm_hw_params_set_access)             \
    X(snd_pcm_hw_params_set_format) X(snd_pcm_hw_params_set_channels) X(snd_pcm_hw_params_set_rate_near)        \
    X(snd_pcm_hw_params_set_buffer_time_near) X(snd_pcm_hw_params_get_buffer_size)                              \
    X(snd_pcm_hw_params_set_period_time_near) X(snd_pcm_hw_params_get_period_size) X(snd_pcm_sw_params_sizeof)  \
    X(snd_pcm_sw_params) X(snd_pcm_sw_params_current) X(snd_pcm_sw_params_set_start_threshold)                  \
    X(snd_pcm_sw_params_set_avail_min)

// The entry points the audio test calls, under the library's own names.
struct alsa_library {
// The name declares a member: it cannot be parenthesised.
#define TOVK_ALSA_POINTER(name) decltype(&::name) name = nullptr;  // NOLINT(bugprone-macro-parentheses)
    TOVK_ALSA_ENTRY_POINTS(TOVK_ALSA_POINTER)
#undef TOVK_ALSA_POINTER
};

// Loads the library; null when it or one of its entry
// points is missing, with the loader's reason in why_not.
const alsa_library* alsa_library_load(std::string& why_not);
