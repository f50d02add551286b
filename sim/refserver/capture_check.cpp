#include "capture_check.h"

#include "pic_model.h"

#include <algorithm>
#include <array>

namespace refserver {

namespace {

bool bit_at(const bytes& data, std::size_t position) { return ((data[position / 8] >> (position % 8)) & 1) != 0; }

void set_bit(bytes& data, std::size_t position) {
    data[position / 8] = static_cast<std::uint8_t>(data[position / 8] | (1u << (position % 8)));
}

constexpr std::size_t probe_length = 16;

// Sixteen bytes of the window as the capture shows them, with a mask of the
// bits it shows at all (input channels that the capture drops are unknown).
struct probe {
    std::size_t offset = 0;  // in bytes from the window's start
    std::array<std::uint8_t, probe_length> value{};
    std::array<std::uint8_t, probe_length> known{};
};

std::optional<probe> make_probe(const bytes& capture, std::size_t offset, const capture_format& format) {
    probe made;
    made.offset = offset;
    std::size_t first_bit = offset * 8;
    for (std::size_t i = 0; i < probe_length * 8; ++i) {
        std::size_t input_bit = first_bit + i;
        std::size_t sample = input_bit / format.in_channels;
        std::size_t channel = input_bit % format.in_channels;
        if (channel >= format.out_channels) continue;
        std::size_t output_bit = sample * format.out_channels + channel;
        if (output_bit >= capture.size() * 8) return std::nullopt;
        auto mask = static_cast<std::uint8_t>(1u << (i % 8));
        made.known[i / 8] = static_cast<std::uint8_t>(made.known[i / 8] | mask);
        if (bit_at(capture, output_bit)) made.value[i / 8] = static_cast<std::uint8_t>(made.value[i / 8] | mask);
    }
    return made;
}

bool probe_fits(const probe& wanted, const bytes& stream, std::size_t window_begin) {
    std::size_t at = window_begin + wanted.offset;
    if (at + probe_length > stream.size()) return false;
    for (std::size_t j = 0; j < probe_length; ++j) {
        if (((stream[at + j] ^ wanted.value[j]) & wanted.known[j]) != 0) return false;
    }
    return true;
}

std::vector<probe> probes_of(const bytes& capture, const capture_format& format) {
    std::vector<probe> probes;
    std::size_t window = format.window_length();
    for (std::size_t offset : {std::size_t{0}, window / 2}) {
        if (offset + probe_length > window) continue;
        if (auto made = make_probe(capture, offset, format)) probes.push_back(*made);
    }
    return probes;
}

}  // namespace

std::size_t stream_bytes_for(double ms, unsigned rate, unsigned channels) {
    double exact = static_cast<double>(rate) * ms * static_cast<double>(channels) / 8000.0 + 0.5;
    return exact <= 0 ? 0 : static_cast<std::size_t>(exact);
}

std::size_t capture_format::pulse_length() const { return stream_bytes_for(select_pulse_ms, sample_rate, in_channels); }
std::size_t capture_format::read_length() const { return stream_bytes_for(1046.875, sample_rate, in_channels); }
std::size_t capture_format::lead_length() const { return stream_bytes_for(28.076171875, sample_rate, in_channels); }
std::size_t capture_format::capture_length() const { return stream_bytes_for(1000, sample_rate, out_channels); }

std::size_t capture_format::window_length() const {
    std::size_t bits = static_cast<std::size_t>(sample_rate) * in_channels;
    return std::min((bits + 7) / 8, read_length() - std::min(read_length(), lead_length()));
}

bytes repack(const bytes& read, const capture_format& format) {
    bytes out(format.capture_length(), 0);
    std::size_t in_position = format.lead_length() * 8;
    std::size_t out_position = 0;
    unsigned channels = std::max(format.in_channels, format.out_channels);
    for (std::size_t sample = 0; sample < format.sample_rate; ++sample) {
        for (unsigned channel = 0; channel < channels; ++channel) {
            bool bit = false;
            if (channel < format.in_channels && in_position < read.size() * 8) bit = bit_at(read, in_position++);
            if (channel < format.out_channels && out_position < out.size() * 8) {
                if (bit) set_bit(out, out_position);
                ++out_position;
            }
        }
    }
    return out;
}

void stream_bytes::forget_before(std::uint64_t stream) { cache_.erase(cache_.begin(), cache_.lower_bound(stream)); }

void stream_bytes::set_channels(std::uint64_t stream, unsigned channels) {
    auto [it, added] = channels_of_.try_emplace(stream, channels);
    if (!added && it->second != channels) {
        it->second = channels;
        cache_.erase(stream);
    }
}

const bytes& stream_bytes::prefix(std::uint64_t stream, std::size_t count) {
    bytes& cached = cache_[stream];
    auto named = channels_of_.find(stream);
    unsigned channels = named == channels_of_.end() ? pic_channels_ : named->second;
    for (std::size_t index = cached.size(); index < count; ++index) {
        cached.push_back(boardsim::stream_byte(seed_, stream, index, channels));
    }
    return cached;
}

bytes stream_bytes::range(std::uint64_t stream, std::uint64_t begin, std::size_t count) {
    const bytes& all = prefix(stream, static_cast<std::size_t>(begin) + count);
    auto first = all.begin() + static_cast<std::ptrdiff_t>(begin);
    return bytes(first, first + static_cast<std::ptrdiff_t>(count));
}

comparison compare_capture(const bytes& capture, const capture_place& place, const capture_format& format,
                           stream_bytes& source) {
    bytes expected = repack(source.range(place.stream, place.read_begin, format.read_length()), format);
    comparison result;
    result.compared_bytes = std::min(capture.size(), expected.size());
    for (std::size_t i = 0; i < result.compared_bytes; ++i) {
        auto diff = static_cast<unsigned>(capture[i] ^ expected[i]);
        if (diff == 0) continue;
        if (result.differing_bits == 0) {
            result.first_byte = i;
            result.first_bit = static_cast<unsigned>(__builtin_ctz(diff));
        }
        result.differing_bits += static_cast<std::size_t>(__builtin_popcount(diff));
    }
    std::size_t compared_bits = result.compared_bytes * 8;
    for (std::size_t bit = 0; bit < compared_bits; ++bit) {
        if (bit % format.out_channels < format.in_channels || !bit_at(capture, bit)) continue;
        if (result.high_bits_set++ == 0) result.first_high_byte = bit / 8;
    }
    return result;
}

std::optional<search_result> locate_capture(const bytes& capture, const std::vector<std::uint64_t>& candidates,
                                            std::uint64_t max_read_begin, const capture_format& format,
                                            stream_bytes& source) {
    std::vector<probe> probes = probes_of(capture, format);
    std::size_t lead = format.lead_length();
    std::size_t needed = static_cast<std::size_t>(max_read_begin) + format.read_length();
    std::optional<search_result> best;
    for (std::uint64_t stream : candidates) {
        const bytes& content = source.prefix(stream, needed);
        for (const probe& wanted : probes) {
            for (std::uint64_t begin = 0; begin <= max_read_begin; ++begin) {
                if (!probe_fits(wanted, content, static_cast<std::size_t>(begin) + lead)) continue;
                capture_place place{stream, begin};
                comparison compared = compare_capture(capture, place, format, source);
                if (compared.matches()) return search_result{place, compared};
                if (!best || compared.differing_bits < best->compared.differing_bits) best = {place, compared};
            }
        }
    }
    return best;
}

std::string describe_difference(const comparison& compared) {
    std::string text = std::to_string(compared.differing_bits) + " of " + std::to_string(compared.compared_bytes * 8) +
                       " bits differ, first at byte " + std::to_string(compared.first_byte) + " bit " +
                       std::to_string(compared.first_bit);
    if (compared.high_bits_set != 0) {
        text += "; " + std::to_string(compared.high_bits_set) + " unsampled channel bits set, first at byte " +
                std::to_string(compared.first_high_byte);
    }
    return text;
}

}  // namespace refserver
