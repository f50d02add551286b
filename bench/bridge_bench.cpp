// Throughput and round-trip latency through the serial-TCP bridge under
// inetd, beside socat relaying the same port to the same pseudo-terminal,
// each inside a board world whose channel 1 echoes.
//
//   bridge_bench BOARDSIM TOVK TOVK_DRIVER INETD_CONF
//
// It runs itself inside each world as the measuring client (--measure). The
// driver applies the service's start-up line profile first, as at the
// board's boot, which makes the channel select lines outputs.
#include "machine.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int relay_port = 4001;
constexpr int round_trips = 2000;
constexpr std::size_t bulk_bytes = 8u << 20;
// Bytes in flight: below what the echoing device and the pseudo-terminal
// hold, so no echo is dropped and both relays see the same load.
constexpr std::size_t window_bytes = 8u << 10;

int connect_relay() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(relay_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd == -1) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

bool read_exactly(int fd, std::uint8_t* into, std::size_t count) {
    while (count > 0) {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, 5000) <= 0) return false;
        ssize_t got = read(fd, into, count);
        if (got <= 0) return false;
        into += got;
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

// Microseconds of each 1-byte echo, sorted; empty when an echo went missing.
std::vector<double> echo_latencies(int fd) {
    std::vector<double> times;
    for (int round = 0; round < round_trips + 100; ++round) {
        std::uint8_t byte = static_cast<std::uint8_t>(round), back = 0;
        auto start = clock_type::now();
        if (write(fd, &byte, 1) != 1 || !read_exactly(fd, &back, 1) || back != byte) return {};
        std::chrono::duration<double, std::micro> took = clock_type::now() - start;
        if (round >= 100) times.push_back(took.count());  // the first ones warm up
    }
    std::sort(times.begin(), times.end());
    return times;
}

// MB/s each way for bulk_bytes echoed with window_bytes in flight; 0 on a loss.
double echo_throughput(int fd) {
    std::vector<std::uint8_t> out(bulk_bytes), in(65536);
    for (std::size_t at = 0; at < out.size(); ++at) out[at] = static_cast<std::uint8_t>(at * 7);
    std::size_t sent = 0, received = 0;
    auto start = clock_type::now();
    while (received < bulk_bytes) {
        bool room = sent < bulk_bytes && sent - received < window_bytes;
        pollfd wait{fd, static_cast<short>(POLLIN | (room ? POLLOUT : 0)), 0};
        if (poll(&wait, 1, 5000) <= 0) return 0;
        if (wait.revents & POLLIN) {
            ssize_t got = read(fd, in.data(), in.size());
            if (got <= 0) return 0;
            received += static_cast<std::size_t>(got);
        }
        if (room && (wait.revents & POLLOUT)) {
            std::size_t chunk = std::min(window_bytes - (sent - received), bulk_bytes - sent);
            ssize_t put = write(fd, out.data() + sent, chunk);
            if (put > 0) sent += static_cast<std::size_t>(put);
        }
    }
    std::chrono::duration<double> took = clock_type::now() - start;
    return static_cast<double>(bulk_bytes) / 1e6 / took.count();
}

int measure() {
    int fd = connect_relay();
    if (fd == -1) return 1;
    std::vector<double> times = echo_latencies(fd);
    if (times.empty()) return 1;
    double throughput = echo_throughput(fd);
    std::printf("median_us=%.1f p99_us=%.1f mbps=%.3f\n", times[times.size() / 2], times[times.size() * 99 / 100],
                throughput);
    close(fd);
    return 0;
}

const std::string await_listener =
    "i=0; until grep -q ':0FA1 00000000:0000 0A' /proc/net/tcp; do i=$((i+1)); [ $i -lt 200 ] || exit 121; "
    "sleep 0.02; done; ";

// The installed path of the shipped inetd line gets the built program
// through an overlay, as in the tests; -E keeps the world's serial shim.
std::string bridge_script(const std::string& mounts, const std::string& tovk, const std::string& conf) {
    return "mount -t tmpfs tovk '" + mounts + "' && mkdir '" + mounts + "/up' '" + mounts + "/work' && " +
           "mount -t overlay overlay -o lowerdir=/usr/sbin,upperdir='" + mounts + "/up',workdir='" + mounts +
           "/work' /usr/sbin && : > /usr/sbin/tovk && mount --bind '" + tovk + "' /usr/sbin/tovk || exit 120; " +
           "inetd -i -E '" + conf + "' & " + await_listener + "'" + tovk + "' f 1 115200 8 N 1 >/dev/null; ";
}

