#include "pic/pic_link.h"

#include "base/sleep_whole.h"
#include "base/stop_flag.h"
#include "board/gpio.h"
#include "board/serial_line.h"
#include "ipc/shared_state.h"

#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <optional>

namespace {

constexpr std::array<std::uint8_t, 7> version_query_frame = {0x02, 0x16, 0x22, 0x19, 0x37, 0x00, 0x00};
constexpr auto stream_timeout = std::chrono::seconds(1);
constexpr auto version_answer_timeout = std::chrono::milliseconds(250);
constexpr int line_wait_slice_ms = 200;

std::uint8_t receive_buffer[pic_receive_buffer_size];

// Whether this process holds sem_serial: only what it holds is given back,
// so a bridge or self test holding the line is never robbed of it.
std::optional<held_lock> serial_line;

// A bridge holds the line for its whole connection: the wait looks at the
// stop flag every slice and gives up once this process is asked to stop.
bool take_serial_line() {
    for (;;) {
        serial_line.emplace(held_lock::acquire_within(sem_serial, line_wait_slice_ms));
        if (serial_line->held()) return true;
        if (stop_requested() || (errno != EAGAIN && errno != EINTR)) return false;
    }
}

void give_serial_line_back() { serial_line.reset(); }

enum class line_wait { readable, timed_out, failed };

// A stop signal must not turn into a stream time-out: the pass completes.
line_wait wait_for_line(std::chrono::microseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) left = std::chrono::microseconds(0);
        timeval wait{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(serial_fd.get(), &readable);
        int ready = select(serial_fd.get() + 1, &readable, nullptr, nullptr, &wait);
        if (ready > 0) return line_wait::readable;
        if (ready == 0) return line_wait::timed_out;
        if (errno != EINTR) return line_wait::failed;
    }
}

bool wait_readable(std::chrono::microseconds timeout) { return wait_for_line(timeout) == line_wait::readable; }

// Takes n stream bytes into buffer, or discards them when it is null. Fails
// once a whole time-out passes without a byte: a line that stays readable
// but fails every read (a hang-up) must not spin here.
bool stream_take(std::uint8_t* buffer, std::size_t n) {
    auto last_byte = std::chrono::steady_clock::now();
    std::size_t taken = 0;
    while (taken < n) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            stream_timeout - (std::chrono::steady_clock::now() - last_byte));
        if (left.count() <= 0 || !wait_readable(left)) return false;
        std::uint8_t* into = buffer != nullptr ? buffer + taken : receive_buffer;
        std::size_t wanted = n - taken;
        if (buffer == nullptr) wanted = std::min(wanted, pic_receive_buffer_size);
        ssize_t count = read(serial_fd.get(), into, wanted);
        if (count > 0) {
            taken += static_cast<std::size_t>(count);
            last_byte = std::chrono::steady_clock::now();
        }
    }
    return true;
}

bool write_all(const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t written = write(serial_fd.get(), bytes, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

bool abandon_line() {
    serial_close();
    give_serial_line_back();
    return false;
}

// Attention up, the line taken, opened and set up for the PIC, attention down.
bool line_acquire() {
    if (!pic_attention_set(true)) return false;
    sleep_whole(std::chrono::microseconds(6));
    if (!take_serial_line()) return false;
    if (!serial_open()) {
        give_serial_line_back();
        return false;
    }
    if (!serial_setup(0, baud_to_speed(115200), 8, 0, 0, 1) || !pic_attention_set(false)) return abandon_line();
    sleep_whole(std::chrono::microseconds(300));
    return true;
}

std::uint8_t rate_byte(std::uint32_t divisor) { return static_cast<std::uint8_t>(3 - divisor); }

}  // namespace

int pic_bytes(double ms, double rate, double channels) {
    return static_cast<int>(std::lround(rate * ms * channels / 8000.0));
}

sampling_start_frame pic_sampling_frame(std::uint32_t rate) {
    unsigned k = 0;
    while (k < 31 && pic_rate_base / (static_cast<std::uint64_t>(rate) << k) >= 260) ++k;
    auto q = static_cast<std::uint32_t>(pic_rate_base / (static_cast<std::uint64_t>(rate) << k));
    auto prescale = static_cast<std::uint8_t>(0xD0 + ((k + 15) % 16));
    return {0x06, 0x16, 0x22, 0x0E, rate_byte(q), 0x19, 0x17, 0x91, 0x00, 0x81, prescale, 0x0B, 0xE0, 0x00, 0x00};
}

packet_start_frame pic_packet_frame(std::uint32_t rate, std::uint8_t payload_length) {
    constexpr std::uint32_t m = 8;  // smallest power of two with 3686400 / (2048 m) < 260
    return {0x06, 0x16, 0x22, 0x0E, rate_byte(pic_rate_base / rate), 0x19, 0x17, 0x91, 0x00, 0x81, 0xDF,
            0x0B, 0xE0, 0x03, 0x0E, rate_byte(pic_rate_base / (2048 * m)), 0x0F, m - 1, 0x0B, 0xE0,
            payload_length};
}

bool pic_link_open(const std::uint8_t* frame, std::size_t length, const std::uint8_t* payload,
                   std::size_t payload_length) {
    if (!line_acquire()) return false;
    if (tcflush(serial_fd.get(), TCIOFLUSH) != 0 || !write_all(frame, length)) return abandon_line();
    if (payload_length != 0 && !write_all(payload, payload_length)) return abandon_line();
    return true;
}

void pic_link_close() {
    pic_attention_set(true);
    serial_close();
    give_serial_line_back();
}

int pic_version_query() {
    int version = -1;
    if (pic_link_open(version_query_frame.data(), version_query_frame.size()) && tcdrain(serial_fd.get()) == 0) {
        std::uint8_t answer = 0;
        line_wait first = wait_for_line(version_answer_timeout);
        if (first == line_wait::timed_out) {
            version = 2;  // firmware that does not answer the query
        } else if (first == line_wait::readable && read(serial_fd.get(), &answer, 1) == 1 && answer == 'V') {
            if (wait_readable(version_answer_timeout) && read(serial_fd.get(), &answer, 1) == 1) {
                version = answer - 0x30;
            }
        }
    }
    serial_close();
    give_serial_line_back();
    return version;
}

bool pic_sampling_start(std::uint32_t rate) {
    sampling_start_frame frame = pic_sampling_frame(rate);
    return pic_link_open(frame.data(), frame.size());
}

bool pic_packet_start(std::uint32_t rate, std::uint8_t length, const std::uint8_t* payload) {
    packet_start_frame frame = pic_packet_frame(rate, length);
    return pic_link_open(frame.data(), frame.size(), payload, length);
}

bool pic_stream_wait() {
    bool readable = wait_readable(stream_timeout);
    return tcflush(serial_fd.get(), TCIOFLUSH) == 0 && readable;
}

bool pic_stream_skip(long n) {
    return n <= 0 || stream_take(nullptr, static_cast<std::size_t>(n));
}

bool pic_stream_read(std::uint8_t* buffer, std::size_t n) { return stream_take(buffer, n); }

bool pic_select_pulse(double ms, double rate, double channels, std::uint8_t mask) {
    int n = pic_bytes(ms, rate, channels);
    bool consumed = channel_mask_set(mask) && pic_stream_skip(n);
    return channel_mask_set(0) && consumed;
}
