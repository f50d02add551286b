// The UART inside a world: channel routing, the PIC behind channel 0, the
// fixture's answers, test endpoints, and what the preload shim records.
#include "support/world_support.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

const std::string version_query_hex = "02162219370000";

TEST(WorldUart, HostBytesGoOnlyToTheSelectedChannel) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({"--channel", "3=echo"}, "$P uart 2 " + version_query_hex + R"(
        $P uart 3 414243; $B ctl log frames; echo marker; $P version; $B ctl log frames; $B ctl log uart)");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(values_of(result.out, "reply"), (std::vector<std::string>{"-", "414243", "5633"}));
    std::string before = result.out.substr(0, result.out.find("marker"));
    EXPECT_TRUE(lines_with(before, {"frame"}).empty()) << "a query sent on channel 2 reached the PIC";
    EXPECT_EQ(lines_with(result.out, {"host ch=2", "hex=" + version_query_hex}).size(), 1u);
    EXPECT_EQ(lines_with(result.out, {"device ch=3", "hex=414243"}).size(), 1u);
}

TEST(WorldUart, FixtureAnswersWithItsVariantsPerChannel) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({"--fixture"}, R"(
        $P uart 0 55; $P uart 1 55; $P uart 2 55; $P uart 3 55
        $B ctl fixture serial 0 bit6; $P uart 0 55
        $B ctl fixture serial 1 none; $P uart 1 55; $P uart 2 aa
        $B ctl fixture off; $P version)");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(values_of(result.out, "reply"),
              (std::vector<std::string>{"d5", "d5", "d5", "-", "15", "-", "2a", "5633"}));
}

// What the device end of a socket channel receives, up to `wanted` bytes.
std::string receive(int fd, std::size_t wanted) {
    std::string got;
    char buffer[256];
    for (pollfd ready{fd, POLLIN, 0}; got.size() < wanted && poll(&ready, 1, 5000) > 0;) {
        ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0) break;
        got.append(buffer, static_cast<std::size_t>(count));
    }
    return got;
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

TEST(WorldUart, SocketEndpointTalksWithTheHostOnlyOnItsChannel) {
    SKIP_WITHOUT_WORLDS();
    scratch_dir dir;
    std::string control = dir.path() + "/control";
    child_process world(boardsim_path, world_argv({"--control", control, "--channel", "1=unix:" + dir.path() + "/ch1"},
                                                  "while [ ! -e " + dir.path() + "/done ]; do sleep 0.02; done"));
    int device = connect_to(dir.path() + "/ch1");
    ASSERT_NE(device, -1);

    child_process host(boardsim_path, {"boardsim", "run", "--control", control, "--", probe_path, "uart", "1", "a1b2"});
    EXPECT_EQ(receive(device, 2), "\xa1\xb2");
    ASSERT_EQ(send(device, "\x5a\x5b", 2, 0), 2);
    std::optional<process_result> answered = host.finish(std::chrono::seconds(20));
    ASSERT_TRUE(answered);
    EXPECT_EQ(values_of(answered->out, "reply"), (std::vector<std::string>{"5a5b"}));

    // Sent while channel 0 is selected: the host never sees it.
    EXPECT_EQ(run_in_world(control, {probe_path, "write", "porth", "0", "0"}).status, 0);
    ASSERT_EQ(send(device, "\x01", 1, 0), 1);
    usleep(100000);
    process_result later = run_in_world(control, {probe_path, "uart", "1", "c3"});
    EXPECT_EQ(values_of(later.out, "reply"), (std::vector<std::string>{"-"}));
    EXPECT_EQ(receive(device, 1), "\xc3");

    process_result log = run_in_world(control, {boardsim_path, "ctl", "log", "uart"});
    EXPECT_EQ(lines_with(log.out, {"dropped ch=1 count=1"}).size(), 1u) << log.out;
    std::ofstream(dir.path() + "/done").put('\n');
    std::optional<process_result> ended = world.finish(std::chrono::seconds(20));
    close(device);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, 0) << ended->err;
}

TEST(WorldShim, LineSettingsAndLowLatencyAreRecorded) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({}, R"(
        $P settings; $P lowlat on; $P lowlat on; $P lowlat off
        $B ctl log serial; $B ctl log lowlat; $B ctl status)");
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> settings = lines_with(result.out, {"serial speed="});
    ASSERT_EQ(settings.size(), 3u) << result.out;
    EXPECT_NE(settings[0].find("speed=9600 ispeed=9600 data=7 parity=odd stop=2"), std::string::npos);
    EXPECT_NE(settings[1].find("speed=115200 ispeed=115200 data=8 parity=none stop=1"), std::string::npos);
    EXPECT_NE(settings[2].find("speed=38400 ispeed=38400 data=8 parity=even stop=1"), std::string::npos);
    EXPECT_EQ(values_of(result.out, "before"), (std::vector<std::string>{"0", "1", "1"}));
    std::vector<std::string> changes = lines_with(result.out, {"lowlat on="});
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_NE(changes[0].find("on=1 changed=1"), std::string::npos);
    EXPECT_NE(changes[1].find("on=1 changed=0"), std::string::npos);
    EXPECT_NE(changes[2].find("on=0 changed=1"), std::string::npos);
    EXPECT_EQ(lines_with(result.out, {"uart selected=", "lowlat=0"}).size(), 1u);
}

TEST(WorldPic, StreamsAtItsRateAfterAParsedStartFrame) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({}, "$P stream 3; $B ctl log frames; $B ctl status");
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> rate = values_of(result.out, "rate");
    ASSERT_FALSE(rate.empty()) << result.out;
    double measured = std::atof(rate[0].c_str());
    std::printf("stream pacing over 3 s: %.1f bytes/s (nominal 4096)\n", measured);
    EXPECT_NEAR(measured, 4096.0, 4096.0 * 0.05);
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

TEST(WorldPic, SelectLineChangesAreStampedInConsumedStreamBytes) {
    SKIP_WITHOUT_WORLDS();
    process_result result = in_world({}, "$P pulse 1000 410; $B ctl log lines; $B ctl log pulses");
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> rise = lines_with(result.out, {"line name=channel_select", "old=0 new=2", "stream=1"});
    std::vector<std::string> fall = lines_with(result.out, {"line name=channel_select", "old=2 new=0", "stream=1"});
    ASSERT_EQ(rise.size(), 1u) << result.out;
    ASSERT_EQ(fall.size(), 1u) << result.out;
    long start = std::atol(values_of(rise[0], "consumed").at(0).c_str());
    long end = std::atol(values_of(fall[0], "consumed").at(0).c_str());
    EXPECT_GE(start, 1000);
    EXPECT_EQ(end - start, 410);
    std::vector<std::string> pulse = lines_with(result.out, {"pulse", "stream=1"});
    ASSERT_EQ(pulse.size(), 1u) << result.out;
    EXPECT_EQ(values_of(pulse[0], "width"), (std::vector<std::string>{"410"}));
    EXPECT_EQ(values_of(pulse[0], "mask"), (std::vector<std::string>{"1"}));
}

}  // namespace
