#include "upstream_packet.h"

#include "hex_text.h"

#include <zlib.h>

namespace refserver {

namespace {

std::string printable(std::uint8_t value) {
    if (value >= 0x20 && value < 0x7F) return std::string("'") + static_cast<char>(value) + "' (" + hex_byte(value) + ")";
    return hex_byte(value);
}

}  // namespace

header_result parse_header(const std::uint8_t* five) {
    packet_header header;
    header.status = static_cast<char>(five[2]);
    header.payload_length = static_cast<std::size_t>(five[3]) * 256 + five[4];
    if (five[0] != 'T' || (five[1] != 'C' && five[1] != 'E')) {
        return {std::nullopt, "unknown packet type " + printable(five[0]) + " " + printable(five[1])};
    }
    if (five[1] == 'E') {
        // An acknowledgement has one length only; trusting another one would
        // swallow the packets behind it.
        if (header.payload_length != 10) {
            return {std::nullopt, "acknowledgement with length " + std::to_string(header.payload_length)};
        }
        header.type = packet_type::ack;
    }
    return {header, ""};
}

const bytes& expected_ack() {
    static const bytes ack{0x54, 0x45, 0x33, 0x00, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    return ack;
}

std::string check_ack(const bytes& packet) {
    const bytes& expected = expected_ack();
    if (packet.size() != expected.size()) {
        return "acknowledgement of " + std::to_string(packet.size()) + " bytes, expected 15";
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (packet[i] != expected[i]) {
            return "acknowledgement byte " + std::to_string(i) + " is " + hex_byte(packet[i]) + ", expected " +
                   hex_byte(expected[i]);
        }
    }
    return "";
}

void packet_framer::feed(const std::uint8_t* data, std::size_t count) {
    if (broken()) return;
    buffer_.insert(buffer_.end(), data, data + count);
}

std::optional<upstream_packet> packet_framer::next() {
    if (broken() || buffer_.size() < header_length) return std::nullopt;
    header_result parsed = parse_header(buffer_.data());
    if (!parsed.header) {
        error_ = parsed.error;
        return std::nullopt;
    }
    std::size_t total = parsed.header->total_length();
    if (buffer_.size() < total) return std::nullopt;
    upstream_packet packet{*parsed.header, bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total))};
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
    return packet;
}

std::optional<packet_header> packet_framer::partial_header() const {
    if (buffer_.size() < header_length) return std::nullopt;
    return parse_header(buffer_.data()).header;
}

void packet_framer::reset() {
    buffer_.clear();
    error_.clear();
}

namespace {

// Runs inflate over the whole input into at most `limit` output bytes (one
// more than wanted, so that an overlong stream shows).
int run_inflate(const std::uint8_t* data, std::size_t count, bytes& output, std::size_t limit, z_stream& stream) {
    output.assign(limit, 0);
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(count);
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(limit);
    int status = inflate(&stream, Z_FINISH);
    output.resize(limit - stream.avail_out);
    return status;
}

}  // namespace

inflate_result inflate_payload(const std::uint8_t* data, std::size_t count, std::size_t expected) {
    inflate_result result;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return {{}, "inflateInit failed"};
    int status = run_inflate(data, count, result.output, expected + 1, stream);
    std::size_t unused = stream.avail_in;
    std::string message = stream.msg ? stream.msg : "";
    inflateEnd(&stream);
    if (status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_MEM_ERROR) {
        result.error = "inflate failed: " + (message.empty() ? "code " + std::to_string(status) : message);
    } else if (status != Z_STREAM_END && result.output.size() > expected) {
        result.error = "inflated to more than " + std::to_string(expected) + " bytes";
    } else if (status != Z_STREAM_END) {
        result.error = "zlib stream ends early, after " + std::to_string(result.output.size()) + " bytes";
    } else if (result.output.size() != expected) {
        result.error = "inflated to " + std::to_string(result.output.size()) + " bytes, expected " +
                       std::to_string(expected);
    } else if (unused != 0) {
        result.error = std::to_string(unused) + " bytes after the end of the zlib stream";
    }
    return result;
}

bytes inflate_prefix(const std::uint8_t* data, std::size_t count, std::size_t limit) {
    bytes output;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return output;
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(count);
    output.assign(limit, 0);
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(limit);
    inflate(&stream, Z_SYNC_FLUSH);
    output.resize(limit - stream.avail_out);
    inflateEnd(&stream);
    return output;
}

}  // namespace refserver
