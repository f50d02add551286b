#include "pic/packet_slot.h"

#include "ipc/shared_state.h"

#include <atomic>
#include <cstring>

std::uint8_t packet_checksum(std::span<const std::uint8_t> data) {
    std::uint8_t sum = 0;
    for (std::uint8_t byte : data) sum = static_cast<std::uint8_t>(sum + byte);
    return static_cast<std::uint8_t>(0 - sum);
}

std::array<std::uint8_t, 6> generated_packet(std::uint8_t address, std::uint8_t code) {
    std::array<std::uint8_t, 6> packet = {packet_start_byte, static_cast<std::uint8_t>(address - 1), 0x02, 0x40, code, 0};
    packet[5] = packet_checksum(std::span(packet).subspan(1, 4));
    return packet;
}

void slot_publish(shared_state& block, std::span<const std::uint8_t> packet, std::uint8_t direction) {
    std::memcpy(block.pkt, packet.data(), packet.size());
    block.pkt_dir = direction;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    store_shared(block.pkt_len, static_cast<std::uint8_t>(packet.size()));
}
