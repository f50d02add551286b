// Starting and reaping the world's processes.
#include "supervisor.h"

#include "stop_signals.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace boardsim {

namespace {

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// In the child: the defaults a fresh program expects, then the program.
[[noreturn]] void become(char** argv, char** environment, const std::vector<int>& stdio, const std::string& cwd) {
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE}) signal(signal_number, SIG_DFL);
    for (std::size_t i = 0; i < stdio.size() && i < 3; ++i) dup2(stdio[i], static_cast<int>(i));
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    close_range(3, ~0u, 0);
    execvpe(argv[0], argv, environment);
    _exit(127);
}

}  // namespace

int exit_status_of(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return 1;
}

void supervisor::prepare_environment(const std::string& shim_path, const std::string& control_path,
                                     const std::string& consumed_counter_path) {
    std::string preload = shim_path;
    std::string asan = "verify_asan_link_order=0";
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string variable = *entry;
        if (starts_with(variable, "LD_PRELOAD=")) {
            if (!variable.substr(11).empty()) preload += (preload.empty() ? "" : ":") + variable.substr(11);
        } else if (starts_with(variable, "ASAN_OPTIONS=")) {
            asan.insert(0, variable.substr(13) + ":");
        } else if (!starts_with(variable, "BOARDSIM_CONTROL=") && !starts_with(variable, "BOARDSIM_UART_CONSUMED=")) {
            environment_.push_back(variable);
        }
    }
    if (!preload.empty()) environment_.push_back("LD_PRELOAD=" + preload);
    environment_.push_back("ASAN_OPTIONS=" + asan);
    environment_.push_back("BOARDSIM_CONTROL=" + control_path);
    environment_.push_back("BOARDSIM_UART_CONSUMED=" + consumed_counter_path);
}

pid_t supervisor::spawn(const std::vector<std::string>& argv, const std::vector<int>& stdio, const std::string& cwd,
                        const std::shared_ptr<child_record>& record) {
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment = environment_;
    std::vector<char*> arg_pointers = pointers_to(arguments);
    std::vector<char*> env_pointers = pointers_to(environment);
    std::lock_guard guard(lock_);
    pid_t pid = fork();
    if (pid == 0) become(arg_pointers.data(), env_pointers.data(), stdio, cwd);
    if (pid > 0) children_[pid] = record;
    return pid;
}

void supervisor::spawn_shell(const std::string& command) {
    spawn({"/bin/sh", "-c", command}, {}, "", std::make_shared<child_record>());
}

int supervisor::run_command(const std::vector<std::string>& argv) {
    forward_stop_signals_to(0);
    pid_t command = spawn(argv, {}, "", std::make_shared<child_record>());
    if (command <= 0) return -1;
    forward_stop_signals_to(command);
    int status = reap_until_ends(command);
    forward_stop_signals_to(0);
    return status;
}

// The record of a child that ended, or null for an orphan that came to us.
std::shared_ptr<child_record> supervisor::settle(pid_t pid, int wait_status) {
    std::shared_ptr<child_record> record;
    {
        std::lock_guard guard(lock_);
        auto found = children_.find(pid);
        if (found == children_.end()) return nullptr;
        record = found->second;
        children_.erase(found);
        record->done = true;
        record->status = exit_status_of(wait_status);
        if (record->connection != -1) shutdown(record->connection, SHUT_RD);
    }
    child_ended_.notify_all();
    return record;
}

int supervisor::reap_until_ends(pid_t command) {
    for (;;) {
        int wait_status = 0;
        pid_t pid = waitpid(-1, &wait_status, 0);
        if (pid == -1 && errno == EINTR) continue;
        if (pid == -1) return 1;
        std::shared_ptr<child_record> record = settle(pid, wait_status);
        if (record && pid == command) return record->status;
    }
}

void supervisor::reap_all() {
    kill(-1, SIGKILL);
    for (;;) {
        int wait_status = 0;
        pid_t pid = waitpid(-1, &wait_status, 0);
        if (pid == -1 && errno == EINTR) continue;
        if (pid == -1) break;
        settle(pid, wait_status);
    }
}

int supervisor::hang_up_and_wait(pid_t pid, const std::shared_ptr<child_record>& record) {
    std::unique_lock guard(lock_);
    if (!record->done) kill(pid, SIGHUP);
    child_ended_.wait(guard, [&] { return record->done; });
    return record->status;
}

}  // namespace boardsim
