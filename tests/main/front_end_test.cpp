#include "support/process.h"
#include "support/raw_record.h"

#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

const std::string usage_text =
    "Concentrator hardware management daemon\n"
    "Usage: tovk <cmd> [param]\n"
    "Commands are:\n"
    "s [host] - set (get, if not specified) name or address of server\n"
    "l [level] - set (get, if not specified) zlib compression level\n"
    "p <direction> <packet> - send data packet to specified direction\n"
    "x [0/1] - disable external power\n"
    "d - dump information\n"
    "z - perform self test\n"
    "i  [host] - run service in foreground\n"
    "m  [host] - daemonize\n"
    "r - remove server\n"
    "e <ch> [i/o] - enable serial channel\n"
    "f [ch] [baud] [data] [parity] [stop] - set (get, if not specified) channel (0-3), baud rate, "
    "data bits count (7-8), parity (N/E/O), stop bits count (1/2) for serial-TCP server\n"
    "n - serial port server for inetd\n";

TEST(FrontEnd, UsageTextAndStatusForMissingOrUnknownCommands) {
    process_result none = run_tovk({});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, usage_text);

    for (const char* word : {"q", "", "D", "?", "1"}) {
        process_result unknown = run_tovk({word});
        EXPECT_EQ(unknown.status, 1) << "command word '" << word << "'";
        EXPECT_EQ(unknown.out, usage_text) << "command word '" << word << "'";
    }
}

TEST(FrontEnd, WrongWordCountsPrintUsageWithStatusZero) {
    for (const auto& words : std::vector<std::vector<std::string>>{
             {"p"}, {"p", "1"}, {"p", "1", "2", "3"}, {"x"}, {"x", "1", "2"}, {"e"}, {"e", "1", "2", "3"}}) {
        process_result result = run_tovk(words);
        EXPECT_EQ(result.status, 0) << words[0] << " with " << words.size() - 1 << " words";
        EXPECT_EQ(result.out, usage_text) << words[0] << " with " << words.size() - 1 << " words";
    }
}

TEST(FrontEnd, OnlyTheFirstCharacterSelectsTheCommand) {
    process_result level = run_tovk({"level-please", "7"});
    EXPECT_EQ(level.status, 0);
    EXPECT_EQ(level.out, "7\n");

    process_result packet = run_tovk({"p", "1", "abc"});
    EXPECT_EQ(packet.status, 0);
    raw_record record;
    ASSERT_TRUE(record.attached());
    EXPECT_EQ(record.u8(raw_offset::pkt_len), 5);
}

// Mounts a tmpfs over the folder /bin names, holding only what the test puts
// there; lives in this test process's private mount namespace.
class bin_folder_override {
public:
    bin_folder_override() {
        char resolved[PATH_MAX];
        if (realpath("/bin", resolved) == nullptr) return;
        folder_ = resolved;
        mounted_ = mount("tmpfs", folder_.c_str(), "tmpfs", 0, "mode=0755") == 0;
    }
    ~bin_folder_override() {
        if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    void add(const std::string& source, const std::string& name) const {
        std::filesystem::copy_file(source, folder_ + "/" + name);
    }

private:
    std::string folder_;
    bool mounted_ = false;
};

std::string link_under_name(const std::string& name) {
    std::string folder = testing::TempDir() + "handover-" + std::to_string(getpid());
    std::filesystem::create_directories(folder);
    std::string path = folder + "/" + name;
    std::filesystem::remove(path);
    std::filesystem::create_symlink(tovk_path(), path);
    return path;
}

TEST(FrontEnd, AnyOtherNameHandsOverToBusyboxWithArgumentsAndEnvironment) {
    if (target_emulated())
        GTEST_SKIP() << "qemu-user emulates one program: the hand-over's execve of another ARM program "
                        "would need binfmt_misc, which the emulated test run does not register";
    bin_folder_override bin;
    ASSERT_TRUE(bin.mounted());
    bin.add(BUSYBOX_STAND_IN, "busybox");
    std::string path = link_under_name("ls");
    setenv("TOVK_HANDOVER_MARK", "kept", 1);

    child_process child(path, {path, "-l", "/tmp"});
    std::optional<process_result> result = child.finish(std::chrono::seconds(10));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 7);
    EXPECT_EQ(result->out, "argv[0]=" + path + "\nargv[1]=-l\nargv[2]=/tmp\nmark=kept\n");

    // The name is what follows the last slash: a path ending in tovk is tovk.
    child_process real(tovk_path(), {"/some/where/tovk", "l"});
    std::optional<process_result> level = real.finish(std::chrono::seconds(10));
    ASSERT_TRUE(level);
    EXPECT_EQ(level->out, "0\n");
}

TEST(FrontEnd, FailedHandOverExitsOneSilently) {
    bin_folder_override empty_bin;
    ASSERT_TRUE(empty_bin.mounted());
    std::string path = link_under_name("tovk-old");
    child_process child(path, {path, "l"});
    std::optional<process_result> result = child.finish(std::chrono::seconds(10));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 1);
    EXPECT_EQ(result->out, "");
    EXPECT_EQ(result->err, "");
}

}  // namespace
