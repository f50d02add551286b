// The PIC as the simulated board sees it: parses the command frames the host
// sends on serial channel 0, answers the version query, streams samples in
// real time after a start frame, and watches the board lines so that pulses,
// gaps and packets can be measured in stream bytes the host had consumed.
//
// Pure model: no threads, no I/O, no clock of its own. The world feeds it the
// host's bytes and port B changes and pulls what it sends, passing a monotonic
// time in seconds with every call.
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
    wrong_byte,      // one byte that is not "V"
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
};

// Receives the model's log, one line at a time without line end. Every line
// starts with a word naming its kind; the formats are documented with the
// implementation and are what tests parse.
using pic_log = std::function<void(const std::string& line)>;

struct pic_status {
    bool streaming = false;
    double rate_hz = 0.0;             // sample rate the last start frame set
    std::uint64_t stream_number = 0;  // counts start frames, from 1
    std::uint64_t sent = 0;           // bytes of the current stream delivered
    bool attention = true;            // port B bit 6 as last seen
};

class pic_model {
public:
    pic_model(const pic_settings& settings, pic_log log);

    // New settings; a stream in progress keeps its content and rate.
    void configure(const pic_settings& settings);

    // Host bytes that reached the PIC (channel 0 selected), in order.
    void receive(const std::uint8_t* data, std::size_t count, double now);

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
std::uint8_t stream_byte(std::uint64_t seed, std::uint64_t stream, std::uint64_t index, unsigned in_channels);

}  // namespace boardsim
