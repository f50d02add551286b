#include "world_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

const std::string boardsim_path = BOARDSIM_PATH;
const std::string probe_path = PROBE_PATH;

std::string world_unavailable() {
    int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd == -1) return "/dev/fuse cannot be opened by this user, so the board's device files cannot be served";
    close(fd);
    return "";
}

std::vector<std::string> world_argv(const std::vector<std::string>& options, const std::string& script) {
    std::vector<std::string> argv{"boardsim"};
    argv.insert(argv.end(), options.begin(), options.end());
    std::string prelude = "P='" + probe_path + "'; B='" + boardsim_path + "'; T='" + tovk_path() + "'; ";
    argv.insert(argv.end(), {"--", "/bin/sh", "-c", prelude + script});
    return argv;
}

process_result in_world(const std::vector<std::string>& options, const std::string& script,
                        std::chrono::milliseconds timeout) {
    child_process world(boardsim_path, world_argv(options, script));
    std::optional<process_result> result = world.finish(timeout);
    if (!result) {
        ADD_FAILURE() << "the world did not end within " << timeout.count() << " ms";
        return {};
    }
    return *result;
}

std::vector<std::string> values_of(const std::string& text, const std::string& key) {
    std::vector<std::string> values;
    std::string needle = key + "=";
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        if (at > 0 && text[at - 1] != ' ' && text[at - 1] != '\n') continue;
        std::size_t start = at + needle.size();
        values.push_back(text.substr(start, text.find_first_of(" \n", start) - start));
    }
    return values;
}

std::vector<std::string> lines_with(const std::string& text, const std::vector<std::string>& words) {
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        bool all = true;
        for (const std::string& word : words) all = all && line.find(word) != std::string::npos;
        if (all) found.push_back(line);
    }
    return found;
}

scratch_dir::scratch_dir() {
    char pattern[] = "/tmp/boardsim-test.XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}
