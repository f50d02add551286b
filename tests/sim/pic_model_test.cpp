#include "pic/pic_link.h"
#include "pic_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace boardsim;

namespace {

using bytes = std::vector<std::uint8_t>;
using fields = std::map<std::string, std::string>;

constexpr std::uint8_t attention = 0x40;
const bytes version_query{0x02, 0x16, 0x22, 0x19, 0x37, 0x00, 0x00};

fields parse(const std::string& line) {
    std::istringstream in(line);
    fields parsed;
    in >> parsed[""];
    for (std::string word; in >> word;) {
        auto equals = word.find('=');
        parsed[word.substr(0, equals)] = equals == std::string::npos ? "" : word.substr(equals + 1);
    }
    return parsed;
}

// The values of some fields, space separated, to compare several at once.
std::string pick(fields entry, std::initializer_list<const char*> keys) {
    std::string values;
    for (const char* key : keys) values += (values.empty() ? "" : " ") + entry[key];
    return values;
}

bytes with(bytes frame, std::size_t at, std::uint8_t value) {
    frame[at] = value;
    return frame;
}

// Frames as tovk builds them: the model must read what the host really sends.
bytes sampling_frame(unsigned rate) {
    sampling_start_frame frame = pic_sampling_frame(rate);
    return {frame.begin(), frame.end()};
}

bytes packet_frame(unsigned rate, const bytes& payload) {
    packet_start_frame header = pic_packet_frame(rate, static_cast<std::uint8_t>(payload.size()));
    bytes frame = payload;
    frame.insert(frame.begin(), header.begin(), header.end());
    return frame;
}

// The model with its log. send and pull take the time from the test; the
// host_ calls go through the host end of the line: a queue the world fills
// and the host reads, as the link does it, in 1 ms steps of simulated time.
class recorded_pic {
public:
    explicit recorded_pic(const pic_settings& settings = {}, double start = 0.0)
        : model(settings, [this](const std::string& line) { log.push_back(line); }), now(start) {}
    recorded_pic(const recorded_pic&) = delete;

    void send(const bytes& data, double at) { model.receive(data.data(), data.size(), at); }

    bytes pull(double at) {
        bytes out;
        model.transmit(at, out);
        return out;
    }

    std::vector<fields> entries(const std::string& kind) const {
        std::vector<fields> found;
        for (const std::string& line : log)
            if (fields parsed = parse(line); parsed[""] == kind) found.push_back(parsed);
        return found;
    }

    fields last(const std::string& kind) const {
        std::vector<fields> found = entries(kind);
        return found.empty() ? fields{} : found.back();
    }

    void host_send(const bytes& data) { model.receive(data.data(), data.size(), queue.size(), now); }
    void lines(std::uint8_t value) { model.port_b_changed(value, queue.size(), now); }

    void wait(double seconds) {
        for (double end = now + seconds; now < end;) tick();
    }

    void tick(std::size_t drop_last = 0) {
        now += 0.001;
        bytes arrived = pull(now);
        drop_last = std::min(drop_last, arrived.size());
        if (drop_last > 0) model.lost(drop_last, now);
        queue.insert(queue.end(), arrived.begin(), arrived.end() - static_cast<std::ptrdiff_t>(drop_last));
    }

    // The host reads `count` bytes, waiting for them as it must.
    void skip(std::size_t count) {
        while (count > 0) {
            if (queue.empty()) tick();
            std::size_t taken = std::min(count, queue.size());
            queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(taken));
            count -= taken;
        }
    }

    void pulse(std::uint8_t base, std::uint8_t select, std::size_t count) {
        lines(static_cast<std::uint8_t>(base | select));
        skip(count);
        lines(base);
    }

    // Starts a stream and has the host discard its beginning.
    void begin_exchange(const bytes& frame, std::uint8_t route_lines = 0) {
        lines(attention | route_lines);
        lines(route_lines);
        host_send(frame);
        wait(0.003);
        queue.clear();
    }

    std::vector<std::string> log;
    pic_model model;
    double now;
    std::deque<std::uint8_t> queue;  // delivered, not yet read by the host
};

// ---- rate and frames ---------------------------------------------------
// (The version query's answers are the PicLinkWorld tests'.)

