#include "audio_loop_config.h"

#include "support/process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string fresh_folder() {
    std::string folder = testing::TempDir() + "audio-loop-XXXXXX";
    EXPECT_NE(mkdtemp(folder.data()), nullptr) << folder;
    return folder;
}

}  // namespace

audio_loop_config::audio_loop_config(const std::vector<std::string>& settings, bool device_defined)
    : folder_(fresh_folder()), path_(folder_ + "/asound.conf"), log_path_(folder_ + "/events.log") {
    std::ofstream out(path_);
    out << "pcm_type.audio_loop {\n    lib \"" << program_under_test("TOVK_TEST_AUDIO_LOOP", AUDIO_LOOP_PLUGIN)
        << "\"\n}\n";
    if (device_defined) {
        out << "pcm.!default {\n    type audio_loop\n    log \"" << log_path_ << "\"\n";
        for (const std::string& setting : settings) out << "    " << setting << "\n";
        out << "}\n";
    }
    EXPECT_TRUE(out.good());
}

audio_loop_config::~audio_loop_config() { std::filesystem::remove_all(folder_); }

long audio_loop_config::count(const std::string& event) const {
    std::ifstream in(log_path_);
    long seen = 0;
    for (std::string line; std::getline(in, line);) seen += line == event ? 1 : 0;
    return seen;
}

void audio_loop_config::use_for_children() const { setenv("ALSA_CONFIG_PATH", path_.c_str(), 1); }

bool parse_spectrum_line(const std::string& line, spectrum_line& parsed) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; std::getline(fields, word, ',');) words.push_back(word);
    if (words.size() != 33) return false;
    parsed.key = words[0];
    parsed.amplitudes.clear();
    parsed.flags.clear();
    for (std::size_t pair = 1; pair < words.size(); pair += 2) {
        parsed.amplitudes.push_back(std::stod(words[pair]));
        // Printed in the stream's default format: six significant digits.
        std::ostringstream reprinted;
        reprinted << parsed.amplitudes.back();
        if (reprinted.str() != words[pair]) return false;
        if (words[pair + 1] != "0" && words[pair + 1] != "1") return false;
        parsed.flags.push_back(words[pair + 1] == "1");
    }
    return true;
}
