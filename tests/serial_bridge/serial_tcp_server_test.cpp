#include "ipc/shared_state.h"
#include "support/process.h"
#include "support/raw_record.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// Both ends of one loopback TCP connection, as inetd would accept it.
struct tcp_pair {
    int client = -1;
    int server = -1;

    tcp_pair() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            close(listener);
            return;
        }
        client = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            server = accept(listener, nullptr, nullptr);
        }
        close(listener);
    }
    ~tcp_pair() {
        if (client != -1) close(client);
        if (server != -1) close(server);
    }
    // What the client receives until end-of-file.
    std::string received() const {
        std::string text;
        char buffer[256];
        ssize_t count;
        while ((count = read(client, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(count));
        return text;
    }
};

process_result serve(tcp_pair& connection) {
    child_process bridge(tovk_path(), {"tovk", "n"}, connection.server);
    close(connection.server);
    connection.server = -1;
    std::optional<process_result> result = bridge.finish(std::chrono::seconds(10));
    EXPECT_TRUE(result) << "the bridge did not end";
    return result.value_or(process_result{});
}

TEST(SerialTcpServer, StandardInputThatIsNoSocketFails) {
    process_result result = run_tovk({"n"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "setsockopt: cannot set TCP_KEEPCNT\nFatal error in function: socket_keepalive_enable\n");
}

TEST(SerialTcpServer, UnsetSettingsRefuseTheConnectionWithoutOpeningTheLine) {
    tcp_pair connection;
    ASSERT_NE(connection.server, -1);
    ASSERT_EQ(run_tovk({"l"}).status, 0);  // creates the set and the record

    process_result result = serve(connection);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("not set"), std::string::npos);
    EXPECT_EQ(result.err.find("serial_open"), std::string::npos) << "no line on this machine: never opened";
    EXPECT_EQ(connection.received(), "") << "the client sees end-of-file at once";
}

// No UART on this machine: the open error number goes to the client.
TEST(SerialTcpServer, MissingDeviceEndsTheConnectionAtOnce) {
    ASSERT_EQ(run_tovk({"f", "1", "9600", "8", "N", "1"}).status, 0);
    tcp_pair connection;
    process_result missing = serve(connection);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(connection.received(), "2\n");
    EXPECT_EQ(missing.err, "Fatal error in function: serial_open\n");
    EXPECT_EQ(semaphore_values().at(sem_serial), 1) << "the line is given back";
}

}  // namespace
