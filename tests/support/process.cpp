#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace {

#ifdef TOVK_TARGET_EMULATOR
// The emulator's command, its words separated by '|'.
const std::vector<std::string> emulator = [] {
    std::vector<std::string> words;
    std::istringstream text(TOVK_TARGET_EMULATOR);
    for (std::string word; std::getline(text, word, '|');) words.push_back(word);
    return words;
}();

bool is_arm_program(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return false;
    char header[20] = {};
    bool whole = read(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header);
    close(fd);
    // An ELF file whose machine is EM_ARM (40).
    return whole && std::memcmp(header, "\x7F" "ELF", 4) == 0 && std::memcmp(header + 18, "\x28\0", 2) == 0;
}

// Opened before any test can mount over the folder it lives in.
const int emulator_fd = open(emulator.front().c_str(), O_RDONLY | O_CLOEXEC);
#endif

// Runs path with argv (argv[0] being the name the program sees): in a cross
// build, a target program is run by the emulator.
void exec_command(const std::string& path, const std::vector<std::string>& argv) {
    std::vector<std::string> command{path};
    command.insert(command.end(), argv.begin(), argv.end());
#ifdef TOVK_TARGET_EMULATOR
    bool emulated = is_arm_program(path);
    if (emulated) {
        command = emulator;
        command.insert(command.end(), {"-0", argv.empty() ? path : argv.front(), path});
        if (!argv.empty()) command.insert(command.end(), argv.begin() + 1, argv.end());
    }
#endif
    std::vector<char*> args;
    for (const std::string& arg : command) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
#ifdef TOVK_TARGET_EMULATOR
    if (emulated) {
        fexecve(emulator_fd, args.data(), environ);
        return;
    }
#endif
    execv(path.c_str(), args.data() + 1);
}

void close_fd(int& fd) {
    if (fd != -1) close(fd);
    fd = -1;
}

// Appends what one read brings; at the end of the output, closes fd.
void read_some(int& fd, std::string& into) {
    char buffer[4096];
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0) into.append(buffer, static_cast<size_t>(count));
    if (count == 0 || (count == -1 && errno != EINTR)) close_fd(fd);
}

}  // namespace

child_process::child_process(const std::string& path, const std::vector<std::string>& argv, int connection) {
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(connection != -1 ? connection : open("/dev/null", O_RDONLY), 0);
        dup2(connection != -1 ? connection : out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        exec_command(path, argv);
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
}

child_process::~child_process() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_fd(out_fd_);
    close_fd(err_fd_);
}

bool child_process::running() {
    int wait_status = 0;
    if (reaped_ || waitpid(pid_, &wait_status, WNOHANG) != pid_) return !reaped_;
    reaped_ = true;
    result_.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                     : WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : -1;
    return false;
}

void child_process::signal(int signal_number) const { kill(pid_, signal_number); }

void child_process::collect(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_fd_ != -1 || err_fd_ != -1) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
        if (fds[0].revents != 0) read_some(out_fd_, result_.out);
        if (fds[1].revents != 0) read_some(err_fd_, result_.err);
    }
}

std::optional<process_result> child_process::finish(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    collect(timeout);
    // A daemon's grandchild may keep the pipes open: the exit still counts.
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        usleep(1000);
    }
    collect(std::chrono::milliseconds(100));
    return result_;
}

// The ARM build runs the build machine's world suites against the board's
// programs: launchers that start them under qemu-user stand in for them.
std::string program_under_test(const char* variable, const std::string& built) {
    const char* stand_in = getenv(variable);
    return stand_in != nullptr && *stand_in != '\0' ? stand_in : built;
}

bool target_emulated() {
#ifdef TOVK_TARGET_EMULATOR
    return true;
#else
    return tovk_path() != TOVK_PATH;
#endif
}

const std::string& tovk_path() {
    static const std::string path = program_under_test("TOVK_TEST_TOVK", TOVK_PATH);
    return path;
}

process_result finished(child_process& child, std::chrono::milliseconds timeout, const std::string& what) {
    std::optional<process_result> result = child.finish(timeout);
    if (result) return *result;
    ADD_FAILURE() << what << " did not end within " << timeout.count() << " ms";
    return {};
}

process_result run_tovk(const std::vector<std::string>& words, std::chrono::milliseconds timeout) {
    std::vector<std::string> argv{"tovk"};
    argv.insert(argv.end(), words.begin(), words.end());
    child_process child(tovk_path(), argv);
    return finished(child, timeout, "tovk");
}