// The stream runs at the rate T0 and P0 encode, and over 100 s of small reads
// its byte count never drifts from samples * channels / 8.
TEST(PicStream, RunsAtTheDecodedRateWithExactByteCounts) {
    struct expectation {
        unsigned rate, channels;
        std::string t0_p0_q_k;
    };
    // 14400..14179 need q 256..259, which T0 carries as 3..0; 14178 is the
    // first rate that moves to k = 1; 1 Hz needs k = 14.
    const std::vector<expectation> table{
        {16384, 2, "22 DF 225 0"}, {16384, 3, "22 DF 225 0"}, {8000, 2, "1D D0 230 1"}, {14400, 1, "03 DF 256 0"},
        {14179, 5, "00 DF 259 0"}, {14178, 2, "81 D0 130 1"}, {1, 2, "22 DD 225 14"}, {3, 2, "6D DC 150 13"},
        {100, 2, "73 D7 144 8"}, {65535, 2, "CB DF 56 0"}};
    for (const expectation& row : table) {
        recorded_pic pic({.in_channels = row.channels, .faults = {}});
        const double start = 0.5;
        pic.send(sampling_frame(row.rate), start);
        fields frame = pic.last("frame");
        EXPECT_EQ(pick(frame, {"kind", "t0", "p0", "q", "k"}), "sampling_start " + row.t0_p0_q_k);
        const std::uint64_t divisor = std::stoull(frame["q"]) << std::stoi(frame["k"]);
        EXPECT_NEAR(std::stod(frame["rate"]) * static_cast<double>(divisor) / 3686400.0, 1.0, 1e-9) << row.rate;
        std::uint64_t total = 0;
        for (int step = 1, second = 1; second <= 100; ++step) {
            double now = start + step * 0.007;
            if (now >= start + second) {
                total += pic.pull(start + second).size();
                ASSERT_EQ(total, second * 3686400ull / divisor * row.channels / 8) << row.rate << " Hz at " << second;
                ++second;
            }
            total += pic.pull(now).size();
        }
    }
}

TEST(PicFrames, MalformedInputIsReportedAndParsingResumes) {
    const bytes sampling = sampling_frame(16384);
    const std::vector<std::pair<bytes, std::string>> cases{
        {{0x06, 0x16, 0x22, 0x0F}, "start 3 0E 0F"},
        {{0x02, 0x16, 0x22, 0x19, 0x38}, "version 4 37 38"},
        {with(sampling, 10, 0xC5), "start 10 D0-DF C5"},
        {with(packet_frame(16384, {0x5F, 0x00, 0x00}), 10, 0xD3), "packet_start 10 DF D3"},
        {with(packet_frame(16384, {}), 15, 0x23), "packet_start 15 22 23"},
        {with(packet_frame(16384, {}), 17, 0x03), "packet_start 17 07 03"},
        {with(sampling, 13, 0x05), "start 13 00/03 05"}};
    for (const auto& [input, expected] : cases) {
        recorded_pic pic;
        pic.send(input, 0.0);
        EXPECT_EQ(pick(pic.last("malformed"), {"frame", "at", "expected", "got"}), expected);
        EXPECT_TRUE(pic.entries("stream_start").empty());
        pic.send(bytes(version_query.begin(), version_query.begin() + 3), 0.0);  // a query in two parts
        EXPECT_TRUE(pic.pull(0.0).empty());
        pic.send(bytes(version_query.begin() + 3, version_query.end()), 0.0);
        EXPECT_EQ(pic.pull(0.0), (bytes{'V', '3'})) << "parser back in step after " << pic.log.back();
    }

    // The byte that broke a frame may begin the next one.
    recorded_pic pic;
    bytes input = sampling_frame(8000);
    input.insert(input.begin(), {0x41, 0x42, 0x02, 0x16});
    pic.send(input, 0.0);
    EXPECT_EQ(pic.last("junk")["bytes"], "4142");
    EXPECT_EQ(pic.last("malformed")["bytes"], "0216");
    EXPECT_EQ(pic.last("frame")["t0"], "1D") << "the 06 that broke the version frame began this one";
}

// ---- stream ------------------------------------------------------------

std::vector<bool> channel_bits(const bytes& stream, unsigned channels, unsigned channel) {
    std::vector<bool> bits;
    for (std::size_t bit = channel; bit < stream.size() * 8; bit += channels)
        bits.push_back(((stream[bit / 8] >> (bit % 8)) & 1) != 0);
    return bits;
}

