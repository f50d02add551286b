// The PIC as the simulated board sees it: parses the command frames the host
// sends on serial channel 0, answers the version query, streams samples in
// real time after a start frame, and watches the board lines so that pulses,
// gaps and packets can be measured in stream bytes the host had consumed.
//
// Pure model: no threads, no I/O, no clock of its own. The world feeds it the
// host's bytes and port B changes and pulls what it sends, passing a monotonic
// time in seconds with every call.
//
// Behaviour the world can rely on:
// - Rate: a start frame sets rate = 3686400 / (q * 2^k) with q = 259 - T0
//   (that is (3 - T0) mod 256 lifted into 4..259, so T0 0..3 mean q 259..256)
//   and k = 0 for P0 = DF, k = P0 - 0xCF for P0 = D0..DE. A packet start frame
//   always has P0 = DF. The model streams at this decoded rate, which may
//   differ a little from the rate the host asked for (8000 Hz gives q = 230,
//   k = 1, 8013.9 Hz); it does not cap the stream at the line's byte rate.
// - Stream: a sample is complete at time start + s / rate (start = time of the
//   frame's last byte); byte i is due once all its bits are complete, so
//   floor(samples * in_channels / 8) bytes are due, without drift.
// - The stream ends when PIC attention rises (the host closing the exchange)
//   unless settings.attention_ends_stream is false, when a stop fault is
//   reached, when silent is configured, or when a new start frame replaces it.
// - consumed = (bytes of the current stream handed out by transmit - those
//   reported lost) - unread. It stays meaningful after the stream ended, until
//   the next start frame. Widths and gaps of select pulses are exact whenever
//   the host only reads between the two line changes, whatever its queue
//   holds; the start of the first pulse in a stream is not (the host flushes
//   the stream's beginning at a moment of its own).
// - Faults: silent and stop_after act at once, also on a stream in progress;
//   a stall is fixed when a stream starts. A stalled stream resumes with the
//   sample it stopped at. version_digit, in_channels and seed apply from the
//   next query or stream.
//
// Log lines: a kind word, then space-separated key=value fields in the order
// given; t is the model time with 6 decimals, bytes are upper-case hex without
// separators ("-" when empty), consumed is signed ("-" when not known).
//   config reply=digit|silence|wrong_byte|v_then_silence digit=3 channels=2
//          seed=1 silent=0|1 stop_after=N stall_at=N stall_seconds=S
//          attention_ends_stream=0|1
//   frame t=T kind=version
//   frame t=T kind=sampling_start t0=XX p0=XX q=Q k=K rate=R
//   frame t=T kind=packet_start t0=XX p0=DF q=Q k=0 rate=R t1=22 m1=07 len=L
//          payload=HEX well_formed=yes|no
//   reply t=T kind=digit|silence|wrong_byte|v_then_silence|silent bytes=HEX
//   malformed t=T frame=version|start|sampling_start|packet_start at=POS
//          expected=XX|XX-YY|00/03 got=XX bytes=HEX    (bytes: the frame so far)
//   junk t=T count=N bytes=HEX        (bytes outside any frame; at most 16
//                                      shown, then "..")
//   stream_start t=T stream=N kind=sampling|packet rate=R channels=C
//          state=on|silent
//   stream_end t=T stream=N sent=S lost=L reason=replaced|attention|stopped|
//          silent           (sent counts every byte handed out, lost included)
//   stall t=T stream=N at=BYTE seconds=S
//   lost t=T stream=N count=C
//   lines t=T stream=N consumed=C attention=0|1 select=0..3 mask=0..3
//          route_select=0|1 route_enable=0|1
//        (select: port B bits 0-1 as a number; mask: the channel mask they
//         carry, mask bit 0 = port B bit 1, mask bit 1 = port B bit 0)
//   pulse t=T stream=N mask=M start=C width=W gap=G|-
//        (mask: every select line that was high during the pulse; start and
//         width in consumed bytes; gap from the previous pulse's end in the same
//         stream, "-" for the first; width=cut when a new stream began first)
//   end t=T stream=N consumed=C delivered=D
//   packet t=T stream=N len=L payload=HEX well_formed=yes|no route=1|2|off
//          mask=M dir=1|2|none|conflict pulses=P end=C|-
//
// Packet direction. route is what route enable (bit 5) and route select
// (bit 4) said at the start of the packet stream's first select pulse (at the
// end byte when there was none): off when enable is 0, else 1 for select 0 and
// 2 for select 1 (a host routes every channel but 1 with select 1). mask is
// that first pulse's channel mask. dir is the channel both agree on: 1 or 2
// when mask is that channel alone and route names it too; none when no select
// line pulsed (the host drives none for channel 0 or above 2); conflict for
// every other combination. A packet is well formed when it is at least two
// bytes long, starts with 0x5F and the bytes after it add up to 0 mod 256.
// end is the consumed byte when the end byte arrived ("-" when the packet
// stream was replaced before one came, or the world did not say what the
// host had unread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace boardsim {

