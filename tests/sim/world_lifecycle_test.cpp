// Worlds start, run their command, and leave nothing behind; tovk runs in
// them unchanged, up to the whole upstream road: its service on the
// simulated board feeds the reference server, which checks every packet
// against the PIC's own log.
#include "support/world_support.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

namespace {

// What a world could leave on the host: IPC objects and mounts, and processes
// (recognised by a command line word the test made up).
struct host_view {
    std::string ipc_and_mounts;
    int marked = 0;
    int sleeping = 0;  // of those, the marked sleeps themselves

    static host_view now(const std::string& marker) {
        host_view view{file_text("/proc/sysvipc/shm") + file_text("/proc/sysvipc/sem") +
                       file_text("/proc/sysvipc/msg") + file_text("/proc/self/mounts")};
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            std::string cmdline = file_text(entry.path() / "cmdline");
            if (cmdline.find(marker) == std::string::npos) continue;
            ++view.marked;
            if (cmdline.rfind(std::string("sleep\0", 6), 0) == 0) ++view.sleeping;
        }
        return view;
    }
};

std::string marker() { return "3600." + std::to_string(getpid()); }

class WorldLifecycle : public world_test {};

TEST_F(WorldLifecycle, ExitStatusIsTheCommandsAndStdioIsShared) {
    process_result exited = in_world({}, "echo out; echo err >&2; exit 7");
    EXPECT_EQ(exited.out + "|" + exited.err + "|" + std::to_string(exited.status), "out\n|err\n|7");
    EXPECT_EQ(in_world({}, "kill -TERM $$").status, 128 + 15);
    process_result parent = in_world({}, "echo $PPID; tr '\\0' ' ' </proc/1/cmdline");
    EXPECT_EQ(parent.out.substr(0, parent.out.find('\n')), "1") << "the command is a child of the world's init";
    EXPECT_NE(parent.out.find("boardsim"), std::string::npos) << "the world has its own /proc";
    EXPECT_EQ(in_world({"--bogus"}, "true").status, 2);
}

TEST_F(WorldLifecycle, KilledLauncherTakesItsWorldAlong) {
    std::string mark = marker() + "1";
    child_process world(boardsim_path, world_argv({}, "sleep " + mark));
    int seen = 0;
    for (int i = 0; i < 500 && seen == 0; ++i, usleep(20000)) seen = host_view::now(mark).sleeping;
    ASSERT_EQ(seen, 1) << "the world's command never started";
    world.signal(SIGKILL);
    ASSERT_TRUE(world.finish(std::chrono::seconds(10)));
    for (int i = 0; i < 500 && seen != 0; ++i, usleep(20000)) seen = host_view::now(mark).marked;
    EXPECT_EQ(seen, 0) << "the world (its init or its command) outlived its launcher";
}

// Each world has its own record, an orphan in the background and a helper;
// none of it outlives the world.
TEST_F(WorldLifecycle, FiftyParallelWorldsLeaveNothingBehind) {
    host_view before = host_view::now(marker());
    std::vector<std::unique_ptr<child_process>> worlds;
    for (int i = 0; i < 50; ++i) {
        std::string script = "(sleep " + marker() + " &); $T l; $T l " + std::to_string(i % 10) + " >/dev/null; $T l";
        std::vector<std::string> argv = world_argv({"--also", "sleep " + marker()}, script);
        worlds.push_back(std::make_unique<child_process>(boardsim_path, argv));
    }
    for (int i = 0; i < 50; ++i) {
        process_result result = finished(*worlds[i], std::chrono::seconds(60), "world " + std::to_string(i));
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "0\n" + std::to_string(i % 10) + "\n") << "world " << i << " saw another's record";
    }
    worlds.clear();
    host_view after = host_view::now(marker());
    EXPECT_EQ(before.ipc_and_mounts, after.ipc_and_mounts);
    EXPECT_EQ(after.marked, 0) << "processes of a world outlived it";
}