// Byte i of stream n is stream_byte(seed, n, i, channels); channels and seed
// changed mid-stream apply from the next stream on. A channel's bits depend on
// the sample only, not on how many channels share the stream.
TEST(PicStream, ContentIsRecomputableAndSettingsApplyFromTheNextStream) {
    recorded_pic pic({.seed = 77, .faults = {}});
    pic.send(sampling_frame(8000), 0.0);
    bytes first = pic.pull(0.5);
    pic.model.configure({.in_channels = 3, .seed = 99, .faults = {}});
    bytes rest = pic.pull(1.0);
    first.insert(first.end(), rest.begin(), rest.end());
    const std::uint64_t expected = 3686400ull / 460 * 2 / 8;
    ASSERT_EQ(first.size(), expected);
    for (std::size_t i = 0; i < first.size(); ++i) ASSERT_EQ(first[i], stream_byte(77, 1, i, 2)) << i;

    pic.send(sampling_frame(8000), 1.0);
    EXPECT_EQ(pick(pic.last("stream_end"), {"reason", "sent"}), "replaced " + std::to_string(expected));
    bytes second = pic.pull(2.0);
    ASSERT_EQ(second.size(), 3686400ull / 460 * 3 / 8);
    for (std::size_t i = 0; i < second.size(); ++i) ASSERT_EQ(second[i], stream_byte(99, 2, i, 3)) << i;

    bytes narrow(4096), wide(6144);
    for (std::size_t i = 0; i < narrow.size(); ++i) narrow[i] = stream_byte(5, 9, i, 2);
    for (std::size_t i = 0; i < wide.size(); ++i) wide[i] = stream_byte(5, 9, i, 3);
    EXPECT_EQ(channel_bits(narrow, 2, 1), channel_bits(wide, 3, 1));
    EXPECT_NE(channel_bits(wide, 3, 0), channel_bits(wide, 3, 2));
}

// ---- board lines -------------------------------------------------------

TEST(PicLines, PulseWidthsAndGapsAreExactInConsumedBytes) {
    recorded_pic pic({}, 10.0);
    pic.begin_exchange(sampling_frame(16384));
    pic.wait(0.030);  // the host falls behind: the queue is not empty at the edges
    ASSERT_GT(pic.queue.size(), 100u);
    pic.pulse(0, 0x02, 82);
    pic.skip(297);
    pic.wait(0.010);
    pic.pulse(0, 0x01, 82);
    pic.skip(20);
    pic.pulse(0, 0x03, 82);

    std::vector<fields> pulses = pic.entries("pulse");
    std::vector<std::string> seen;
    for (const fields& pulse : pulses) seen.push_back(pick(pulse, {"mask", "width", "gap"}));
    ASSERT_EQ(seen, (std::vector<std::string>{"1 82 -", "2 82 297", "3 82 20"})) << "port B bit 1 carries mask bit 0";

    // The first edge: everything delivered so far less the host's queue.
    fields first_edge = pic.entries("lines")[1];
    EXPECT_EQ(pick(first_edge, {"stream", "attention", "select", "consumed"}), "1 0 2 " + pulses[0]["start"]);

    // Gaps are measured within one stream only.
    pic.host_send(sampling_frame(16384));
    pic.queue.clear();
    pic.pulse(0, 0x02, 10);
    EXPECT_EQ(pick(pic.last("pulse"), {"stream", "start", "gap"}), "2 0 -");
}

TEST(PicLines, LostBytesAndAttentionEndingTheStream) {
    recorded_pic pic;
    pic.begin_exchange(sampling_frame(16384));
    pic.lines(0x02);
    for (int i = 0; i < 10; ++i) pic.tick(3);  // the line overran on every chunk
    pic.skip(pic.queue.size());
    pic.lines(0);
    std::int64_t delivered = static_cast<std::int64_t>(pic.model.status().sent);
    fields pulse = pic.last("pulse");
    EXPECT_EQ(std::stoll(pulse["width"]), delivered - std::stoll(pulse["start"])) << "lost bytes never reach the host";
    EXPECT_EQ(pic.entries("lost").size(), 10u);

    pic.lines(attention);
    EXPECT_EQ(pick(pic.last("stream_end"), {"reason", "lost", "sent"}), "attention 30 " + std::to_string(delivered + 30));
    EXPECT_TRUE(pic.pull(pic.now + 1.0).empty());
}

// ---- packets -----------------------------------------------------------

const bytes channel_1_packet{0x5F, 0x02, 0x02, 0x40, 0x14, 0xA8};

// A packet transmission as the host does it: route lines, frame, 200 ms,
// select pulse, 1300 ms, end byte.
fields send_packet(std::uint8_t route_lines, std::uint8_t select, const bytes& payload, std::uint8_t later_select = 0) {
    recorded_pic pic;
    pic.begin_exchange(packet_frame(16384, payload), route_lines);
    pic.skip(819);
    pic.pulse(route_lines, select, 82);
    pic.skip(2000);
    pic.pulse(route_lines, later_select, 82);
    pic.skip(3325 - 82);
    pic.wait(0.020);
    pic.host_send({0x00});
    return pic.last("packet");
}

