// The PIC model: frame parsing, the version answer, the timed stream and the line watch.
#include "pic_model.h"

#include "hex_text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <span>
#include <type_traits>

namespace boardsim {

namespace {

constexpr std::uint64_t rate_base = 3686400;
constexpr std::uint8_t attention_bit = 0x40;
constexpr std::uint8_t select_bits = 0x03;
constexpr std::uint8_t route_select_bit = 0x10;
constexpr std::uint8_t route_enable_bit = 0x20;
constexpr std::uint8_t watched_bits = attention_bit | select_bits | route_select_bit | route_enable_bit;
constexpr std::size_t start_prefix = 13;    // bytes both start frames share
constexpr std::size_t packet_header = 21;   // packet start frame before its payload
constexpr std::size_t junk_shown = 16;
// Keeps a sample boundary that falls exactly on `now` from flickering with
// the rounding of now - start.
constexpr double sample_epsilon = 1e-6;

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// ---- text --------------------------------------------------------------

std::string decimal(double value, const char* format) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string seconds(double value) { return decimal(value, "%.6f"); }
std::string hertz(double value) { return decimal(value, "%.10g"); }
std::string flag(bool value) { return value ? "1" : "0"; }
std::string yes_no(bool value) { return value ? "yes" : "no"; }

class log_line {
public:
    explicit log_line(const char* kind) : text_(kind) {}
    log_line(const char* kind, double now) : text_(kind) { field("t", seconds(now)); }

    log_line& field(const char* key, const std::string& value) {
        text_ += ' ';
        text_ += key;
        text_ += '=';
        text_ += value;
        return *this;
    }
    template <typename Integer>
        requires std::is_integral_v<Integer>
    log_line& field(const char* key, Integer value) {
        return field(key, std::to_string(value));
    }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

const char* reply_name(version_reply reply) {
    switch (reply) {
        case version_reply::digit: return "digit";
        case version_reply::silence: return "silence";
        case version_reply::wrong_byte: return "wrong_byte";
        case version_reply::v_then_silence: return "v_then_silence";
    }
    return "unknown";
}

// ---- frames ------------------------------------------------------------

struct byte_rule {
    std::uint8_t low;
    std::uint8_t high;
    bool accepts(std::uint8_t value) const { return value >= low && value <= high; }
    std::string expected() const {
        return low == high ? hex_byte(low) : hex_byte(low) + "-" + hex_byte(high);
    }
};

constexpr byte_rule is(std::uint8_t value) { return {value, value}; }
constexpr byte_rule any_byte{0x00, 0xFF};
constexpr byte_rule divider_byte{0xD0, 0xDF};

constexpr std::array<byte_rule, 7> version_rules{is(0x02), is(0x16), is(0x22), is(0x19),
                                                 is(0x37), is(0x00), is(0x00)};
constexpr std::array<byte_rule, 15> sampling_rules{
    is(0x06), is(0x16), is(0x22), is(0x0E), any_byte,  is(0x19), is(0x17), is(0x91),
    is(0x00), is(0x81), divider_byte, is(0x0B), is(0xE0), is(0x00), is(0x00)};
constexpr std::array<byte_rule, packet_header> packet_rules{
    is(0x06), is(0x16), is(0x22), is(0x0E), any_byte, is(0x19), is(0x17),
    is(0x91), is(0x00), is(0x81), is(0xDF), is(0x0B), is(0xE0), is(0x03),
    is(0x0E), is(0x22), is(0x0F), is(0x07), is(0x0B), is(0xE0), any_byte};

enum class frame_kind { idle, version, start, sampling, packet, payload };

const char* frame_name(frame_kind kind) {
    switch (kind) {
        case frame_kind::version: return "version";
        case frame_kind::start: return "start";
        case frame_kind::sampling: return "sampling_start";
        case frame_kind::packet:
        case frame_kind::payload: return "packet_start";
        case frame_kind::idle: break;
    }
    return "none";
}

std::span<const byte_rule> rules_of(frame_kind kind) {
    switch (kind) {
        case frame_kind::version: return version_rules;
        case frame_kind::start: return std::span(sampling_rules).first(start_prefix);
        case frame_kind::sampling: return sampling_rules;
        case frame_kind::packet: return packet_rules;
        default: return {};
    }
}

struct frame_rate {
    std::uint8_t t0 = 0;
    std::uint8_t p0 = 0;
    unsigned q = 0;
    unsigned k = 0;
    std::uint64_t divisor = 1;  // rate = rate_base / divisor
    double hz() const { return static_cast<double>(rate_base) / static_cast<double>(divisor); }
};

frame_rate decode_rate(std::uint8_t t0, std::uint8_t p0) {
    frame_rate rate{t0, p0};
    rate.q = 259u - t0;
    rate.k = p0 == 0xDF ? 0u : static_cast<unsigned>(p0 - 0xCF);
    rate.divisor = static_cast<std::uint64_t>(rate.q) << rate.k;
    return rate;
}

bool well_formed_packet(std::span<const std::uint8_t> payload) {
    if (payload.size() < 2 || payload[0] != 0x5F) return false;
    unsigned sum = 0;
    for (std::uint8_t value : payload.subspan(1)) sum += value;
    return sum % 256 == 0;
}

std::uint8_t channel_mask(std::uint8_t port_b) {
    return static_cast<std::uint8_t>(((port_b & 0x02) >> 1) | ((port_b & 0x01) << 1));
}

std::string route_name(std::uint8_t port_b) {
    if ((port_b & route_enable_bit) == 0) return "off";
    return (port_b & route_select_bit) != 0 ? "2" : "1";
}

std::string direction(const std::string& route, std::uint8_t mask) {
    if (mask == 0) return "none";
    if ((mask == 1 && route == "1") || (mask == 2 && route == "2")) return route;
    return "conflict";
}

// ---- stream ------------------------------------------------------------

struct stream_state {
    std::uint64_t number = 0;
    bool active = false;
    bool is_packet = false;
    double start = 0.0;
    std::uint64_t divisor = 1;
    unsigned channels = 0;
    std::uint64_t seed = 0;
    std::uint64_t sent = 0;
    std::uint64_t lost = 0;
    std::uint64_t stall_at = 0;
    double stall_seconds = 0.0;

