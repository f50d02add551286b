// Preloaded into every process of the world. A pseudo-terminal has neither
// the serial driver's settings block nor a memory of the line settings asked
// for, so for /dev/ttyAM1 this supplies TIOCGSERIAL/TIOCSSERIAL (the world
// keeps the flags) and reports every tcsetattr to the world's log. Plain C
// library calls only: it lives inside programs that know nothing of it.
#include <dlfcn.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "world_request.h"

namespace {

const char uart_path[] = "/dev/ttyAM1";

bool is_uart(int fd) {
    struct stat opened;
    struct stat uart;
    if (fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode)) return false;
    if (stat(uart_path, &uart) != 0 || !S_ISCHR(uart.st_mode)) return false;
    return opened.st_rdev == uart.st_rdev;
}

struct speed_entry {
    speed_t code;
    unsigned long baud;
};

const speed_entry speeds[] = {
    {B0, 0},           {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},       {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},
    {B1800, 1800},     {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},
    {B38400, 38400},   {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
    {B500000, 500000}, {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000},
    {B4000000, 4000000},
};

unsigned long baud_of(speed_t code) {
    for (const speed_entry& entry : speeds) {
        if (entry.code == code) return entry.baud;
    }
    return 0;
}

unsigned data_bits_of(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

const char* parity_of(tcflag_t cflag) {
    if (!(cflag & PARENB)) return "none";
    return (cflag & PARODD) ? "odd" : "even";
}

void report_settings(const termios* line) {
    char request[256];
    snprintf(request, sizeof request, "shim serial speed=%lu ispeed=%lu data=%u parity=%s stop=%u pid=%d\n",
             baud_of(cfgetospeed(line)), baud_of(cfgetispeed(line)), data_bits_of(line->c_cflag),
             parity_of(line->c_cflag), (line->c_cflag & CSTOPB) ? 2u : 1u, static_cast<int>(getpid()));
    ask_world(request, nullptr, 0);
}

int get_serial(serial_struct* settings) {
    char reply[128] = "";
    if (settings == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (!ask_world("shim getserial\n", reply, sizeof reply)) {
        errno = EIO;
        return -1;
    }
    memset(settings, 0, sizeof *settings);
    settings->type = PORT_16550A;
    settings->line = 1;
    settings->xmit_fifo_size = 16;
    settings->baud_base = 115200;
    const char* flags = strstr(reply, "flags=");
    settings->flags = flags ? static_cast<int>(strtol(flags + 6, nullptr, 0)) : 0;
    return 0;
}

int set_serial(const serial_struct* settings) {
    char request[96];
    if (settings == nullptr) {
        errno = EFAULT;
        return -1;
    }
    snprintf(request, sizeof request, "shim setserial %d pid=%d\n", settings->flags, static_cast<int>(getpid()));
    if (!ask_world(request, nullptr, 0)) {
        errno = EIO;
        return -1;
    }
    return 0;
}

// Every byte the host takes off the line, read or flushed, counted in a word
// the world shares: what the host has consumed of the PIC's stream is then
// exact at any moment, whatever is still on its way through the terminal.
// The next word is the world's count of the bytes it wrote to the line.
volatile unsigned long long* line_counters() {
    static volatile unsigned long long* counters = [] () -> volatile unsigned long long* {
        const char* path = getenv("BOARDSIM_UART_CONSUMED");
        int fd = path != nullptr ? open(path, O_RDWR | O_CLOEXEC) : -1;
        if (fd == -1) return nullptr;
        void* mapped = mmap(nullptr, 2 * sizeof(unsigned long long), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        return mapped == MAP_FAILED ? nullptr : static_cast<volatile unsigned long long*>(mapped);
    }();
    return counters;
}

// Only the holder of the line reads it, so a plain add suffices; it also
// keeps the shim free of 64-bit atomics, which older ARM cores lack.
void count_consumed(long long bytes) {
    volatile unsigned long long* counters = line_counters();
    if (counters != nullptr && bytes > 0) counters[0] = counters[0] + static_cast<unsigned long long>(bytes);
}

}  // namespace

using read_function = ssize_t (*)(int, void*, size_t);

read_function real_read() {
    static auto real = reinterpret_cast<read_function>(dlsym(RTLD_NEXT, "read"));
    return real;
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    ssize_t result = real_read()(fd, buffer, count);
    if (result > 0 && line_counters() != nullptr && is_uart(fd)) count_consumed(result);
    return result;
}

// The input side is emptied by reading, so that every byte it drops is
// counted, up to the last byte the world had written when the flush began:
// a real flush drops what its buffers hold, and a terminal's buffers also
// hold bytes not yet visible to the reader. Bounded, in case a reader the
// shim does not see took some of them.
void drain_written(int fd) {
    volatile unsigned long long* counters = line_counters();
    unsigned long long written = counters[1];
    char discarded[4096];
    for (int waits = 0; counters[0] < written && waits < 50;) {
        int waiting = 0;
        if (::ioctl(fd, FIONREAD, &waiting) != 0) return;
        if (waiting == 0) {
            pollfd readable{fd, POLLIN, 0};
            if (poll(&readable, 1, 5) < 0 && errno != EINTR) return;
            ++waits;
            continue;
        }
        size_t wanted = static_cast<size_t>(waiting) < sizeof discarded ? static_cast<size_t>(waiting) : sizeof discarded;
        ssize_t got = real_read()(fd, discarded, wanted);
        if (got <= 0) return;
        count_consumed(got);
    }
}

extern "C" int tcflush(int fd, int queue) {
    using tcflush_function = int (*)(int, int);
    static auto real = reinterpret_cast<tcflush_function>(dlsym(RTLD_NEXT, "tcflush"));
    bool input = queue == TCIFLUSH || queue == TCIOFLUSH;
    if (!input || line_counters() == nullptr || !is_uart(fd)) return real(fd, queue);
    int saved = errno;
    drain_written(fd);
    errno = saved;
    return queue == TCIOFLUSH ? real(fd, TCOFLUSH) : 0;
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if ((request == TIOCGSERIAL || request == TIOCSSERIAL) && is_uart(fd)) {
        return request == TIOCGSERIAL ? get_serial(static_cast<serial_struct*>(argument))
                                      : set_serial(static_cast<const serial_struct*>(argument));
    }
    using ioctl_function = int (*)(int, unsigned long, ...);
    auto real = reinterpret_cast<ioctl_function>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, argument);
}

extern "C" int tcsetattr(int fd, int actions, const termios* line) {
    using tcsetattr_function = int (*)(int, int, const termios*);
    auto real = reinterpret_cast<tcsetattr_function>(dlsym(RTLD_NEXT, "tcsetattr"));
    if (line != nullptr && is_uart(fd)) report_settings(line);
    return real(fd, actions, line);
}
