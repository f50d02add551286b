#include "service/command_word.h"

namespace {

constexpr command_bytes pause_word = {0xFF, 0x00, 0x00, 0x00};
constexpr command_bytes resume_word = {0xFF, 0xFF, 0xFF, 0xFF};
constexpr command_bytes reset_word = {0x00, 0x00, 0x00, 0x00};
constexpr std::uint8_t route_flag_bit = 0x04;
constexpr int max_address = 32;
constexpr int max_legacy_code = 64;

std::optional<route_request> route_of(const command_bytes& bytes) {
    int mode = bytes[0] & ~route_flag_bit;
    if (mode != 1 && mode != 2) return std::nullopt;
    return route_request{bytes[1], mode == 2, (bytes[0] & route_flag_bit) != 0};
}

bool travels_as_packet(const command_bytes& bytes, int pic_version) {
    int mode = bytes[0];
    int code = bytes[3];
    return code > max_legacy_code || (pic_version >= 3 && mode != 0 && code >= 16 && code <= 32 && code != 24);
}

std::optional<device_request> device_of(const command_bytes& bytes, int pic_version, int in_channels) {
    std::uint8_t channel = bytes[1];
    std::uint8_t address = bytes[2];
    std::uint8_t code = bytes[3];
    if (channel < 1 || channel > in_channels || address < 1 || address > max_address) return std::nullopt;
    delivery how = delivery::none;
    if (travels_as_packet(bytes, pic_version)) {
        how = delivery::packet;
    } else if (code >= 1) {
        how = delivery::legacy;
    }
    return device_request{channel, address, code, how};
}

}  // namespace

decoded_word command_word_decode(const command_bytes& bytes, int pic_version, int in_channels) {
    if (bytes == pause_word) return {word_kind::pause, {}, {}};
    if (bytes == resume_word) return {word_kind::resume, {}, {}};
    if (bytes == reset_word) return {word_kind::reset, {}, {}};
    if (bytes[2] == 0 && bytes[3] == 1) return {word_kind::scan_on, {}, {}};
    return {word_kind::device, route_of(bytes), device_of(bytes, pic_version, in_channels)};
}