    std::uint64_t delivered() const { return sent - lost; }

    std::uint64_t samples_by(double elapsed) const {
        if (elapsed <= 0.0) return 0;
        double samples = elapsed * static_cast<double>(rate_base) / static_cast<double>(divisor);
        return static_cast<std::uint64_t>(std::floor(samples + sample_epsilon));
    }

    // Time from the start at which byte `stall_at` is complete.
    double stall_begins() const {
        std::uint64_t samples = (8 * stall_at + channels - 1) / channels;
        return static_cast<double>(samples) * static_cast<double>(divisor) / static_cast<double>(rate_base);
    }

    double running_time(double now) const {
        double elapsed = now - start;
        if (stall_at == 0 || stall_seconds <= 0.0 || channels == 0) return elapsed;
        double stall = stall_begins();
        return elapsed < stall ? elapsed : std::max(stall, elapsed - stall_seconds);
    }

    std::uint64_t due(double now, std::uint64_t stop_after) const {
        std::uint64_t bytes = samples_by(running_time(now)) * channels / 8;
        return stop_after == 0 ? bytes : std::min(bytes, stop_after);
    }
};

struct pulse_state {
    bool open = false;
    std::uint64_t stream = 0;
    std::int64_t start = 0;
    std::uint8_t mask = 0;
    std::optional<std::int64_t> previous_end;  // in the current stream
};

struct packet_state {
    std::uint64_t stream = 0;
    std::vector<std::uint8_t> payload;
    unsigned pulses = 0;
    std::optional<std::uint8_t> lines_at_pulse;  // port B at the first pulse's start
    std::uint8_t first_mask = 0;
};

}  // namespace

// ---- model -------------------------------------------------------------

struct pic_model::impl {
    pic_settings settings;
    pic_log log;

