// Upstream packets as they arrive from the service: a 5-byte header (two type
// characters, a status character, a big-endian payload length), then the
// payload. Framing never trusts a header it does not know: an unknown type
// leaves the rest of the connection unreadable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace refserver {

using bytes = std::vector<std::uint8_t>;

constexpr std::size_t header_length = 5;

enum class packet_type { data, ack };

struct packet_header {
    packet_type type = packet_type::data;
    char status = 0;
    std::size_t payload_length = 0;

    std::size_t total_length() const { return header_length + payload_length; }
};

// The header of a known type, or an explanation of why it is not one.
struct header_result {
    std::optional<packet_header> header;
    std::string error;
};

header_result parse_header(const std::uint8_t* five);

// The one acknowledgement the service may send, checked byte for byte.
const bytes& expected_ack();

// Empty when `packet` is exactly the acknowledgement; otherwise what differs.
std::string check_ack(const bytes& packet);

struct upstream_packet {
    packet_header header;
    bytes raw;  // header and payload as received
};

// Cuts a connection's byte stream into packets. After an error the framer
// stays broken: what follows cannot be framed any more.
class packet_framer {
public:
    void feed(const std::uint8_t* data, std::size_t count);

    // The next complete packet, if one is buffered.
    std::optional<upstream_packet> next();

    const std::string& error() const { return error_; }
    bool broken() const { return !error_.empty(); }

    // Bytes of the packet in progress (header included), for a cut connection.
    const bytes& partial() const { return buffer_; }
    // Its header once the first five bytes are in.
    std::optional<packet_header> partial_header() const;

    void reset();

private:
    bytes buffer_;
    std::string error_;
};

// What inflating a data payload gave.
struct inflate_result {
    bytes output;
    std::string error;  // empty: a complete zlib stream that filled exactly `expected` bytes
};

// Inflates a whole payload and insists on exactly `expected` bytes and no
// trailing input.
inflate_result inflate_payload(const std::uint8_t* data, std::size_t count, std::size_t expected);

// Inflates as much as a truncated payload gives (at most `limit` bytes).
bytes inflate_prefix(const std::uint8_t* data, std::size_t count, std::size_t limit);

}  // namespace refserver
