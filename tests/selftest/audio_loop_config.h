// A self-contained libasound configuration whose "default" PCM is the
// simulated audio loop, for programs started with ALSA_CONFIG_PATH set.
#pragma once

#include <string>
#include <vector>

class audio_loop_config {
public:
    // settings: lines of the pcm definition, e.g. "gain 0.7"; empty
    // device_defined leaves "default" undefined, as on a board without codec.
    explicit audio_loop_config(const std::vector<std::string>& settings, bool device_defined = true);
    ~audio_loop_config();
    audio_loop_config(const audio_loop_config&) = delete;
    audio_loop_config& operator=(const audio_loop_config&) = delete;

    // How often the loop logged an event: "playback start", "capture overrun", ...
    long count(const std::string& event) const;
    // Points libasound of child processes at this configuration.
    void use_for_children() const;

private:
    std::string folder_;
    std::string path_;
    std::string log_path_;
};

// The "test17=" line split at its commas: key with frequency, then pairs.
struct spectrum_line {
    std::string key;
    std::vector<double> amplitudes;
    std::vector<int> flags;
};
bool parse_spectrum_line(const std::string& line, spectrum_line& parsed);
