#include "support/process.h"
#include "support/raw_record.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// The bridge's end over one loopback connection as inetd would accept it:
// its exit status and log, and what the client received before end-of-file.
struct bridge_end {
    int status;
    std::string err, received;
};

bridge_end bridge_over_loopback() {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);

    child_process bridge(tovk_path(), {"tovk", "n"}, server);
    close(server);
    std::optional<process_result> result = bridge.finish(std::chrono::seconds(10));
    EXPECT_TRUE(result) << "the bridge did not end";
    bridge_end end{result ? result->status : -1, result ? result->err : "", ""};
    char buffer[256];
    for (ssize_t count; (count = read(client, buffer, sizeof buffer)) > 0;) {
        end.received.append(buffer, static_cast<std::size_t>(count));
    }
    close(client);
    return end;
}

// Standard input must be a TCP socket. No UART on this machine: the open
// error number goes to the client. Record bytes the f command never writes
// are refused before the line is touched.
TEST(SerialTcpServer, NoSocketMissingDeviceOrForeignSettingsEndTheBridgeAtOnce) {
    process_result no_socket = run_tovk({"n"});
    EXPECT_EQ(no_socket.status, 1);
    EXPECT_EQ(no_socket.err,
              "setsockopt: cannot set TCP_KEEPCNT\nFatal error in function: socket_keepalive_enable\n");

    ASSERT_EQ(run_tovk({"f", "1", "9600", "8", "N", "1"}).status, 0);
    bridge_end no_device = bridge_over_loopback();
    EXPECT_EQ(no_device.status, 1);
    EXPECT_EQ(no_device.err, "Fatal error in function: serial_open\n");
    EXPECT_EQ(no_device.received, "2\n") << "the client sees end-of-file at once";

    for (std::size_t field : {raw_offset::ser_parity, raw_offset::ser_odd, raw_offset::ser_ch}) {
        ASSERT_EQ(run_tovk({"f", "1", "9600", "8", "N", "1"}).status, 0);
        raw_record().set_u8(field, 0xFF);
        bridge_end refused = bridge_over_loopback();
        EXPECT_EQ(refused.status, 1) << field;
        EXPECT_EQ(refused.err, "Serial-TCP settings in the record are invalid (see the f command); connection refused\n");
        EXPECT_EQ(refused.received, "") << field;
    }
}

}  // namespace
