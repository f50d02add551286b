// The UART inside a world: channel routing, socket endpoints and the PIC
// behind channel 0. The fixture's answers are the self test's (SelfTestWorld),
// what the preload shim records BoardWorld's, the PIC's stamps PicLinkWorld's.
#include "support/world_support.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

const std::string version_query_hex = "02162219370000";

TEST(WorldUart, HostBytesGoOnlyToTheSelectedChannel) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({"--channel", "3=echo"}, "$P uart 2 " + version_query_hex + R"(
        $P uart 3 414243; $B ctl log frames; echo marker; $P uart 0 )" + version_query_hex + R"(
        $B ctl log frames; $B ctl log uart)");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(values_of(result.out, "reply"), (std::vector<std::string>{"-", "414243", "5633"}));
    std::string before = result.out.substr(0, result.out.find("marker"));
    EXPECT_TRUE(lines_with(before, {"frame"}).empty()) << "a query sent on channel 2 reached the PIC";
    EXPECT_EQ(lines_with(result.out, {"host ch=2", "hex=" + version_query_hex}).size(), 1u);
    EXPECT_EQ(lines_with(result.out, {"device ch=3", "hex=414243"}).size(), 1u);
}

int connect_to(const std::string& path) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        close(fd);
        usleep(20000);
    }
    return -1;
}

// A device on a socket hears the host, but is not heard while another
// channel is selected (channel 0 is at first). Both ways on the selected
// channel are the BridgeUnderInetd tests'.
TEST(WorldUart, SocketEndpointIsHeardOnlyOnItsChannel) {
    SKIP_WITHOUT_WORLDS();
    scratch_dir dir;
    std::string control = dir.path() + "/control";
    child_process world(boardsim_path, world_argv({"--control", control, "--channel", "1=unix:" + dir.path() + "/ch1"},
                                                  "while [ ! -e " + dir.path() + "/done ]; do sleep 0.02; done"));
    int device = connect_to(dir.path() + "/ch1");
    ASSERT_NE(device, -1);
    ASSERT_EQ(send(device, "\x01", 1, 0), 1);
    usleep(100000);
    process_result later = run_in_world(control, {probe_path, "uart", "1", "c3"});
    EXPECT_EQ(values_of(later.out, "reply"), (std::vector<std::string>{"-"}));
    char heard = 0;
    pollfd ready{device, POLLIN, 0};
    EXPECT_TRUE(poll(&ready, 1, 5000) == 1 && recv(device, &heard, 1, 0) == 1 && heard == '\xc3');

    process_result log = run_in_world(control, {boardsim_path, "ctl", "log", "uart"});
    EXPECT_EQ(lines_with(log.out, {"dropped ch=1 count=1"}).size(), 1u) << log.out;
    std::ofstream(dir.path() + "/done").put('\n');
    std::optional<process_result> ended = world.finish(std::chrono::seconds(20));
    close(device);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, 0) << ended->err;
}

TEST(WorldPic, StreamsAtItsRateAfterAParsedStartFrame) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({}, "$P stream 3; $B ctl log frames; $B ctl status");
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> rate = values_of(result.out, "rate");
    ASSERT_FALSE(rate.empty()) << result.out;
    EXPECT_NEAR(std::atof(rate[0].c_str()), 4096.0, 4096.0 * 0.05) << "stream pacing over 3 s, in bytes/s";
    EXPECT_EQ(lines_with(result.out, {"frame", "kind=sampling_start", "t0=22", "p0=DF", "rate=16384"}).size(), 1u);
}

// A flush drops what the terminal still holds beyond the reader's queue too,
// as a real line's does: a stopped stream never trickles in after it.
TEST(WorldPic, FlushDropsTheWholeStoppedStream) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({}, "$P flush_after 3");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(values_of(result.out, "after_flush"), std::vector<std::string>{"0"}) << result.out;
}

}  // namespace
