// The whole upstream road: tovk's service on the simulated board feeds the
// reference server, which checks every packet against the PIC's own log.
#include "support/world_support.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

std::string quoted(const std::vector<std::string>& steps) {
    std::string text;
    for (const std::string& step : steps) text += " '" + step + "'";
    return text;
}

// The service in the background, the server in front; the world ends with
// the server's exit status. `before` runs first inside the world.
std::string service_and_server(const std::string& dir, const std::string& options,
                               const std::vector<std::string>& steps, const std::string& before = "") {
    return before + "$T i 127.0.0.1 2>" + dir + "/service.log & service=$!; \"$R\" --pic-log " +
           dir + "/log --json " + dir + "/packets.json " + options + quoted(steps) +
           "; status=$?; kill $service; wait $service; exit $status";
}

TEST(RefserverInWorld, CapturesArriveVerifiedInStreamOrderAndCommandsAreAcknowledged) {
    SKIP_WITHOUT_WORLDS();
    scratch_dir dir;
    process_result result = in_world(
        {"--log", dir.path() + "/log"},
        service_and_server(dir.path(), "",
                           {"continuous 3 within 30", "command 2 5 1", "expect ack 1 within 15",
                            "expect data 1 within 15"}),
        90s);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err.find("MISMATCH"), std::string::npos) << result.err;
    EXPECT_NE(result.out.find("summary: packets=5 data=4 ack=1 verified=5 mismatches=0 expectations=3/3"),
              std::string::npos)
        << result.out;
    // Four captures in rising streams; the command's own stream (three
    // pulses) comes before or after the fourth capture, never in a packet.
    std::vector<std::string> streams = values_of(result.out, "stream");
    ASSERT_EQ(streams.size(), 4u) << result.out;
    for (std::size_t i = 1; i < streams.size(); ++i) EXPECT_LT(std::stoul(streams[i - 1]), std::stoul(streams[i]));
    EXPECT_EQ(lines_with(file_text(dir.path() + "/packets.json"), {"\"event\":\"packet\"", "\"verified\":true"}).size(),
              5u);
}

// Small buffers on both ends leave the service's send unfinished when the
// server cuts the connection; it must start that packet again from byte 0.
TEST(RefserverInWorld, PacketCutByTheServerComesAgainFromByteZero) {
    SKIP_WITHOUT_WORLDS();
    scratch_dir dir;
    std::string shrink = "echo '4096 4096 4096' > /proc/sys/net/ipv4/tcp_wmem || exit 77; ";
    process_result result = in_world(
        {"--log", dir.path() + "/log"},
        service_and_server(dir.path(), "--rcvbuf 1024",
                           {"continuous 1 within 20", "hold", "request 1", "wait 3", "cut 1000", "release",
                            "continuous 2 within 20"},
                           shrink),
        90s);
    if (result.status == 77) SKIP_UNLESS_CI("the world's TCP send buffers cannot be shrunk here");
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(lines_with(result.out, {"-- disconnect: connection 1 cut after 1000 of"}).size(), 1u) << result.out;
    EXPECT_EQ(lines_with(result.out, {"#2 TC", "resend verified (sent again from byte 0 after 1000 bytes"}).size(), 1u)
        << result.out;
    EXPECT_NE(result.out.find("connections=2 resends=1"), std::string::npos) << result.out;
}

}  // namespace