    frame_kind kind = frame_kind::idle;
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> junk;
    std::optional<std::size_t> host_unread;
    double last_time = 0.0;  // configure() has no clock of its own

    std::vector<std::uint8_t> reply;
    stream_state stream;
    std::optional<frame_rate> last_rate;
    std::optional<packet_state> packet;

    std::uint8_t port_b = attention_bit;
    pulse_state pulse;

    impl(const pic_settings& initial, pic_log sink) : settings(initial), log(std::move(sink)) { log_config(); }

    void emit(const log_line& line) const {
        if (log) log(line.text());
    }

    void log_config() const {
        const pic_faults& faults = settings.faults;
        emit(log_line("config")
                 .field("reply", reply_name(settings.reply))
                 .field("digit", std::string(1, settings.version_digit))
                 .field("channels", settings.in_channels)
                 .field("seed", settings.seed)
                 .field("silent", flag(faults.silent))
                 .field("stop_after", faults.stop_after)
                 .field("stall_at", faults.stall_at)
                 .field("stall_seconds", decimal(faults.stall_seconds, "%g"))
                 .field("attention_ends_stream", flag(settings.attention_ends_stream)));
    }

    std::int64_t consumed(std::size_t unread) const {
        return static_cast<std::int64_t>(stream.delivered()) - static_cast<std::int64_t>(unread);
    }

    std::string consumed_text() const {
        return host_unread ? std::to_string(consumed(*host_unread)) : "-";
    }

    // ---- settings ----

    void configure(const pic_settings& next) {
        settings = next;
        log_config();
        if (stream.active && next.faults.silent) end_stream("silent", last_time);
    }

    // ---- host bytes ----

    void receive(std::span<const std::uint8_t> bytes, std::optional<std::size_t> unread, double now) {
        last_time = now;
        host_unread = unread;
        for (std::uint8_t value : bytes) take(value, now);
        flush_junk(now);
        host_unread.reset();
    }

    void take(std::uint8_t value, double now) {
        if (kind == frame_kind::idle) return take_idle(value, now);
        if (kind == frame_kind::payload) return take_payload(value, now);
        if (kind == frame_kind::start && frame.size() == start_prefix) return choose_start(value, now);
        take_frame_byte(value, now);
    }

    void take_idle(std::uint8_t value, double now) {
        if (value != 0x02 && value != 0x06 && value != 0x00) {
            junk.push_back(value);
            return;
        }
        flush_junk(now);
        if (value == 0x00) return end_byte(now);
        kind = value == 0x02 ? frame_kind::version : frame_kind::start;
        frame.assign(1, value);
    }

    void flush_junk(double now) {
        if (junk.empty()) return;
        emit(log_line("junk", now).field("count", junk.size()).field("bytes", hex_bytes(junk, junk_shown)));
        junk.clear();
    }

    void take_frame_byte(std::uint8_t value, double now) {
        std::span<const byte_rule> rules = rules_of(kind);
        const byte_rule& rule = rules[frame.size()];
        if (!rule.accepts(value)) {
            malformed(frame.size(), rule.expected(), value, now);
            return take_idle(value, now);
        }
        frame.push_back(value);
        if (frame.size() == rules.size()) complete_frame(now);
    }

    // Byte 13 tells the two start frames apart.
    void choose_start(std::uint8_t value, double now) {
        if (value == 0x00) {
            kind = frame_kind::sampling;
            return take_frame_byte(value, now);
        }
        kind = frame_kind::packet;
        const std::size_t divider_at = 10;
        if (value != 0x03) {
            kind = frame_kind::start;
            malformed(start_prefix, "00/03", value, now);
        } else if (!packet_rules[divider_at].accepts(frame[divider_at])) {
            std::uint8_t divider = frame[divider_at];
            frame.resize(divider_at);
            malformed(divider_at, packet_rules[divider_at].expected(), divider, now);
        } else {
            return take_frame_byte(value, now);
        }
        take_idle(value, now);
    }

