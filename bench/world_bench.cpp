// The simulated board's costs: starting and tearing down a world (tests start
// many), and how closely the PIC's stream keeps its nominal 4096 bytes/s.
//   world_bench BOARDSIM        the figures
//   world_bench stream SECONDS  (run inside a world) the stream reader
#include "machine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point start) { return std::chrono::duration<double>(clock_type::now() - start).count(); }

int run(const std::vector<std::string>& argv) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool port_write(const char* path, off_t offset, std::uint32_t value) {
    int fd = open(path, O_RDWR);
    bool ok = fd != -1 && pwrite(fd, &value, 4, offset) == 4;
    if (fd != -1) close(fd);
    return ok;
}

// Counts the stream from its first byte for `seconds`, reading as the host does.
int read_stream(double seconds) {
    const std::uint8_t start_frame[] = {0x06, 0x16, 0x22, 0x0E, 0x22, 0x19, 0x17, 0x91,
                                        0x00, 0x81, 0xDF, 0x0B, 0xE0, 0x00, 0x00};
    int fd = open("/dev/ttyAM1", O_RDWR | O_NOCTTY);
    termios line{};
    if (fd == -1 || tcgetattr(fd, &line) != 0) return 1;
    cfmakeraw(&line);
    cfsetspeed(&line, B115200);
    if (tcsetattr(fd, TCSANOW, &line) != 0 || !port_write("/dev/porth", 4, 0x0C) || !port_write("/dev/porth", 0, 0)) return 1;
    tcflush(fd, TCIOFLUSH);
    if (write(fd, start_frame, sizeof start_frame) != sizeof start_frame) return 1;
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 2000) <= 0) return 1;
    tcflush(fd, TCIFLUSH);
    auto start = clock_type::now();
    std::uint64_t total = 0;
    std::uint8_t buffer[2048];
    while (since(start) < seconds) {
        if (poll(&ready, 1, 100) <= 0) continue;
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count > 0) total += static_cast<std::uint64_t>(count);
    }
    double elapsed = since(start);
    double rate = static_cast<double>(total) / elapsed;
    double error = (rate - 4096.0) / 4096.0 * 100.0;
    std::printf("stream pacing over %.3f s: %llu bytes, %.1f bytes/s, %+.3f%% from nominal 4096\n", elapsed,
                static_cast<unsigned long long>(total), rate, error);
    std::printf("goal: within 0.5%%: %s\n", std::abs(error) <= 0.5 ? "met" : "NOT met");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "stream") return read_stream(std::atof(argv[2]));
    if (argc != 2) {
        std::fprintf(stderr, "usage: world_bench BOARDSIM\n");
        return 2;
    }
    std::string boardsim = argv[1];
    std::printf("machine: %s\n", machine_description().c_str());
    std::vector<double> costs;
    for (int i = 0; i < 20; ++i) {
        auto start = clock_type::now();
        if (run({boardsim, "--", "/bin/true"}) != 0) {
            std::fprintf(stderr, "world_bench: a world failed\n");
            return 1;
        }
        costs.push_back(since(start) * 1000.0);
    }
    std::sort(costs.begin(), costs.end());
    std::printf("start and tear down of a world, 20 runs: median %.1f ms, min %.1f ms, max %.1f ms\n",
                (costs[9] + costs[10]) / 2, costs.front(), costs.back());
    std::fflush(stdout);
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return 1;
    return run({boardsim, "--", std::string(self, static_cast<std::size_t>(length)), "stream", "10"});
}
