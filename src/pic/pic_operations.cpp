#include "pic/pic_operations.h"

#include "base/sleep_whole.h"
#include "board/gpio.h"
#include "board/serial_line.h"
#include "ipc/shared_state.h"
#include "pic/pic_link.h"

#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned max_channels = 8;
constexpr double capture_read_ms = 1046.875;
constexpr double capture_lead_ms = 28.076171875;
constexpr double legacy_step_ms = 1000.0 / 32;
constexpr std::uint8_t end_byte = 0x00;

// Raises the priority for one exchange; restore() puts back what was there.
// Without the privilege to raise it the exchange still runs. Restored only
// after a complete exchange: a failed one ends the service, whose exit takes
// the priority with it.
class exchange_priority {
public:
    exchange_priority() {
        errno = 0;
        saved_ = getpriority(PRIO_PROCESS, 0);
        known_ = errno == 0;
        setpriority(PRIO_PROCESS, 0, -20);
    }
    void restore() const {
        if (known_) setpriority(PRIO_PROCESS, 0, saved_);
    }

private:
    int saved_ = 0;
    bool known_ = false;
};

class bit_reader {
public:
    explicit bit_reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint8_t next() {
        if (position_ >= bytes_.size() * 8) return 0;
        std::uint8_t bit = (bytes_[position_ / 8] >> (position_ % 8)) & 1;
        ++position_;
        return bit;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

class bit_writer {
public:
    explicit bit_writer(std::span<std::uint8_t> bytes) : bytes_(bytes) {}
    void put(std::uint8_t bit) {
        if (position_ >= bytes_.size() * 8) return;
        auto& byte = bytes_[position_ / 8];
        auto place = static_cast<std::uint8_t>(1u << (position_ % 8));
        byte = static_cast<std::uint8_t>(bit != 0 ? byte | place : byte & ~place);
        ++position_;
    }

private:
    std::span<std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

// Four 2-bit samples of one input byte spread to four 4-bit samples.
constexpr std::array<std::uint16_t, 256> two_to_four_bits = [] {
    std::array<std::uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        unsigned spread = 0;
        for (unsigned sample = 0; sample < 4; ++sample) spread |= ((byte >> (2 * sample)) & 3u) << (4 * sample);
        table[byte] = static_cast<std::uint16_t>(spread);
    }
    return table;
}();

// The service's own parameters, a byte of input to two of output.
bool repack_two_to_four(std::span<const std::uint8_t> input, std::span<std::uint8_t> out, std::uint32_t samples) {
    std::size_t whole_bytes = samples / 4;
    if (samples % 4 != 0 || input.size() < whole_bytes || out.size() < 2 * whole_bytes) return false;
    for (std::size_t index = 0; index < whole_bytes; ++index) {
        std::uint16_t spread = two_to_four_bits[input[index]];
        out[2 * index] = static_cast<std::uint8_t>(spread);
        out[2 * index + 1] = static_cast<std::uint8_t>(spread >> 8);
    }
    return true;
}

bool start_stream(const pic_parameters& parameters) {
    return pic_sampling_start(parameters.rate) && pic_stream_wait();
}

bool select_pulse(const pic_parameters& parameters, std::uint32_t mask) {
    return pic_select_pulse(parameters.select_pulse_ms, parameters.rate, parameters.in_channels,
                            static_cast<std::uint8_t>(mask & 0x3));
}

bool skip_ms(const pic_parameters& parameters, double ms) {
    return pic_stream_skip(pic_bytes(ms, parameters.rate, parameters.in_channels));
}

}  // namespace

bool pic_parameters_from(const shared_state& block, pic_parameters& parameters) {
    parameters = {block.sample_rate, block.in_channels, block.out_channels, block.select_pulse_ms};
    return parameters.rate != 0 && parameters.in_channels >= 1 && parameters.in_channels <= max_channels &&
           parameters.out_channels >= 1 && parameters.out_channels <= max_channels;
}

std::size_t pic_capture_size(const pic_parameters& parameters) {
    return static_cast<std::size_t>(pic_bytes(1000, parameters.rate, parameters.out_channels));
}

std::uint32_t pic_channel_mask(long channel) {
    return channel >= 1 && channel <= 32 ? 1u << (channel - 1) : 0;
}

void pic_repack(std::span<const std::uint8_t> input, unsigned in_channels, std::span<std::uint8_t> out,
                unsigned out_channels, std::uint32_t samples) {
    if (in_channels == 2 && out_channels == 4 && repack_two_to_four(input, out, samples)) return;
    bit_reader reader(input);
    bit_writer writer(out);
    unsigned channels = std::max(in_channels, out_channels);
    for (std::uint32_t sample = 0; sample < samples; ++sample) {
        for (unsigned channel = 0; channel < channels; ++channel) {
            std::uint8_t bit = channel < in_channels ? reader.next() : 0;
            if (channel < out_channels) writer.put(bit);
        }
    }
}

bool pic_capture(const shared_state& block, std::uint32_t mask, std::span<std::uint8_t> out) {
    pic_parameters parameters{};
    if (!pic_parameters_from(block, parameters) || out.size() < pic_capture_size(parameters)) return false;
    std::vector<std::uint8_t> input(static_cast<std::size_t>(pic_bytes(capture_read_ms, parameters.rate,
                                                                        parameters.in_channels)));
    exchange_priority priority;
    if (!start_stream(parameters) || !select_pulse(parameters, mask)) return false;
    serial_low_latency_off();
    if (!pic_stream_read(input.data(), input.size())) return false;
    pic_link_close();
    priority.restore();

    auto lead = std::min(input.size(), static_cast<std::size_t>(pic_bytes(capture_lead_ms, parameters.rate,
                                                                          parameters.in_channels)));
    std::fill(out.begin(), out.end(), 0);
    pic_repack(std::span(input).subspan(lead), parameters.in_channels, out.first(pic_capture_size(parameters)),
               parameters.out_channels, parameters.rate);
    return true;
}

bool pic_legacy_command(const shared_state& block, long channel, long address, long code) {
    pic_parameters parameters{};
    if (!pic_parameters_from(block, parameters)) return false;
    std::uint32_t mask = pic_channel_mask(channel);
    exchange_priority priority;
    bool sent = start_stream(parameters) && select_pulse(parameters, mask) &&
                skip_ms(parameters, static_cast<double>(address) * legacy_step_ms + 21.240234375) &&
                select_pulse(parameters, mask) &&
                skip_ms(parameters, static_cast<double>(code - 1) * legacy_step_ms + 4.8828125) &&
                select_pulse(parameters, mask);
    if (!sent) return false;
    serial_low_latency_off();
    if (!skip_ms(parameters, capture_read_ms)) return false;
    pic_link_close();
    priority.restore();
    return true;
}

bool pic_packet_send(const shared_state& block, std::uint8_t direction, std::uint8_t length,
                     const std::uint8_t* packet) {
    pic_parameters parameters{};
    if (!pic_parameters_from(block, parameters) || length > packet_slot_size) return false;
    std::uint32_t mask = pic_channel_mask(direction);
    exchange_priority priority;
    route_set(static_cast<std::uint8_t>(direction - 1), 1);
    route_flag_set(false);
    bool sent = pic_packet_start(parameters.rate, length, packet) && pic_stream_wait() &&
                skip_ms(parameters, 200) && select_pulse(parameters, mask) && skip_ms(parameters, 1300);
    if (!sent) return false;
    [[maybe_unused]] ssize_t written = write(serial_fd.get(), &end_byte, 1);
    if (tcdrain(serial_fd.get()) != 0) return false;
    sleep_whole(std::chrono::microseconds(length * 15625L + 10086));
    pic_link_close();
    priority.restore();
    return true;
}
