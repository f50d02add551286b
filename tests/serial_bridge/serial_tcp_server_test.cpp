#include "support/process.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// Standard input must be a TCP socket. No UART on this machine: the open
// error number goes to the client, over one loopback connection as inetd
// would accept it.
TEST(SerialTcpServer, NoSocketOrMissingDeviceEndsTheBridgeAtOnce) {
    process_result no_socket = run_tovk({"n"});
    EXPECT_EQ(no_socket.status, 1);
    EXPECT_EQ(no_socket.err,
              "setsockopt: cannot set TCP_KEEPCNT\nFatal error in function: socket_keepalive_enable\n");

    ASSERT_EQ(run_tovk({"f", "1", "9600", "8", "N", "1"}).status, 0);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);

    child_process bridge(tovk_path(), {"tovk", "n"}, server);
    close(server);
    std::optional<process_result> result = bridge.finish(std::chrono::seconds(10));
    ASSERT_TRUE(result) << "the bridge did not end";
    EXPECT_EQ(result->status, 1);
    EXPECT_EQ(result->err, "Fatal error in function: serial_open\n");
    std::string received;
    char buffer[256];
    for (ssize_t count; (count = read(client, buffer, sizeof buffer)) > 0;) {
        received.append(buffer, static_cast<std::size_t>(count));
    }
    close(client);
    EXPECT_EQ(received, "2\n") << "the client sees end-of-file at once";
}

}  // namespace
