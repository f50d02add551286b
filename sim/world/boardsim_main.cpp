// boardsim's command line: a command in a new world, or a client of a running one.
#include "client.h"
#include "control_protocol.h"
#include "launcher.h"
#include "verb_table.h"

#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char usage_text[] =
    "usage: boardsim [options] [--] command [args...]\n"
    "       boardsim ctl [--control PATH] VERB [words...]\n"
    "       boardsim run [--control PATH] [--] command [args...]\n"
    "options:\n"
    "  --control PATH     control socket (default: a private one); exported as BOARDSIM_CONTROL\n"
    "  --log DIR          write the logs to DIR/<kind>.log\n"
    "  --vcd FILE         at the end, write the board's lines as a Value Change Dump to FILE\n"
    "  --script FILE      control verbs to apply at start, one a line, # comments\n"
    "  --do VERB          one control verb to apply at start (repeatable)\n"
    "  --fixture          the board sits on the test fixture\n"
    "  --textfile-dir     /var/lib/prometheus/node-exporter exists (empty); without it, it does not\n"
    "  --missing DEV      start without /dev/DEV (porta..porth, adc0..adc4)\n"
    "  --unopenable DEV   /dev/DEV exists but cannot be opened\n"
    "  --channel N=KIND   UART channel N: pic, echo, none, fixture, unix:PATH\n"
    "  --also COMMAND     shell command started in the world before the command (repeatable)\n"
    "  --shim PATH        preload library for the world (default: beside boardsim)\n"
    "  --help             this text and the control verbs\n";

std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

std::string default_shim() {
    char exe[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) return "";
    std::string path(exe, static_cast<std::size_t>(length));
    path = path.substr(0, path.rfind('/') + 1) + "libboardsim_shim.so";
    return access(path.c_str(), R_OK) == 0 ? path : "";
}

int usage() {
    std::fputs(usage_text, stderr);
    return 2;
}

int help() {
    std::fputs(usage_text, stdout);
    for (const std::string& line : boardsim::verb_help()) std::printf("%s\n", line.c_str());
    return 0;
}

bool channel_verb(const std::string& assignment, std::string& verb) {
    std::size_t equals = assignment.find('=');
    if (equals == std::string::npos) return false;
    std::string kind = assignment.substr(equals + 1);
    if (kind.rfind("unix:", 0) == 0) {
        verb = boardsim::encode_words({"channel", assignment.substr(0, equals), "unix", absolute(kind.substr(5))});
    } else {
        verb = boardsim::encode_words({"channel", assignment.substr(0, equals), kind});
    }
    return true;
}

// Fills options from argv[first..]; false on a usage error.
bool parse_world_options(int argc, char** argv, boardsim::world_options& options) {
    options.shim_path = default_shim();
    int i = 1;
    for (; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--") {
            ++i;
            break;
        }
        if (option.rfind("--", 0) != 0) break;
        if (option == "--fixture") {
            options.fixture = true;
            continue;
        }
        if (option == "--textfile-dir") {
            options.textfile_dir = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        std::string value = argv[++i];
        if (option == "--control") options.control_path = absolute(value);
        else if (option == "--log") options.log_dir = absolute(value);
        else if (option == "--vcd") options.vcd_path = absolute(value);
        else if (option == "--script") options.script = absolute(value);
        else if (option == "--do") options.verbs.push_back(value);
        else if (option == "--also") options.also.push_back(value);
        else if (option == "--shim") options.shim_path = absolute(value);
        else if (option == "--missing") options.verbs.push_back("device " + value + " missing");
        else if (option == "--unopenable") options.verbs.push_back("device " + value + " unopenable");
        else if (option == "--channel") {
            std::string verb;
            if (!channel_verb(value, verb)) return false;
            options.verbs.push_back(verb);
        } else {
            return false;
        }
    }
    for (; i < argc; ++i) options.command.push_back(argv[i]);
    return !options.command.empty();
}

// For ctl and run: an optional --control PATH, then the rest.
std::string control_path_and_rest(int argc, char** argv, std::vector<std::string>& rest) {
    const char* from_environment = std::getenv("BOARDSIM_CONTROL");
    std::string path = from_environment ? from_environment : "";
    int i = 2;
    if (i + 1 < argc && std::strcmp(argv[i], "--control") == 0) {
        path = absolute(argv[i + 1]);
        i += 2;
    }
    if (i < argc && std::strcmp(argv[i], "--") == 0) ++i;
    for (; i < argc; ++i) rest.push_back(argv[i]);
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) return help();
    if (argc >= 2 && (std::strcmp(argv[1], "ctl") == 0 || std::strcmp(argv[1], "run") == 0)) {
        std::vector<std::string> rest;
        std::string path = control_path_and_rest(argc, argv, rest);
        if (path.empty() || rest.empty()) return usage();
        return std::strcmp(argv[1], "ctl") == 0 ? boardsim::control_client(path, rest)
                                                : boardsim::run_client(path, rest);
    }
    boardsim::world_options options;
    if (!parse_world_options(argc, argv, options)) return usage();
    return boardsim::launch_world(options);
}