enum class version_reply {
    digit,           // "V" then version_digit
    silence,         // no answer at all
    wrong_byte,      // one byte that is not "V" ('X')
    v_then_silence,  // "V" and nothing after it
};

struct pic_faults {
    bool silent = false;              // answers nothing and never streams
    std::uint64_t stop_after = 0;     // each stream ends after this many bytes; 0 = never
    std::uint64_t stall_at = 0;       // at this byte of each stream ...
    double stall_seconds = 0.0;       // ... the stream pauses this long; 0 = no stall
};

struct pic_settings {
    version_reply reply = version_reply::digit;
    char version_digit = '3';
    unsigned in_channels = 2;  // bits per sample in the stream
    std::uint64_t seed = 1;    // stream content, see stream_byte
    pic_faults faults;
    bool attention_ends_stream = true;  // PIC attention rising ends the stream
};

// Receives the model's log, one line at a time without line end. Every line
// starts with a word naming its kind; the formats are listed above.
using pic_log = std::function<void(const std::string& line)>;

struct pic_status {
    bool streaming = false;
    double rate_hz = 0.0;             // sample rate the last start frame set
    std::uint64_t stream_number = 0;  // counts start frames, from 1
    std::uint64_t sent = 0;           // bytes of the current stream delivered (handed out, not lost)
    bool attention = true;            // port B bit 6 as last seen
};

class pic_model {
public:
    pic_model(const pic_settings& settings, pic_log log);

    // New settings; a stream in progress keeps its content and rate.
    void configure(const pic_settings& settings);

    // Host bytes that reached the PIC (channel 0 selected), in order.
    void receive(const std::uint8_t* data, std::size_t count, double now);

    // The same, telling what the host has not yet read of the bytes delivered
    // so far, so that the end byte is stamped with the consumed stream byte.
    void receive(const std::uint8_t* data, std::size_t count, std::size_t unread, double now);

    // Appends the bytes the PIC sends from its previous call up to now.
    void transmit(double now, std::vector<std::uint8_t>& out);

    // The world could not deliver the last `count` bytes that transmit handed
    // out (the line overran): they are lost, as on a real UART.
    void lost(std::size_t count, double now);

    // Port B's data register changed. `unread` is what the host has not yet
    // read of the bytes delivered so far (the line's input queue), so the
    // host had consumed sent - unread stream bytes at this moment.
    void port_b_changed(std::uint8_t value, std::size_t unread, double now);

    pic_status status() const;

private:
    struct impl;
    std::shared_ptr<impl> impl_;
};

// Byte `index` (0 = first byte after the start frame) of stream number
// `stream`: each input channel carries its own pseudo-random bit sequence,
// indexed by sample number, so any window of a stream can be recomputed.
// Bit b of the stream (bits fill each byte from bit 0) is channel
// b mod in_channels of sample b / in_channels; in_channels 0 gives 0.
std::uint8_t stream_byte(std::uint64_t seed, std::uint64_t stream, std::uint64_t index, unsigned in_channels);

// Bit of one input channel at one sample: the same whatever in_channels the
// stream has, so a channel can be followed across streams of different width.
bool channel_bit(std::uint64_t seed, std::uint64_t stream, unsigned channel, std::uint64_t sample);

}  // namespace boardsim
