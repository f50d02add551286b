#include "hex_text.h"

std::string hex_byte(std::uint8_t value) {
    constexpr char digits[] = "0123456789ABCDEF";
    return {digits[value >> 4], digits[value & 0x0F]};
}

std::string hex_bytes(std::span<const std::uint8_t> bytes, std::size_t shown) {
    if (bytes.empty()) return "-";
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < shown; ++i) text += hex_byte(bytes[i]);
    if (bytes.size() > shown) text += "..";
    return text;
}