    // Callers then look at the offending byte afresh: it may begin the next frame.
    void malformed(std::size_t at, const std::string& expected, std::uint8_t got, double now) {
        emit(log_line("malformed", now)
                 .field("frame", frame_name(kind))
                 .field("at", at)
                 .field("expected", expected)
                 .field("got", hex_byte(got))
                 .field("bytes", hex_bytes(frame)));
        kind = frame_kind::idle;
        frame.clear();
    }

    void complete_frame(double now) {
        switch (kind) {
            case frame_kind::version: return answer_version(now);
            case frame_kind::sampling: return start_sampling(now);
            case frame_kind::packet: return begin_payload(now);
            default: return;
        }
    }

    void take_payload(std::uint8_t value, double now) {
        frame.push_back(value);
        if (frame.size() == packet_header + frame[packet_header - 1]) start_packet(now);
    }

    void begin_payload(double now) {
        kind = frame_kind::payload;
        if (frame[packet_header - 1] == 0) start_packet(now);
    }

    void frame_done() {
        kind = frame_kind::idle;
        frame.clear();
    }

    // ---- version ----

    void answer_version(double now) {
        emit(log_line("frame", now).field("kind", "version"));
        frame_done();
        std::vector<std::uint8_t> bytes = version_answer();
        const char* name = settings.faults.silent ? "silent" : reply_name(settings.reply);
        emit(log_line("reply", now).field("kind", name).field("bytes", hex_bytes(bytes)));
        reply.insert(reply.end(), bytes.begin(), bytes.end());
    }

    std::vector<std::uint8_t> version_answer() const {
        if (settings.faults.silent) return {};
        switch (settings.reply) {
            case version_reply::digit: return {'V', static_cast<std::uint8_t>(settings.version_digit)};
            case version_reply::silence: return {};
            case version_reply::wrong_byte: return {'X'};
            case version_reply::v_then_silence: return {'V'};
        }
        return {};
    }

    // ---- start frames ----

    void start_sampling(double now) {
        frame_rate rate = decode_rate(frame[4], frame[10]);
        emit(log_line("frame", now)
                 .field("kind", "sampling_start")
                 .field("t0", hex_byte(rate.t0))
                 .field("p0", hex_byte(rate.p0))
                 .field("q", rate.q)
                 .field("k", rate.k)
                 .field("rate", hertz(rate.hz())));
        frame_done();
        begin_stream(rate, false, now);
    }

    void start_packet(double now) {
        frame_rate rate = decode_rate(frame[4], frame[10]);
        std::span<const std::uint8_t> payload = std::span(frame).subspan(packet_header);
        emit(log_line("frame", now)
                 .field("kind", "packet_start")
                 .field("t0", hex_byte(rate.t0))
                 .field("p0", hex_byte(rate.p0))
                 .field("q", rate.q)
                 .field("k", rate.k)
                 .field("rate", hertz(rate.hz()))
                 .field("t1", hex_byte(frame[15]))
                 .field("m1", hex_byte(frame[17]))
                 .field("len", payload.size())
                 .field("payload", hex_bytes(payload))
                 .field("well_formed", yes_no(well_formed_packet(payload))));
        std::vector<std::uint8_t> bytes(payload.begin(), payload.end());
        frame_done();
        begin_stream(rate, true, now);
        packet.emplace();
        packet->stream = stream.number;
        packet->payload = std::move(bytes);
    }

