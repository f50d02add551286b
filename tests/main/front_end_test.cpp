#include "support/process.h"

#include <sys/mount.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

const std::string usage_head = "Concentrator hardware management daemon\nUsage: tovk <cmd> [param]\n";

// An unknown word fails; no word at all, or a known command with the wrong
// number of words, is no failure.
TEST(FrontEnd, UsageTextForMissingUnknownOrMiscountedWords) {
    const std::string usage = run_tovk({}).out;
    ASSERT_EQ(usage.rfind(usage_head, 0), 0u) << usage;
    struct example {
        std::vector<std::string> words;
        int status;
    };
    for (const example& each : std::vector<example>{
             {{}, 0}, {{"q"}, 1}, {{""}, 1}, {{"D"}, 1}, {{"?"}, 1}, {{"1"}, 1}, {{"p"}, 0}, {{"p", "1"}, 0},
             {{"p", "1", "2", "3"}, 0}, {{"x"}, 0}, {{"x", "1", "2"}, 0}, {{"e"}, 0}, {{"e", "1", "2", "3"}, 0}}) {
        process_result result = run_tovk(each.words);
        EXPECT_EQ(result.status, each.status) << testing::PrintToString(each.words);
        EXPECT_EQ(result.out, usage) << testing::PrintToString(each.words);
    }
}

// The name is what follows the last slash: a path ending in tovk is tovk.
TEST(FrontEnd, OnlyTheFirstCharacterSelectsTheCommand) {
    EXPECT_EQ(run_tovk({"level-please", "7"}).out, "7\n");
    EXPECT_EQ(child_process(tovk_path(), {"/some/where/tovk", "l"}).finish(std::chrono::seconds(10)).value().out, "7\n");
}

// Mounts a tmpfs over the folder /bin names, holding only what the test puts
// there; lives in this test process's private mount namespace.
struct bin_folder_override {
    const std::string folder = std::filesystem::canonical("/bin");
    const bool mounted = mount("tmpfs", folder.c_str(), "tmpfs", 0, "mode=0755") == 0;
    ~bin_folder_override() {
        if (mounted) umount2(folder.c_str(), MNT_DETACH);
    }
};

// Any other name is busybox's, even one that starts with tovk: the hand-over
// keeps the arguments and the environment, and exits 1 silently when it fails.
TEST(FrontEnd, AnyOtherNameHandsOverToBusyboxWithArgumentsAndEnvironment) {
    bin_folder_override bin;
    ASSERT_TRUE(bin.mounted);
    const std::string path = "/run/tovk-old";  // this test's own /run
    std::filesystem::create_symlink(tovk_path(), path);
    std::optional<process_result> failed = child_process(path, {path, "l"}).finish(std::chrono::seconds(10));
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, 1);
    EXPECT_EQ(failed->out + failed->err, "");

    if (target_emulated())
        GTEST_SKIP() << "qemu-user emulates one program: the hand-over's execve of another ARM program "
                        "would need binfmt_misc, which the emulated test run does not register";
    std::filesystem::copy_file(BUSYBOX_STAND_IN, bin.folder + "/busybox");
    setenv("TOVK_HANDOVER_MARK", "kept", 1);
    std::optional<process_result> result =
        child_process(path, {path, "-l", "/tmp"}).finish(std::chrono::seconds(10));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 7);
    EXPECT_EQ(result->out, "argv[0]=" + path + "\nargv[1]=-l\nargv[2]=/tmp\nmark=kept\n");
}

}  // namespace
