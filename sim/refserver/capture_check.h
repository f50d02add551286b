// Where a capture came from: every data packet holds one second of the PIC's
// stream, re-packed by the host. Given the stream's content, the capture can
// be rebuilt for any stream and read position and compared bit for bit.
//
// Terms: the host reads `read_length` stream bytes starting at `read_begin`
// (the first byte after its select pulse) and re-packs from `lead_length`
// bytes into that read, so the window of stream bytes a capture holds starts
// at read_begin + lead_length.
#pragma once

#include "upstream_packet.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace refserver {

// The host's own capture settings.
struct capture_format {
    unsigned sample_rate = 16384;
    unsigned in_channels = 2;
    unsigned out_channels = 4;
    double select_pulse_ms = 20;

    std::size_t pulse_length() const;    // stream bytes the host reads during its select pulse

    std::size_t read_length() const;     // 1046.875 ms of stream
    std::size_t lead_length() const;     // 28.076171875 ms of stream
    std::size_t capture_length() const;  // one second at out_channels
    std::size_t window_length() const;   // stream bytes the re-pack uses
};

// Stream bytes covering `ms` at `rate` and `channels`, rounded to nearest.
std::size_t stream_bytes_for(double ms, unsigned rate, unsigned channels);

// The capture the host makes from the bytes it read.
bytes repack(const bytes& read, const capture_format& format);

// Byte source of the PIC's streams; caches what it has computed.
class stream_bytes {
public:
    stream_bytes(std::uint64_t seed, unsigned pic_channels) : seed_(seed), pic_channels_(pic_channels) {}

    // Drops what was computed for streams before `stream`.
    void forget_before(std::uint64_t stream);

    // A stream the PIC sent with another number of channels than the rest.
    void set_channels(std::uint64_t stream, unsigned channels);

    // Bytes [begin, begin + count) of `stream`.
    bytes range(std::uint64_t stream, std::uint64_t begin, std::size_t count);
    const bytes& prefix(std::uint64_t stream, std::size_t count);

    std::uint64_t seed() const { return seed_; }
    unsigned pic_channels() const { return pic_channels_; }

private:
    std::uint64_t seed_;
    unsigned pic_channels_;
    std::map<std::uint64_t, bytes> cache_;
    std::map<std::uint64_t, unsigned> channels_of_;
};

struct capture_place {
    std::uint64_t stream = 0;
    std::uint64_t read_begin = 0;

    bool operator==(const capture_place&) const = default;
};

struct comparison {
    std::size_t compared_bytes = 0;
    std::size_t differing_bits = 0;
    std::size_t first_byte = 0;  // of the first difference
    unsigned first_bit = 0;
    std::size_t high_bits_set = 0;  // output channels the PIC does not sample, found set
    std::size_t first_high_byte = 0;

    bool matches() const { return differing_bits == 0; }
};

// Compares a capture (or, when shorter, the beginning of one) with what the
// host should have made at `place`.
comparison compare_capture(const bytes& capture, const capture_place& place, const capture_format& format,
                           stream_bytes& source);

// Searches the streams in `candidates` for a read position in
// [0, max_read_begin] whose rebuilt capture equals `capture` exactly. A
// capture with a few wrong bits is still found when one of two probes of its
// input survives intact; then `exact` is false and the comparison tells.
struct search_result {
    capture_place place;
    comparison compared;
};
std::optional<search_result> locate_capture(const bytes& capture, const std::vector<std::uint64_t>& candidates,
                                            std::uint64_t max_read_begin, const capture_format& format,
                                            stream_bytes& source);

// One line on a comparison that failed.
std::string describe_difference(const comparison& compared);

}  // namespace refserver
