// Bytes as hex for the world's logs and the reference server's reports: two
// capital digits a byte, no separators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

std::string hex_byte(std::uint8_t value);

// The first `shown` bytes, ".." when more followed; "-" for none, so that a
// log field is never empty.
std::string hex_bytes(std::span<const std::uint8_t> bytes, std::size_t shown = SIZE_MAX);