    void begin_stream(const frame_rate& rate, bool is_packet, double now) {
        if (stream.active) end_stream("replaced", now);
        if (packet) log_packet("-", now);
        close_pulse_cut(now);
        last_rate = rate;
        stream = stream_state{stream.number + 1, !settings.faults.silent, is_packet, now, rate.divisor,
                              settings.in_channels, settings.seed};
        stream.stall_at = settings.faults.stall_at;
        stream.stall_seconds = settings.faults.stall_seconds;
        pulse.previous_end.reset();
        emit(log_line("stream_start", now)
                 .field("stream", stream.number)
                 .field("kind", is_packet ? "packet" : "sampling")
                 .field("rate", hertz(rate.hz()))
                 .field("channels", stream.channels)
                 .field("state", stream.active ? "on" : "silent"));
    }

    void end_stream(const char* reason, double now) {
        stream.active = false;
        emit(log_line("stream_end", now)
                 .field("stream", stream.number)
                 .field("sent", stream.sent)
                 .field("lost", stream.lost)
                 .field("reason", reason));
    }

    // ---- end byte and packets ----

    void end_byte(double now) {
        emit(log_line("end", now)
                 .field("stream", stream.number)
                 .field("consumed", consumed_text())
                 .field("delivered", stream.delivered()));
        if (packet) log_packet(consumed_text(), now);
    }

    void log_packet(const std::string& end, double now) {
        std::uint8_t lines = packet->lines_at_pulse.value_or(port_b);
        std::string route = route_name(lines);
        emit(log_line("packet", now)
                 .field("stream", packet->stream)
                 .field("len", packet->payload.size())
                 .field("payload", hex_bytes(packet->payload))
                 .field("well_formed", yes_no(well_formed_packet(packet->payload)))
                 .field("route", route)
                 .field("mask", packet->first_mask)
                 .field("dir", direction(route, packet->first_mask))
                 .field("pulses", packet->pulses)
                 .field("end", end));
        packet.reset();
    }

    // ---- sending ----

    void transmit(double now, std::vector<std::uint8_t>& out) {
        last_time = now;
        out.insert(out.end(), reply.begin(), reply.end());
        reply.clear();
        if (!stream.active) return;
        note_stall(now);
        std::uint64_t due = stream.due(now, settings.faults.stop_after);
        for (; stream.sent < due; ++stream.sent)
            out.push_back(stream_byte(stream.seed, stream.number, stream.sent, stream.channels));
        std::uint64_t stop_after = settings.faults.stop_after;
        if (stop_after != 0 && stream.sent >= stop_after) end_stream("stopped", now);
    }

    void note_stall(double now) {
        if (stream.stall_at == 0 || stream.stall_seconds <= 0.0 || stream.sent >= stream.stall_at) return;
        if (stream.due(now, 0) < stream.stall_at) return;
        emit(log_line("stall", now)
                 .field("stream", stream.number)
                 .field("at", stream.stall_at)
                 .field("seconds", decimal(stream.stall_seconds, "%g")));
    }

    void lost(std::size_t count, double now) {
        std::uint64_t stream_part = std::min<std::uint64_t>(count, stream.delivered());
        stream.lost += stream_part;
        emit(log_line("lost", now).field("stream", stream.number).field("count", stream_part));
    }

    // ---- board lines ----

    void port_b_changed(std::uint8_t value, std::size_t unread, double now) {
        last_time = now;
        std::uint8_t before = port_b;
        port_b = value;
        if (((before ^ value) & watched_bits) == 0) return;
        std::int64_t at = consumed(unread);
        log_lines(at, now);
        if ((before ^ value) & select_bits) follow_pulse(before, at, now);
        bool attention_rose = (value & attention_bit) != 0 && (before & attention_bit) == 0;
        if (attention_rose && settings.attention_ends_stream && stream.active) end_stream("attention", now);
    }

    void log_lines(std::int64_t at, double now) const {
        emit(log_line("lines", now)
                 .field("stream", stream.number)
                 .field("consumed", at)
                 .field("attention", flag(port_b & attention_bit))
                 .field("select", port_b & select_bits)
                 .field("mask", channel_mask(port_b))
                 .field("route_select", flag(port_b & route_select_bit))
                 .field("route_enable", flag(port_b & route_enable_bit)));
    }

