// The service's three uses of the PIC, each one exchange at priority -20:
// capture one second of samples, send a pulse-coded command, transmit a
// packet from the packet slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

struct shared_state;

// The stream parameters the record holds, checked before they size anything.
struct pic_parameters {
    std::uint32_t rate;
    unsigned in_channels;
    unsigned out_channels;
    unsigned select_pulse_ms;
};
bool pic_parameters_from(const shared_state& block, pic_parameters& parameters);

// Bytes of one second re-packed to out_channels bits per sample.
std::size_t pic_capture_size(const pic_parameters& parameters);

// 2^(channel - 1) for channels 1 to 32, else 0.
std::uint32_t pic_channel_mask(long channel);

bool pic_capture(const shared_state& block, std::uint32_t mask, std::span<std::uint8_t> out);
bool pic_legacy_command(const shared_state& block, long channel, long address, long code);
bool pic_packet_send(const shared_state& block, std::uint8_t direction, std::uint8_t length,
                     const std::uint8_t* packet);

// Re-packs `samples` samples of in_channels bits, starting at bit 0 of input,
// into out_channels bits each: extra output channels are 0, extra input
// channels are dropped.
void pic_repack(std::span<const std::uint8_t> input, unsigned in_channels, std::span<std::uint8_t> out,
                unsigned out_channels, std::uint32_t samples);
