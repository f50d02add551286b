#include "packet_oracle.h"

#include <cstdio>

namespace refserver {

std::vector<std::uint8_t> packet_text_bytes(const std::string& text) {
    auto value = [](char c) -> unsigned {
        if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
        return 255;
    };
    std::vector<std::uint8_t> data;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            data.push_back(static_cast<std::uint8_t>(16 * value(text[i + 1]) + value(text[i + 2])));
            i += 2;
        } else {
            data.push_back(static_cast<std::uint8_t>(text[i]));
        }
    }
    return data;
}

std::vector<std::uint8_t> framed_packet(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> packet{0x5F};
    std::uint8_t sum = 0;
    for (std::uint8_t byte : data) {
        packet.push_back(byte);
        sum = static_cast<std::uint8_t>(sum - byte);
    }
    packet.push_back(sum);
    return packet;
}

std::string hex_text(const std::vector<std::uint8_t>& data) {
    std::string text;
    char two[3];
    for (std::uint8_t byte : data) {
        std::snprintf(two, sizeof two, "%02X", byte);
        text += two;
    }
    return text;
}

}  // namespace refserver