    void follow_pulse(std::uint8_t before, std::int64_t at, double now) {
        bool was_high = (before & select_bits) != 0;
        bool is_high = (port_b & select_bits) != 0;
        if (!was_high) return open_pulse(at, now);
        pulse.mask |= channel_mask(port_b);
        if (!is_high) close_pulse(at, now);
    }

    void open_pulse(std::int64_t at, double now) {
        // The host pulses in a stream it believes running; one that has not
        // begun (or has ended) means it counted bytes that were not this stream's.
        if (!stream.active) {
            emit(log_line("stray_pulse", now).field("stream", stream.number).field("mask", channel_mask(port_b)));
        }
        pulse = pulse_state{true, stream.number, at, channel_mask(port_b), pulse.previous_end};
        if (packet && packet->stream == stream.number && !packet->lines_at_pulse) packet->lines_at_pulse = port_b;
    }

    void close_pulse(std::int64_t at, double now) {
        pulse.open = false;
        std::string gap = pulse.previous_end ? std::to_string(pulse.start - *pulse.previous_end) : "-";
        emit(log_line("pulse", now)
                 .field("stream", pulse.stream)
                 .field("mask", pulse.mask)
                 .field("start", pulse.start)
                 .field("width", at - pulse.start)
                 .field("gap", gap));
        pulse.previous_end = at;
        note_packet_pulse();
    }

    void note_packet_pulse() {
        if (!packet || packet->stream != pulse.stream) return;
        if (packet->pulses++ == 0) packet->first_mask = pulse.mask;
    }

    void close_pulse_cut(double now) {
        if (!pulse.open) return;
        pulse.open = false;
        emit(log_line("pulse", now)
                 .field("stream", pulse.stream)
                 .field("mask", pulse.mask)
                 .field("start", pulse.start)
                 .field("width", "cut")
                 .field("gap", "-"));
    }

    pic_status status() const {
        return pic_status{stream.active, last_rate ? last_rate->hz() : 0.0, stream.number, stream.delivered(),
                          (port_b & attention_bit) != 0};
    }
};

pic_model::pic_model(const pic_settings& settings, pic_log log)
    : impl_(std::make_shared<impl>(settings, std::move(log))) {}

void pic_model::configure(const pic_settings& settings) { impl_->configure(settings); }

void pic_model::receive(const std::uint8_t* data, std::size_t count, double now) {
    impl_->receive({data, count}, std::nullopt, now);
}

void pic_model::receive(const std::uint8_t* data, std::size_t count, std::size_t unread, double now) {
    impl_->receive({data, count}, unread, now);
}

void pic_model::transmit(double now, std::vector<std::uint8_t>& out) { impl_->transmit(now, out); }

void pic_model::lost(std::size_t count, double now) { impl_->lost(count, now); }

void pic_model::port_b_changed(std::uint8_t value, std::size_t unread, double now) {
    impl_->port_b_changed(value, unread, now);
}

pic_status pic_model::status() const { return impl_->status(); }

bool channel_bit(std::uint64_t seed, std::uint64_t stream, unsigned channel, std::uint64_t sample) {
    std::uint64_t word = mix(mix(mix(mix(seed) ^ stream) ^ channel) ^ (sample / 64));
    return ((word >> (sample % 64)) & 1) != 0;
}

std::uint8_t stream_byte(std::uint64_t seed, std::uint64_t stream, std::uint64_t index, unsigned in_channels) {
    if (in_channels == 0) return 0;
    unsigned value = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
        std::uint64_t position = index * 8 + bit;
        auto channel = static_cast<unsigned>(position % in_channels);
        if (channel_bit(seed, stream, channel, position / in_channels)) value |= 1u << bit;
    }
    return static_cast<std::uint8_t>(value);
}

}  // namespace boardsim
