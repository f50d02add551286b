// What a `tovk p` packet text must become in the slot, worked out apart from
// tovk's own code, so the audit does not take tovk's word for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace refserver {

// Data bytes a slot packet can hold: a longer `tovk p` is refused.
constexpr std::size_t packet_data_limit = 78;

// The data bytes a packet text stands for ("%hh" escapes).
std::vector<std::uint8_t> packet_text_bytes(const std::string& text);

// A packet as it leaves in the slot: start byte, data, checksum.
std::vector<std::uint8_t> framed_packet(const std::vector<std::uint8_t>& data);

}  // namespace refserver
