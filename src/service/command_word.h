// What one 4-byte command word of the concentrator server asks for, decided
// without touching anything: the service carries the answer out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

using command_bytes = std::array<std::uint8_t, 4>;

enum class word_kind { pause, resume, reset, scan_on, device };

// Mode byte 1 or 2 (its bit 2 cleared): route the output to a channel.
struct route_request {
    std::uint8_t channel;  // 1-based, as the server sent it
    bool mode_two;
    bool flag;  // bit 2 of the mode byte
};

enum class delivery { none, packet, legacy };

// A channel and address in range: a command for that device.
struct device_request {
    std::uint8_t channel;
    std::uint8_t address;
    std::uint8_t code;
    delivery how;
};

struct decoded_word {
    word_kind kind = word_kind::device;
    std::optional<route_request> route;
    std::optional<device_request> device;
};

// Codes above 64 always travel as packets; with firmware 3 or later and a
// non-zero mode byte, so do 16..32 except 24. Other codes 1..64 are pulses.
decoded_word command_word_decode(const command_bytes& bytes, int pic_version, int in_channels);
