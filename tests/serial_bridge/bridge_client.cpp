// A TCP client of the serial-TCP bridge, run inside a world next to inetd.
// It prints what it saw as key=value words for the tests to compare.
//
//   bridge_client echo N [MS]     send N pseudo-random bytes while reading them
//                                 back for up to MS ms (60 s); once all came back,
//                                 half-close; then wait for end-of-file
//   bridge_client send N [MS]     send N bytes (0, 1, 2, ...), pause MS ms, then
//                                 half-close and read until end-of-file
//   bridge_client listen MS       send nothing; read until end-of-file or MS ms
//   bridge_client reset N         send N bytes, then reset the connection once
//                                 some came back
//
// Every wait is bounded, so a bridge that never ends shows as eof=0.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int bridge_port = 4001;

int connect_bridge() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(bridge_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd == -1 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::printf("connected=0\n");
        std::exit(1);
    }
    return fd;
}

std::vector<std::uint8_t> random_bytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::minstd_rand random;
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random() >> 23);
    return bytes;
}

int ms_left(clock_type::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Moves bytes both ways until `done` holds, end-of-file or the deadline.
struct transfer {
    int fd;
    std::vector<std::uint8_t> out;
    std::size_t sent = 0;
    std::vector<std::uint8_t> in{};
    bool eof = false;
    bool failed = false;
    std::size_t most_in_flight = SIZE_MAX;  // bytes sent and not yet back

    template <typename Done>
    void run(clock_type::time_point deadline, Done done) {
        std::uint8_t buffer[65536];
        while (!eof && !failed && !done() && ms_left(deadline) > 0) {
            std::size_t room = std::min(out.size() - sent, most_in_flight - std::min(most_in_flight, sent - in.size()));
            short events = POLLIN | (room > 0 ? POLLOUT : 0);
            pollfd poll_fd{fd, events, 0};
            if (poll(&poll_fd, 1, ms_left(deadline)) <= 0) continue;
            if (poll_fd.revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t count = read(fd, buffer, sizeof buffer);
                if (count > 0) in.insert(in.end(), buffer, buffer + count);
                eof = count == 0;
                failed = count < 0;
            }
            if (room > 0 && (poll_fd.revents & POLLOUT)) {
                ssize_t count = send(fd, out.data() + sent, room, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (count > 0) sent += static_cast<std::size_t>(count);
            }
        }
    }
    void until_eof(int timeout_ms) {
        run(clock_type::now() + std::chrono::milliseconds(timeout_ms), [] { return false; });
    }
};

void report(const transfer& t) {
    std::printf("sent=%zu received=%zu eof=%d failed=%d ended=%d\n", t.sent, t.in.size(), t.eof ? 1 : 0,
                t.failed ? 1 : 0, t.eof || t.failed ? 1 : 0);
}

// The world's line is not paced by its rate, and its echoing device drops
// what the pseudo-terminal cannot take, so the client keeps the echo in step
// as a device's own speed would. Only an echo that came back whole is
// followed by a half-close, so a bridge that ignores its end shows eof=0.
int echo(std::size_t count, int timeout_ms) {
    transfer t{connect_bridge(), random_bytes(count)};
    t.most_in_flight = 4096;
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    // Said once an echo shows a bridge relays, which a slow start delays.
    t.run(deadline, [&] { return !t.in.empty(); });
    std::printf("streaming=1\n");
    std::fflush(stdout);
    t.run(deadline, [&] { return t.in.size() >= count; });
    std::printf("intact=%d\n", t.in == t.out ? 1 : 0);
    if (t.in.size() >= count) shutdown(t.fd, SHUT_WR);
    t.until_eof(10000);
    report(t);
    return 0;
}

int send_then_close(std::size_t count, int pause_ms) {
    transfer t{connect_bridge(), std::vector<std::uint8_t>(count)};
    std::iota(t.out.begin(), t.out.end(), std::uint8_t{0});
    t.run(clock_type::now() + std::chrono::seconds(20), [&] { return t.sent == count; });
    t.until_eof(pause_ms);
    shutdown(t.fd, SHUT_WR);
    t.until_eof(10000);
    report(t);
    return 0;
}

int listen_only(int timeout_ms) {
    transfer t{connect_bridge(), {}};
    t.until_eof(timeout_ms);
    std::string text(t.in.begin(), t.in.end());
    std::printf("text=%s\n", text.c_str());
    report(t);
    return 0;
}

int reset_after(std::size_t count) {
    transfer t{connect_bridge(), random_bytes(count)};
    // An echo proves a bridge serves the connection: reset before inetd
    // accepted it, the connection would never reach a bridge at all.
    t.run(clock_type::now() + std::chrono::seconds(20), [&] { return t.sent == count && !t.in.empty(); });
    linger abortive{1, 0};
    setsockopt(t.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(t.fd);
    std::printf("reset=1 sent=%zu\n", t.sent);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    long first = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
    long second = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
    if (mode == "echo") return echo(static_cast<std::size_t>(first), second > 0 ? static_cast<int>(second) : 60000);
    if (mode == "send") return send_then_close(static_cast<std::size_t>(first), static_cast<int>(second));
    if (mode == "listen") return listen_only(static_cast<int>(first));
    if (mode == "reset") return reset_after(static_cast<std::size_t>(first));
    std::fprintf(stderr, "usage: bridge_client echo N [MS] | send N [MS] | listen MS | reset N\n");
    return 2;
}
