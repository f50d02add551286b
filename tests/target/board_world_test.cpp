// The ARM program on the simulated board. The world (boardsim) is a program
// of the build machine and runs natively; tovk runs under the emulator with
// the target's build of the world's preload shim, which qemu's -E hands to
// the emulated program alone.
#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string host_boardsim = HOST_BOARDSIM;
const std::string target_shim = TARGET_SHIM;

std::string quoted(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) line += (line.empty() ? "'" : " '") + word + "'";
    return line;
}

std::string emulated_tovk() {
    std::vector<std::string> words = target_command(tovk_path(), {"tovk"});
    words.insert(words.begin() + 1, {"-E", "LD_PRELOAD=" + target_shim});
    return quoted(words);
}

std::string why_no_world() {
    if (access(host_boardsim.c_str(), X_OK) != 0)
        return "no boardsim of the build machine at " + host_boardsim + " (the default preset builds it)";
    int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd == -1) return "/dev/fuse cannot be opened, so the board's device files cannot be served";
    close(fd);
    return "";
}

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

double value_of(const std::string& text, const std::string& key) {
    std::size_t at = text.find("\n" + key + "=");
    if (at == std::string::npos) return NAN;
    return std::atof(text.c_str() + at + key.size() + 2);
}

class log_dir {
public:
    log_dir() {
        char name[] = "/tmp/tovk-arm-world-XXXXXX";
        path = mkdtemp(name) != nullptr ? name : "";
    }
    ~log_dir() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
    std::string path;
};

TEST(ArmOnTheBoard, ServiceTalksToThePicMeasuresAndStops) {
    std::string reason = why_no_world();
    if (!reason.empty()) GTEST_SKIP() << reason;
    log_dir logs;
    ASSERT_FALSE(logs.path.empty());

    // The dump waits for the service's first round of readings.
    std::string script = "T=\"" + emulated_tovk() + "\"; eval \"$T i 127.0.0.1\" & eval \"$T d\"; eval \"$T r\"; wait";
    child_process world(host_boardsim, {"boardsim", "--log", logs.path, "--do", "pic version 5", "--do",
                                        "set module1 24", "--do", "set module2 23", "--do", "set diode 0.65",
                                        "--", "/bin/sh", "-c", script});
    std::optional<process_result> ended = world.finish(std::chrono::seconds(120));
    ASSERT_TRUE(ended) << "the world did not end";
    EXPECT_EQ(ended->status, 0) << ended->err;

    std::string dump = "\n" + ended->out;
    EXPECT_NEAR(value_of(dump, "mod_vol0"), 24.0, 0.05) << dump;
    EXPECT_NEAR(value_of(dump, "mod_vol1"), 23.0, 0.05);
    EXPECT_NEAR(value_of(dump, "diode"), 0.65, 0.001);
    EXPECT_EQ(value_of(dump, "auxpwrdis"), 0.0);
    EXPECT_NE(dump.find("Signal caught..."), std::string::npos) << "the service did not leave its loop";

    // The PIC link's line settings and low-latency switch passed through the
    // target's shim; the version query reached the PIC model.
    std::string serial = file_text(logs.path + "/serial.log");
    EXPECT_NE(serial.find("speed=115200 ispeed=115200 data=8 parity=none stop=1"), std::string::npos) << serial;
    std::string low_latency = file_text(logs.path + "/lowlat.log");
    EXPECT_NE(low_latency.find("on=1 changed=1"), std::string::npos) << low_latency;
    EXPECT_NE(low_latency.find("on=0 changed=1"), std::string::npos) << low_latency;
    EXPECT_NE(file_text(logs.path + "/pic.log").find("frame t="), std::string::npos);
}

// Both ends of one loopback TCP connection, as inetd hands the bridge one.
struct tcp_pair {
    int client = -1;
    int server = -1;
    tcp_pair() {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        auto* generic = reinterpret_cast<sockaddr*>(&address);
        if (bind(listener, generic, length) == 0 && listen(listener, 1) == 0 &&
            getsockname(listener, generic, &length) == 0) {
            client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(client, generic, length) == 0) server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        }
        close(listener);
    }
    ~tcp_pair() {
        if (client != -1) close(client);
        if (server != -1) close(server);
    }
};

// The bridge's rates reach the line through the emulator's terminal
// translation, the highest ones included.
TEST(ArmOnTheBoard, BridgeSetsTheLineAtEveryRateOfTheSettings) {
    std::string reason = why_no_world();
    if (!reason.empty()) GTEST_SKIP() << reason;
    for (const char* rate : {"9600", "460800", "921600", "4000000"}) {
        log_dir logs;
        tcp_pair connection;
        ASSERT_NE(connection.server, -1);
        std::string script = "T=\"" + emulated_tovk() + "\"; eval \"$T f 2 " + rate + " 7 O 1\" >&2; eval \"$T n\"";
        child_process world(host_boardsim, {"boardsim", "--log", logs.path, "--", "/bin/sh", "-c", script},
                            connection.server);
        // The bridge ends when the client has nothing more to say.
        shutdown(connection.client, SHUT_WR);
        std::optional<process_result> ended = world.finish(std::chrono::seconds(60));
        ASSERT_TRUE(ended) << rate;
        EXPECT_EQ(ended->status, 0) << rate << ended->err;
        std::string serial = file_text(logs.path + "/serial.log");
        std::string expected = "speed=" + std::string(rate) + " ispeed=" + rate + " data=7 parity=odd stop=1";
        EXPECT_NE(serial.find(expected), std::string::npos) << serial;
    }
}

}  // namespace
