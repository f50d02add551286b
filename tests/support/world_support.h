// Running commands in boardsim worlds from the tests, and reading the
// key=value words the world, the probe and the driver print.
#pragma once

#include "support/process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

extern const std::string boardsim_path;
extern const std::string probe_path;

// Why worlds cannot start for this user here, or empty when they can.
std::string world_unavailable();

// `boardsim options -- /bin/sh -c script`, with $P (probe), $B (boardsim),
// $T (tovk), $D (the driver of tovk's library) and $R (reference server)
// set for the script.
process_result in_world(const std::vector<std::string>& options, const std::string& script,
                        std::chrono::milliseconds timeout = std::chrono::seconds(90));
std::vector<std::string> world_argv(const std::vector<std::string>& options, const std::string& script);

// `boardsim run` of a command inside the running world that `control` reaches.
process_result run_in_world(const std::string& control, const std::vector<std::string>& command);

// Every value of `key=` in `text`, in order.
std::vector<std::string> values_of(const std::string& text, const std::string& key);
// Whether `text` (a run's output) holds each of the `key=value` words and no
// other value of their keys; `key=a|b` asks for the values a then b.
testing::AssertionResult said(const std::string& text, const std::string& words);
testing::AssertionResult said(const process_result& run, const std::string& words);
// The first value of each of `keys` in `line`, space-separated ("?" if missing).
std::string fields_of(const std::string& line, const std::vector<std::string>& keys);
// Lines of `text` containing every one of `words`.
std::vector<std::string> lines_with(const std::string& text, const std::vector<std::string>& words);
// A register of a port as `boardsim ctl regs` shows it ("dir", "data").
unsigned register_of(const std::string& regs, char port, const std::string& key);
std::string file_text(const std::string& path);

// A fresh directory under /tmp, removed with its files when the owner goes.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Skips the test for a missing piece of the machine; under CI (the
// environment names CI) nothing may be missing, so it fails instead.
#define SKIP_UNLESS_CI(reason)                                                  \
    do {                                                                        \
        if (std::getenv("CI") != nullptr) FAIL() << "CI refuses to skip: " << (reason); \
        GTEST_SKIP() << (reason);                                               \
    } while (false)

#define SKIP_WITHOUT_WORLDS()                                   \
    do {                                                        \
        std::string reason = world_unavailable();               \
        if (!reason.empty()) SKIP_UNLESS_CI(reason);            \
    } while (false)

// A suite whose every test runs in worlds.
class world_test : public testing::Test {
protected:
    void SetUp() override { SKIP_WITHOUT_WORLDS(); }
};
