// Runs inside a boardsim world and touches the board's devices the way tovk
// does (4-byte pread/pwrite, termios on /dev/ttyAM1), printing what it saw as
// key=value words for the tests to check.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

std::uint32_t number(const char* text) { return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0)); }

int port_fd(const std::string& name) { return open(("/dev/" + name).c_str(), O_RDWR | O_SYNC); }

bool port_write(const std::string& name, off_t offset, std::uint32_t value) {
    int fd = port_fd(name);
    bool ok = fd != -1 && pwrite(fd, &value, 4, offset) == 4;
    if (fd != -1) close(fd);
    return ok;
}

int open_uart() {
    int fd = open("/dev/ttyAM1", O_RDWR | O_NOCTTY);
    termios line{};
    if (fd == -1 || tcgetattr(fd, &line) != 0) return -1;
    cfmakeraw(&line);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 1;
    cfsetispeed(&line, B115200);
    cfsetospeed(&line, B115200);
    return tcsetattr(fd, TCSANOW, &line) == 0 ? fd : -1;
}

// The channel select lines, as the host drives them.
bool select_channel(unsigned channel) {
    return port_write("porth", 4, 0x0C) && port_write("porth", 0, (channel << 2) & 0x0C);
}

const std::uint8_t sampling_start[] = {0x06, 0x16, 0x22, 0x0E, 0x22, 0x19, 0x17, 0x91,
                                       0x00, 0x81, 0xDF, 0x0B, 0xE0, 0x00, 0x00};

// Sends the bytes `hex` spells on `channel` and prints in hex what comes back.
int uart_exchange(unsigned channel, const char* hex) {
    int fd = open_uart();
    if (fd == -1 || !select_channel(channel)) return 1;
    tcflush(fd, TCIOFLUSH);
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::strtoul(std::string(hex + i, 2).c_str(), nullptr, 16)));
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return 1;
    std::string reply;
    for (auto start = clock_type::now(); seconds_since(start) < 0.3;) {
        pollfd ready{fd, POLLIN, 0};
        unsigned char byte[256];
        ssize_t count = poll(&ready, 1, 10) > 0 ? read(fd, byte, sizeof byte) : 0;
        for (ssize_t k = 0; k < count; ++k) reply += {"0123456789abcdef"[byte[k] >> 4], "0123456789abcdef"[byte[k] & 15]};
    }
    std::printf("reply=%s\n", reply.empty() ? "-" : reply.c_str());
    close(fd);
    return 0;
}

// The PIC's line with a sampling stream started on it, or -1.
int start_stream() {
    int fd = open_uart();
    if (fd == -1 || !select_channel(0) || !port_write("portb", 4, 0xFF) || !port_write("portb", 0, 0x00)) return -1;
    tcflush(fd, TCIOFLUSH);
    return write(fd, sampling_start, sizeof sampling_start) == sizeof sampling_start ? fd : -1;
}

// Waits for the stream to begin, then counts what arrives for `seconds`.
int measure_stream(double seconds) {
    int fd = start_stream();
    if (fd == -1) return 1;
    unsigned char buffer[4096];
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, 2000) <= 0) return 1;
    tcflush(fd, TCIFLUSH);
    auto start = clock_type::now();
    std::uint64_t total = 0;
    while (seconds_since(start) < seconds) {
        ssize_t count = read(fd, buffer, sizeof buffer);
        if (count > 0) total += static_cast<std::uint64_t>(count);
    }
    double elapsed = seconds_since(start);
    std::printf("bytes=%llu seconds=%.3f rate=%.1f\n", static_cast<unsigned long long>(total), elapsed,
                static_cast<double>(total) / elapsed);
    close(fd);
    return 0;
}

// Start a stream, leave it unread for `seconds` so the terminal's buffers
// fill, stop it and flush: nothing of the stopped stream may come after.
int flush_after(double seconds) {
    int fd = start_stream();
    if (fd == -1) return 1;
    usleep(static_cast<useconds_t>(seconds * 1e6));
    if (!port_write("portb", 0, 0x40)) return 1;
    usleep(20000);
    tcflush(fd, TCIFLUSH);
    usleep(200000);
    int late = 0;
    ioctl(fd, FIONREAD, &late);
    std::printf("after_flush=%d\n", late);
    close(fd);
    return 0;
}

int failed() {
    std::printf("error=%s\n", std::strerror(errno));
    return 1;
}

int read_port(const char* name, off_t offset) {
    int fd = port_fd(name);
    std::uint32_t value = 0;
    if (fd == -1 || pread(fd, &value, 4, offset) != 4) return failed();
    std::printf("value=0x%02x\n", value);
    return 0;
}

int read_adc(const char* channel, std::size_t size) {
    int fd = open((std::string("/dev/adc") + channel).c_str(), O_RDONLY | O_SYNC);
    if (fd == -1) return failed();
    std::int32_t raw = 0;
    ssize_t count = pread(fd, &raw, size, 3);
    close(fd);
    if (count < 0) return failed();
    std::printf("raw=%d bytes=%zd\n", raw, count);
    return 0;
}

int try_open(const char* path) {
    int fd = open(path, O_RDONLY);
    std::printf("open=%s\n", fd == -1 ? std::strerror(errno) : "ok");
    if (fd != -1) close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "read" && argc == 4) return read_port(argv[2], static_cast<off_t>(number(argv[3])));
    if (what == "write" && argc == 5) return port_write(argv[2], static_cast<off_t>(number(argv[3])), number(argv[4])) ? 0 : 1;
    if (what == "adc" && argc == 4) return read_adc(argv[2], number(argv[3]));
    if (what == "open" && argc == 3) return try_open(argv[2]);
    if (what == "uart" && argc == 4) return uart_exchange(number(argv[2]), argv[3]);
    if (what == "stream" && argc == 3) return measure_stream(std::atof(argv[2]));
    if (what == "flush_after" && argc == 3) return flush_after(std::atof(argv[2]));
    std::fprintf(stderr, "usage: world_probe read|write|adc|open|uart|stream|flush_after ...\n");
    return 2;
}
