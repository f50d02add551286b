#include "support/world_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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
    std::string prelude = "P='" + probe_path + "'; B='" + boardsim_path + "'; T='" + tovk_path() + "'; D='" +
                          program_under_test("TOVK_TEST_DRIVER", TOVK_DRIVER_PATH) + "'; R='" + REFSERVER_PATH + "'; ";
    argv.insert(argv.end(), {"--", "/bin/sh", "-c", prelude + script});
    return argv;
}

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

testing::AssertionResult said(const std::string& text, const std::string& words) {
    std::istringstream each(words);
    for (std::string word; each >> word;) {
        std::size_t equals = word.find('=');
        std::vector<std::string> expected;
        std::istringstream values(word.substr(equals + 1));
        for (std::string value; std::getline(values, value, '|');) expected.push_back(value);
        if (values_of(text, word.substr(0, equals)) != expected)
            return testing::AssertionFailure() << "not exactly " << word << " in:\n" << text;
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult said(const process_result& run, const std::string& words) {
    return said(run.out, words) << run.err;
}

std::string fields_of(const std::string& line, const std::vector<std::string>& keys) {
    std::string fields;
    for (const std::string& key : keys) {
        std::vector<std::string> values = values_of(line, key);
        fields += (fields.empty() ? "" : " ") + (values.empty() ? "?" : values.front());
    }
    return fields;
}

std::vector<std::string> lines_with(const std::string& text, const std::vector<std::string>& words) {
    std::vector<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        auto in_line = [&line](const std::string& word) { return line.find(word) != std::string::npos; };
        if (std::all_of(words.begin(), words.end(), in_line)) found.push_back(line);
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
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

scratch_dir::scratch_dir() {
    char pattern[] = "/tmp/boardsim-test.XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}
