// What a `tovk p` packet text must become in the slot, worked out apart from
// tovk's own code, so the audit does not take tovk's word for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace refserver {

// The data bytes a packet text stands for ("%hh" escapes).
std::vector<std::uint8_t> packet_text_bytes(const std::string& text);

// A packet as it leaves in the slot: start byte, data, checksum.
std::vector<std::uint8_t> framed_packet(const std::vector<std::uint8_t>& data);

// Upper-case hex digits, two a byte, as the PIC's log writes a payload.
std::string hex_text(const std::vector<std::uint8_t>& data);

}  // namespace refserver
