#include "serial_bridge/serial_settings.h"

#include "board/gpio.h"
#include "board/serial_line.h"
#include "ipc/shared_state.h"
#include "base/decimal.h"

#include <cstdint>
#include <iostream>

namespace {

bool parse_in_range(const char* text, long low, long high, long& value) {
    return parse_decimal(text, value) && value >= low && value <= high;
}

// The parity letter folded to upper case, or 0 when it is none of N, E, O.
char parity_letter(const char* text) {
    char letter = static_cast<char>(text[0] & ~0x20);
    return letter == 'N' || letter == 'E' || letter == 'O' ? letter : '\0';
}

// Data, stop and parity bits together: 9 or 10 is what the UART frames.
bool frame_supported(long data, long stop, bool parity_on) {
    long frame_bits = data + stop + (parity_on ? 1 : 0);
    return frame_bits == 9 || frame_bits == 10;
}

bool validate(const char* channel_text, const char* baud_text, const char* data_text, const char* parity_text,
              const char* stop_text, line_settings& settings) {
    long channel = 0, baud = 0, stop = 0, data = 0;
    if (!parse_in_range(channel_text, 0, 3, channel)) return false;
    if (!parse_decimal(baud_text, baud) || baud_to_speed(baud) == B0) return false;
    if (!parse_in_range(stop_text, 1, 2, stop) || !parse_in_range(data_text, 7, 8, data)) return false;
    char letter = parity_letter(parity_text);
    if (letter == 0) return false;
    if (!frame_supported(data, stop, letter != 'N')) {
        std::cout << "Unsupported serial port mode." << std::endl;
        return false;
    }
    settings = {static_cast<std::uint8_t>(channel), static_cast<std::uint32_t>(baud), static_cast<std::uint8_t>(stop),
                static_cast<std::uint8_t>(data), letter != 'N', letter == 'O'};
    return true;
}

line_settings settings_of(const shared_state& block) {
    return {block.ser_ch, block.ser_baud, block.ser_stop, block.ser_data, block.ser_parity, block.ser_odd};
}

// A bridge starting meanwhile reads the record under the same lock, so it
// never applies half of an update.
bool exchange_record(shared_state& block, const line_settings* update, line_settings& current) {
    held_lock lock = held_lock::acquire(sem_state);
    if (!lock) return false;
    if (update != nullptr) {
        block.ser_ch = update->channel;
        block.ser_baud = update->baud;
        block.ser_stop = update->stop;
        block.ser_data = update->data;
        block.ser_parity = update->parity;
        block.ser_odd = update->odd;
    }
    current = settings_of(block);
    return true;
}

char parity_shown(const line_settings& settings) {
    if (settings.parity != 1) return 'N';
    return settings.odd != 0 ? 'O' : 'E';
}

void print_settings(const line_settings& settings) {
    std::cout << "ch=" << static_cast<int>(settings.channel) << std::endl;
    std::cout << "baud=" << settings.baud << std::endl;
    std::cout << "char=" << static_cast<int>(settings.data) << std::endl;
    std::cout << "parity=" << parity_shown(settings) << std::endl;
    std::cout << "stop=" << static_cast<int>(settings.stop) << std::endl;
}

}  // namespace

bool line_settings_storable(const line_settings& settings) {
    return settings.channel <= 3 && baud_to_speed(settings.baud) != B0 && (settings.data == 7 || settings.data == 8) &&
           (settings.stop == 1 || settings.stop == 2) && settings.parity <= 1 && settings.odd <= 1 &&
           (settings.parity == 1 || settings.odd == 0) && frame_supported(settings.data, settings.stop, settings.parity == 1);
}

line_settings serial_settings_read(const shared_state& block) {
    held_lock lock = held_lock::acquire_within(sem_state, state_lock_wait_ms);
    return settings_of(block);
}

bool serial_channel_enable(const char* channel_text, bool) {
    long channel = 0;
    if (!parse_decimal(channel_text, channel)) return false;
    gpio_session ports;
    return ports.opened() && serial_channel_select(channel);
}

bool serial_settings(const char* channel, const char* baud, const char* data, const char* parity,
                     const char* stop) {
    bool setting = channel != nullptr && baud != nullptr && data != nullptr && parity != nullptr && stop != nullptr;
    line_settings update{};
    if (setting && !validate(channel, baud, data, parity, stop, update)) return false;

    attached_state block;
    line_settings current{};
    if (!block || !exchange_record(*block, setting ? &update : nullptr, current)) return false;
    print_settings(current);
    return true;
}