// socat with its own buffer size, or with the bridge's 1024 bytes.
std::string socat_script(const std::string& tovk, const std::string& buffer_option) {
    return "'" + tovk + "' e 1 || exit 122; socat " + buffer_option +
           " TCP-LISTEN:4001,reuseaddr,fork /dev/ttyAM1,raw,echo=0 & " + await_listener;
}

// Figures the measuring client printed inside the world.
std::map<std::string, double> run_in_world(const std::string& boardsim, const std::string& driver,
                                           const std::string& setup) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string script = "'" + driver + "' gpio_setup >/dev/null; " + setup + "'" + self + "' --measure";
    std::vector<std::string> words{"boardsim", "--channel", "1=echo", "--", "/bin/sh", "-c", script};
    std::map<std::string, double> figures;
    int output[2];
    if (pipe(output) != 0) return figures;
    pid_t world = fork();
    if (world == 0) {
        dup2(output[1], 1);
        close(output[0]);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        execv(boardsim.c_str(), argv.data());
        _exit(127);
    }
    close(output[1]);
    std::string text;
    char buffer[512];
    for (ssize_t got; (got = read(output[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(got));
    close(output[0]);
    waitpid(world, nullptr, 0);
    std::istringstream words_out(text);
    for (std::string word; words_out >> word;) {
        std::size_t equals = word.find('=');
        if (equals != std::string::npos) figures[word.substr(0, equals)] = std::atof(word.c_str() + equals + 1);
    }
    return figures;
}

void print_row(const char* name, const std::map<std::string, double>& figures) {
    if (figures.count("mbps") == 0) {
        std::printf("%-26s  (no figures: the world or the relay failed)\n", name);
        return;
    }
    std::printf("%-26s  %10.3f  %12.1f  %12.1f\n", name, figures.at("mbps"), figures.at("median_us"),
                figures.at("p99_us"));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--measure") return measure();
    if (argc != 5) {
        std::fprintf(stderr, "usage: bridge_bench BOARDSIM TOVK TOVK_DRIVER INETD_CONF\n");
        return 2;
    }
    std::string tovk = std::filesystem::absolute(argv[2]), driver = std::filesystem::absolute(argv[3]);
    std::string conf = std::filesystem::absolute(argv[4]);
    char pattern[] = "/tmp/bridge-bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    auto bridge = run_in_world(argv[1], driver, bridge_script(pattern, tovk, conf));
    auto relay = run_in_world(argv[1], driver, socat_script(tovk, ""));
    auto relay_1k = run_in_world(argv[1], driver, socat_script(tovk, "-b 1024"));
    rmdir(pattern);

    std::printf("machine: %s\n", machine_description().c_str());
    std::printf("echo through channel 1 at 115200 8N1 (the pseudo-terminal does not pace the rate);\n"
                "%d round trips of 1 byte, %zu MiB each way with %zu KiB in flight\n\n",
                round_trips, bulk_bytes >> 20, window_bytes >> 10);
    std::printf("%-26s  %10s  %12s  %12s\n", "relay", "MB/s", "median (us)", "p99 (us)");
    print_row("tovk n under inetd", bridge);
    print_row("socat", relay);
    print_row("socat -b 1024", relay_1k);
    if (bridge.count("mbps") != 0 && relay.count("mbps") != 0) {
        std::printf("\nlatency: median %+.1f%%, p99 %+.1f%% against socat; throughput %.2fx socat's\n",
                    100.0 * (bridge["median_us"] / relay["median_us"] - 1), 100.0 * (bridge["p99_us"] / relay["p99_us"] - 1),
                    bridge["mbps"] / relay["mbps"]);
    }
    if (bridge.count("mbps") != 0 && relay_1k.count("mbps") != 0) {
        std::printf("throughput %.2fx that of socat with the bridge's 1024-byte buffers\n",
                    bridge["mbps"] / relay_1k["mbps"]);
    }
    return 0;
}
