#include "support/world_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

const std::string boardsim_path = BOARDSIM_PATH;
const std::string probe_path = PROBE_PATH;
const std::string driver_under_test = driver_path(TOVK_DRIVER_PATH);
const std::string refserver_path = REFSERVER_PATH;

std::string world_unavailable() {
    int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd == -1) return "/dev/fuse cannot be opened by this user, so the board's device files cannot be served";
    close(fd);
    return "";
}

std::vector<std::string> world_argv(const std::vector<std::string>& options, const std::string& script) {
    std::vector<std::string> argv{"boardsim"};
    argv.insert(argv.end(), options.begin(), options.end());
    std::string prelude = "P='" + probe_path + "'; B='" + boardsim_path + "'; T='" + tovk_path() + "'; D='" +
                          driver_under_test + "'; R='" + refserver_path + "'; ";
    argv.insert(argv.end(), {"--", "/bin/sh", "-c", prelude + script});
    return argv;
}

namespace {

process_result finished(child_process& child, std::chrono::milliseconds timeout, const char* what) {
    std::optional<process_result> result = child.finish(timeout);
    if (!result) {
        ADD_FAILURE() << what << " did not end within " << timeout.count() << " ms";
        return {};
    }
    return *result;
}

}  // namespace

process_result in_world(const std::vector<std::string>& options, const std::string& script,
                        std::chrono::milliseconds timeout) {
    child_process world(boardsim_path, world_argv(options, script));
    process_result result = finished(world, timeout, "the world");
    // The kernel's undo would hide a missing or doubled unlock; the world's
    // shim does not.
    if (result.err.find("lock balance broken") != std::string::npos) ADD_FAILURE() << result.err;
    return result;
}

process_result run_in_world(const std::string& control, const std::vector<std::string>& command) {
    std::vector<std::string> argv{"boardsim", "run", "--control", control, "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    child_process client(boardsim_path, argv);
    return finished(client, std::chrono::seconds(20), "boardsim run");
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

unsigned register_of(const std::string& regs, char port, const std::string& key) {
    std::vector<std::string> line = lines_with(regs, {std::string("port=") + port + " "});
    std::vector<std::string> value = line.empty() ? std::vector<std::string>{} : values_of(line.front(), key);
    if (value.empty()) {
        ADD_FAILURE() << "no " << key << " of port " << port << " in: " << regs;
        return ~0u;
    }
    return static_cast<unsigned>(std::stoul(value.front(), nullptr, 16));
}

std::string file_text(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

scratch_dir::scratch_dir() {
    char pattern[] = "/tmp/boardsim-test.XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}