TEST_F(WorldLifecycle, RunJoinsARunningWorld) {
    scratch_dir dir;
    std::string control = dir.path() + "/control";
    child_process world(boardsim_path,
                        world_argv({"--control", control},
                                   "while [ ! -e " + dir.path() + "/done ]; do sleep 0.02; done; $T l"));
    for (int i = 0; i < 250 && access(control.c_str(), F_OK) != 0; ++i) usleep(20000);
    auto run = [&](const std::vector<std::string>& command) { return run_in_world(control, command); };
    EXPECT_EQ(run({tovk_path(), "l", "8"}).out, "8\n");
    process_result shell = run({"/bin/sh", "-c", "echo inside; echo oops >&2; exit 5"});
    EXPECT_EQ(shell.out + "|" + shell.err + "|" + std::to_string(shell.status), "inside\n|oops\n|5");

    std::string started = dir.path() + "/started";
    child_process sleeper(boardsim_path, {"boardsim", "run", "--control", control, "--", "/bin/sh", "-c",
                                          "touch " + started + "; exec sleep 30"});
    for (int i = 0; i < 500 && access(started.c_str(), F_OK) != 0; ++i) usleep(20000);
    sleeper.signal(SIGTERM);
    EXPECT_EQ(finished(sleeper, std::chrono::seconds(10), "boardsim run").status, 128 + SIGTERM)
        << "the signal reaches the command inside";

    std::ofstream(dir.path() + "/done").put('\n');
    process_result ended = finished(world, std::chrono::seconds(20), "the world");
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_EQ(ended.out, "8\n") << "the main command shares the record";
    EXPECT_NE(run({"true"}).status, 0) << "the world is gone";
}

TEST(WorldControl, ScriptAndLogDirectory) {
    SKIP_WITHOUT_WORLDS();
    scratch_dir dir;
    std::ofstream(dir.path() + "/start") << "# board on mains\nset module1 30\naux off\nchannel 2 echo\n";
    process_result result =
        in_world({"--script", dir.path() + "/start", "--log", dir.path() + "/logs"},
                 "$P read porth 0; $B ctl status | grep channel=2; m=$($B ctl mark | cut -d= -f2); "
                 "$B ctl aux on; $B ctl log lines since $m; $B ctl set nothing 1; echo status=$?");
    EXPECT_TRUE(said(result, "value=0x00 channel=2 device=echo status=1"));
    EXPECT_EQ(lines_with(result.out, {"line name=auxpwr", "old=0 new=1"}).size(), 1u);
    EXPECT_TRUE(lines_with(result.out, {"old=1 new=0"}).empty()) << "entries before the mark";
    EXPECT_NE(file_text(dir.path() + "/logs/lines.log").find("line name=auxpwr port=H old=1 new=0"), std::string::npos);
    EXPECT_NE(file_text(dir.path() + "/logs/world.log").find("end status=0"), std::string::npos);
}

// Small buffers on both ends leave the service's send unfinished when the
// server cuts the connection; it must start that packet again from byte 0.
// The service runs in the background, the server in front: the world ends
// with the server's exit status.
TEST(RefserverInWorld, PacketCutByTheServerComesAgainFromByteZero) {
    SKIP_WITHOUT_WORLDS();
    scratch_dir dir;
    process_result result = in_world(
        {"--log", dir.path() + "/log"},
        "W='" + dir.path() + "'" + R"(
        echo '4096 4096 4096' > /proc/sys/net/ipv4/tcp_wmem || exit 77
        "$T" i 127.0.0.1 2>"$W/service.log" & service=$!
        "$R" --pic-log "$W/log" --rcvbuf 1024 \
            'continuous 1 within 20' hold 'request 1' 'wait 3' 'cut 1000' release 'continuous 2 within 20'
        status=$?
        kill $service; wait $service; exit $status)",
        std::chrono::seconds(90));
    if (result.status == 77) SKIP_UNLESS_CI("the world's TCP send buffers cannot be shrunk here");
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(lines_with(result.out, {"-- disconnect: connection 1 cut after 1000 of"}).size(), 1u) << result.out;
    EXPECT_EQ(lines_with(result.out, {"#2 TC", "resend verified (sent again from byte 0 after 1000 bytes"}).size(), 1u)
        << result.out;
    EXPECT_NE(result.out.find("connections=2 resends=1"), std::string::npos) << result.out;
}

}  // namespace
