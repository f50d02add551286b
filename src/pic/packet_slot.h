// The PIC packet ("_", data bytes, two's-complement checksum) and the shared
// packet slot that producers fill for the service to transmit. A producer
// holds the sem_packet token; the service gives it back once it has sent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

struct shared_state;

constexpr std::uint8_t packet_start_byte = 0x5F;

// (0 - sum of the data bytes) mod 256.
std::uint8_t packet_checksum(std::span<const std::uint8_t> data);

// The packet the service makes of a server command for a device.
std::array<std::uint8_t, 6> generated_packet(std::uint8_t address, std::uint8_t code);

// With the token held: bytes and direction first, then a full barrier, then
// the length that announces them.
void slot_publish(shared_state& block, std::span<const std::uint8_t> packet, std::uint8_t direction);
