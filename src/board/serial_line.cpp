#include "board/serial_line.h"

#include "board/gpio.h"
#include "base/error_report.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <iostream>

unique_fd serial_fd;

namespace {

struct rate_code {
    long baud;
    speed_t speed;
};

constexpr rate_code rate_table[] = {
    {0, B0},           {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},       {200, B200},         {300, B300},         {600, B600},         {1200, B1200},
    {1800, B1800},     {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},   {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000}, {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
};

bool low_latency_update(bool on) {
    serial_struct settings{};
    if (ioctl(serial_fd.get(), TIOCGSERIAL, &settings) != 0) return false;
    if (on) {
        settings.flags |= ASYNC_LOW_LATENCY;
    } else {
        settings.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
    }
    return ioctl(serial_fd.get(), TIOCSSERIAL, &settings) == 0;
}

tcflag_t character_size(long data_bits) {
    switch (data_bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

// Raw, non-canonical, no echo, no flow control, no output processing; a read
// returns what has arrived, waiting at most 0.1 s for the first byte.
void make_raw(termios& line) {
    line.c_iflag &= ~static_cast<tcflag_t>(IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
                                           IXON | IXOFF);
    line.c_iflag |= IGNBRK;
    line.c_oflag &= ~static_cast<tcflag_t>(0xFF);
    line.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSIZE | CSTOPB | PARENB | PARODD);
    line.c_cflag |= CLOCAL | CREAD | CS8;
    line.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE | FLUSHO | IEXTEN);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 1;
}

void set_character_format(termios& line, long data_bits, std::uint8_t parity_on, std::uint8_t parity_odd,
                          long stop_bits) {
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    line.c_cflag |= character_size(data_bits);
    if (stop_bits == 2) line.c_cflag |= CSTOPB;
    line.c_cflag |= static_cast<tcflag_t>(parity_on) << 8;
    line.c_cflag |= static_cast<tcflag_t>(parity_odd) << 9;
    line.c_iflag |= static_cast<tcflag_t>(parity_on) * (INPCK | ISTRIP);
}

}  // namespace

bool serial_open() {
    int fd = open("/dev/ttyAM1", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int open_error = errno;
    serial_fd.reset(fd);
    if (!serial_fd.valid()) {
        std::cout << open_error << std::endl;
        report_error("serial_open");
        return false;
    }
    return fcntl(serial_fd.get(), F_SETFL, 0) == 0;
}

void serial_close() { serial_fd.reset(); }

speed_t baud_to_speed(long baud) {
    for (const rate_code& rate : rate_table) {
        if (rate.baud == baud) return rate.speed;
    }
    return B0;
}

bool serial_setup(long channel, speed_t speed, long data_bits, std::uint8_t parity_on, std::uint8_t parity_odd,
                  long stop_bits) {
    termios line{};
    if (!low_latency_update(true) || tcgetattr(serial_fd.get(), &line) != 0) return false;
    make_raw(line);
    if (cfsetispeed(&line, speed) != 0 || cfsetospeed(&line, speed) != 0) return false;
    set_character_format(line, data_bits, parity_on, parity_odd, stop_bits);
    return tcsetattr(serial_fd.get(), TCSANOW, &line) == 0 && serial_channel_select(channel);
}

bool serial_low_latency_off() { return low_latency_update(false); }
