// Runs programs for the tests: captures both output streams, bounds every
// wait so that a hang fails a test instead of stalling the suite.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

struct process_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

class child_process {
public:
    // argv[0] is the name the program sees; path is what is executed. With a
    // connection, the child gets it as standard input and output (as inetd
    // hands one over) and only its standard error is collected.
    child_process(const std::string& path, const std::vector<std::string>& argv, int connection = -1);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    bool running();
    void signal(int signal_number) const;
    // Collects output until the child ends; nullopt if it is still running.
    std::optional<process_result> finish(std::chrono::milliseconds timeout);

private:
    void collect(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool reaped_ = false;
    process_result result_;
};

// The child's result; on a hang, an empty one and a failure of the calling test.
process_result finished(child_process& child, std::chrono::milliseconds timeout, const std::string& what);

// Runs tovk with the given words; fails the calling test on a hang.
process_result run_tovk(const std::vector<std::string>& words,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A program or library under test: the one built, or the ARM build's stand-in
// that the environment variable names.
std::string program_under_test(const char* variable, const std::string& built);

// The tovk under test (TOVK_TEST_TOVK).
const std::string& tovk_path();

// True when the programs under test are the ARM build's, run under qemu-user.
bool target_emulated();
