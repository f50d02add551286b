// The whole upstream road: tovk's service on the simulated board feeds the
// reference server, which checks every packet against the PIC's own log.
#include "support/world_support.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Small buffers on both ends leave the service's send unfinished when the
// server cuts the connection; it must start that packet again from byte 0.
// The service runs in the background, the server in front: the world ends
// with the server's exit status.
TEST(RefserverInWorld, PacketCutByTheServerComesAgainFromByteZero) {
    SKIP_WITHOUT_WORLDS();
    scratch_dir dir;
    process_result result = in_world(
        {"--log", dir.path() + "/log"},
        "echo '4096 4096 4096' > /proc/sys/net/ipv4/tcp_wmem || exit 77; $T i 127.0.0.1 2>" + dir.path() +
            "/service.log & service=$!; \"$R\" --pic-log " + dir.path() + "/log --rcvbuf 1024 "
            "'continuous 1 within 20' hold 'request 1' 'wait 3' 'cut 1000' release 'continuous 2 within 20'; "
            "status=$?; kill $service; wait $service; exit $status",
        90s);
    if (result.status == 77) SKIP_UNLESS_CI("the world's TCP send buffers cannot be shrunk here");
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(lines_with(result.out, {"-- disconnect: connection 1 cut after 1000 of"}).size(), 1u) << result.out;
    EXPECT_EQ(lines_with(result.out, {"#2 TC", "resend verified (sent again from byte 0 after 1000 bytes"}).size(), 1u)
        << result.out;
    EXPECT_NE(result.out.find("connections=2 resends=1"), std::string::npos) << result.out;
}

}  // namespace
