#include "commands/packet_command.h"

#include "base/log.h"
#include "ipc/shared_state.h"
#include "base/decimal.h"
#include "ipc/service_claim.h"
#include "pic/packet_slot.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t max_data_bytes = packet_slot_size - 2;

enum class packet_text_result { framed, malformed_escape, too_long };

struct framed_packet {
    std::uint8_t bytes[packet_slot_size];
    std::size_t length;
};

// Start byte, data bytes with "%hl" escapes, checksum.
packet_text_result frame_packet_text(const char* text, framed_packet& packet) {
    std::size_t count = 0;
    std::uint8_t data[max_data_bytes];
    while (*text != '\0') {
        std::uint8_t byte = static_cast<std::uint8_t>(*text);
        if (*text == '%') {
            if (text[1] == '\0' || text[2] == '\0') return packet_text_result::malformed_escape;
            byte = static_cast<std::uint8_t>(16 * hex_digit_value(text[1]) + hex_digit_value(text[2]));
            text += 2;
        }
        if (count == max_data_bytes) return packet_text_result::too_long;
        data[count++] = byte;
        ++text;
    }
    packet.bytes[0] = packet_start_byte;
    std::memcpy(packet.bytes + 1, data, count);
    packet.bytes[count + 1] = packet_checksum(std::span(data, count));
    packet.length = count + 2;
    return packet_text_result::framed;
}

}  // namespace

unsigned char hex_digit_value(char character) {
    if (character >= '0' && character <= '9') return static_cast<unsigned char>(character - '0');
    if (character >= 'A' && character <= 'F') return static_cast<unsigned char>(character - 'A' + 10);
    if (character >= 'a' && character <= 'f') return static_cast<unsigned char>(character - 'a' + 10);
    return 255;
}

bool send_packet(const char* direction_text, const char* packet_text) {
    long direction = 0;
    if (packet_text == nullptr || !parse_decimal(direction_text, direction)) return false;

    framed_packet packet{};
    switch (frame_packet_text(packet_text, packet)) {
    case packet_text_result::framed:
        break;
    case packet_text_result::malformed_escape:
        log_failure() << "Packet text ends inside a % escape";
        return false;
    case packet_text_result::too_long:
        log_failure() << "Packet too long: at most " << max_data_bytes << " data bytes";
        return false;
    }

    attached_state block;
    if (!block || !sem_take(sem_packet)) return false;
    slot_publish(*block, std::span(packet.bytes, packet.length), static_cast<std::uint8_t>(direction));
    service_alive();  // wakes an idle service to send it now
    return true;
}
