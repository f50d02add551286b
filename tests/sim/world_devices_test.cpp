// The board's device files as programs inside a world see them: the ports,
// the ADC, and the UART with its channel routing, socket endpoints and the
// PIC behind channel 0. The fixture's answers are the self test's
// (SelfTestWorld), what the preload shim records BoardWorld's, the PIC's
// stamps PicLinkWorld's, how the lines log names each line BoardModel's.
#include "control_protocol.h"
#include "support/world_support.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

namespace {

class WorldDevices : public world_test {};

TEST_F(WorldDevices, DeviceFilesReadAndWriteTheBoardAndFailOnDemand) {
    process_result result = in_world({"--missing", "adc3", "--unopenable", "portc", "--do", "adc fail 1 eio"}, R"(
        $P write portb 4 0xff; $P write portb 0 0xa5; $P read portb 0; $P read portb 4
        $P write porta 0 0xff; $P write porta 4 0x0f; $P read porta 0
        $P read porth 0; $B ctl aux off; $P read porth 0; $B ctl aux on; $P read porth 0
        $P write porth 4 0x20; $P write porth 0 0x00; $P read porth 0
        $B ctl regs | grep port=B
        $B ctl log lines
        $P open /dev/adc3; $P open /dev/portc; $P adc 1 4
        $B ctl adc fail 1 short; $P adc 1 4
        $B ctl adc fail 1 off; $P adc 1 4
        $B ctl device adc3 present; $P open /dev/adc3
        $B ctl device porta missing; $P open /dev/porta; $P open /dev/.board/porta
        $B ctl device porta present; $P open /dev/porta)");
    // Port A is written while all its lines are inputs: the four made outputs
    // then show it, the inputs stay low whatever was written to them.
    EXPECT_TRUE(said(result, "value=0xa5|0xff|0x0f|0x20|0x00|0x20|0x00 open=No|Permission|ok|No|No|ok "
                             "error=Input/output bytes=2|4 data=0xa5 dir=0xff level=0xa5"));
    // Writes reach the lines log; what aux power does to it is WorldControl's.
    EXPECT_EQ(lines_with(result.out, {"line name=batt_measure port=B old=0 new=1"}).size(), 1u);
}

const std::string version_query_hex = "02162219370000";

TEST_F(WorldDevices, UartHostBytesGoOnlyToTheSelectedChannel) {
    process_result result = in_world({"--channel", "3=echo"}, "$P uart 2 " + version_query_hex +
                                                                  "; $P uart 3 414243; $P uart 0 " + version_query_hex +
                                                                  "; $B ctl log frames; $B ctl log uart");
    EXPECT_TRUE(said(result, "reply=-|414243|5633"));
    EXPECT_EQ(lines_with(result.out, {"frame", "kind=version"}).size(), 1u) << "only the query on channel 0 reaches the PIC";
    EXPECT_EQ(lines_with(result.out, {"host ch=2", "hex=" + version_query_hex}).size(), 1u);
    EXPECT_EQ(lines_with(result.out, {"device ch=3", "hex=414243"}).size(), 1u);
}

// The world listens on the device's socket once it has started.
int connect_to(const std::string& path) {
    int fd = boardsim::connect_unix(path);
    for (int attempt = 1; fd == -1 && attempt < 200; ++attempt) {
        usleep(20000);
        fd = boardsim::connect_unix(path);
    }
    return fd;
}

// A device on a socket hears the host, but is not heard while another
// channel is selected (channel 0 is at first): the world's command selects
// the device's channel only after the device has sent its byte. Both ways on
// the selected channel are the BridgeUnderInetd tests'.
TEST_F(WorldDevices, UartSocketEndpointIsHeardOnlyOnItsChannel) {
    scratch_dir dir;
    child_process world(boardsim_path, world_argv({"--channel", "1=unix:" + dir.path() + "/ch1"},
                                                  "while [ ! -e " + dir.path() + "/sent ]; do sleep 0.02; done; "
                                                  "sleep 0.1; $P uart 1 c3; $B ctl log uart"));
    int device = connect_to(dir.path() + "/ch1");
    ASSERT_NE(device, -1);
    ASSERT_EQ(send(device, "\x01", 1, 0), 1);
    std::ofstream(dir.path() + "/sent").put('\n');
    char heard = 0;
    pollfd ready{device, POLLIN, 0};
    EXPECT_TRUE(poll(&ready, 1, 5000) == 1 && recv(device, &heard, 1, 0) == 1 && heard == '\xc3');
    process_result ended = finished(world, std::chrono::seconds(20), "the world");
    close(device);
    EXPECT_TRUE(said(ended, "reply=-"));
    EXPECT_EQ(lines_with(ended.out, {"dropped ch=1 count=1"}).size(), 1u) << ended.out;
}

// Once the PIC has parsed a start frame it streams at its rate, 4096 bytes/s
// at 16384 Hz, measured over 3 s. A flush then drops what the terminal still
// holds beyond the reader's queue too, as a real line's does: a stopped
// stream never trickles in after it.
TEST_F(WorldDevices, PicStreamsAtItsRateAndAFlushDropsTheWholeStoppedStream) {
    process_result result = in_world({}, "$P stream 3; $P flush_after 3");
    std::vector<std::string> rate = values_of(result.out, "rate");
    ASSERT_EQ(rate.size(), 1u) << result.out << result.err;
    EXPECT_NEAR(std::stod(rate[0]), 4096.0, 4096.0 * 0.05);
    EXPECT_TRUE(said(result, "after_flush=0"));
}

}  // namespace