// Where the end byte falls, and the directions of packets the host sends on
// channels 1, 2 and 0 or above 2, are the PicLinkWorld tests'; here route
// and select lines that disagree, later pulses and malformed payloads.
TEST(PicPacket, LogsPayloadAndDirection) {
    struct example {
        std::uint8_t route_lines, select, later_select;
        bytes payload;
        std::string logged;  // well_formed route mask dir pulses len
    };
    for (const example& each : std::vector<example>{
             {0x20, 0x02, 0, channel_1_packet, "yes 1 1 1 1 6"},
             {0x20, 0x01, 0, channel_1_packet, "yes 1 2 conflict 1 6"},
             {0x00, 0x02, 0, channel_1_packet, "yes off 1 conflict 1 6"},
             {0x20, 0x02, 0x01, channel_1_packet, "yes 1 1 1 2 6"},  // the first pulse decides
             {0x20, 0x02, 0, {0x5F, 0x02, 0x02, 0x40, 0x14, 0xA9}, "no 1 1 1 1 6"},
             {0x20, 0x02, 0, {0x5E, 0x02, 0x02, 0x40, 0x14, 0xA8}, "no 1 1 1 1 6"},
             {0x20, 0x02, 0, {0x5F}, "no 1 1 1 1 1"}}) {
        fields packet = send_packet(each.route_lines, each.select, each.payload, each.later_select);
        EXPECT_EQ(pick(packet, {"well_formed", "route", "mask", "dir", "pulses", "len"}), each.logged)
            << packet["payload"];
    }
}

TEST(PicPacket, FrameDivisorEmptyPayloadAndMissingEndByte) {
    // A packet frame carries the divisor without a prescaler: 460 does not
    // fit in T0, and the PIC reads what is left of it.
    recorded_pic eight_k;
    eight_k.send(packet_frame(8000, bytes(80, 0)), 0.0);
    EXPECT_EQ(pick(eight_k.last("frame"), {"kind", "t0", "p0", "q", "len"}), "packet_start 37 DF 204 80");

    recorded_pic pic;
    pic.send(packet_frame(16384, {}), 0.0);
    EXPECT_EQ(pick(pic.last("frame"), {"len", "payload"}), "0 -");
    EXPECT_EQ(pic.pull(1.0).size(), 4096u) << "an empty packet still starts the stream";
    pic.send(packet_frame(16384, channel_1_packet), 1.0);
    EXPECT_EQ(pick(pic.last("packet"), {"len", "end"}), "0 -");
    pic.send({0x00}, 1.5);  // the world did not say what was unread
    EXPECT_EQ(pick(pic.last("packet"), {"payload", "end"}), "5F02024014A8 -");
}

// ---- faults ------------------------------------------------------------

TEST(PicFaults, SilentStoppingAndStallingStreams) {
    recorded_pic mute({.faults = {.silent = true}});
    mute.send(version_query, 0.0);
    mute.send(sampling_frame(16384), 0.0);
    EXPECT_TRUE(mute.pull(5.0).empty());
    EXPECT_EQ(mute.last("frame")["t0"], "22") << "a silent PIC still hears the host";
    EXPECT_EQ(mute.last("stream_start")["state"], "silent");

    recorded_pic stopper({.faults = {.stop_after = 1000}});
    stopper.send(sampling_frame(16384), 0.0);
    EXPECT_EQ(stopper.pull(0.2).size(), 819u);
    EXPECT_EQ(stopper.pull(5.0).size(), 181u);
    EXPECT_EQ(stopper.last("stream_end")["reason"], "stopped");

    recorded_pic staller({.faults = {.stall_at = 2048, .stall_seconds = 1.5}});
    staller.send(sampling_frame(16384), 0.0);
    std::size_t early = staller.pull(0.4).size();
    EXPECT_EQ(early + staller.pull(1.99).size(), 2048u) << "1.5 s pause from 0.5 s on";
    EXPECT_EQ(staller.last("stall")["at"], "2048");
    bytes resumed = staller.pull(2.5);
    ASSERT_EQ(resumed.size(), 2048u) << "then the nominal rate again";
    EXPECT_EQ(resumed[0], stream_byte(1, 1, 2048, 2)) << "resumes with the byte it stopped at";
}

}  // namespace
