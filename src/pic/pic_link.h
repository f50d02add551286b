// Exchanges with the PIC on channel 0 of the UART. The PIC streams its
// samples continuously after a start frame, and the host uses that stream
// as its clock: every wait inside an exchange is a count of stream bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::uint32_t pic_rate_base = 3686400;
constexpr std::size_t pic_receive_buffer_size = 2048;

using sampling_start_frame = std::array<std::uint8_t, 15>;
using packet_start_frame = std::array<std::uint8_t, 21>;

// Stream bytes that cover ms milliseconds at rate samples/s of channels bits.
int pic_bytes(double ms, double rate, double channels);

// Frames for a rate above 0.
sampling_start_frame pic_sampling_frame(std::uint32_t rate);
packet_start_frame pic_packet_frame(std::uint32_t rate, std::uint8_t payload_length);

// Opens an exchange: attention, sem_serial, the line at 115200 8N1 on channel
// 0, then the frame (and payload). On success the line stays open and locked.
bool pic_link_open(const std::uint8_t* frame, std::size_t length, const std::uint8_t* payload = nullptr,
                   std::size_t payload_length = 0);
// Ends an exchange; gives sem_serial back only if this process holds it.
void pic_link_close();

// Firmware version, 2 for a PIC that does not answer, -1 on failure.
int pic_version_query();

bool pic_sampling_start(std::uint32_t rate);
bool pic_packet_start(std::uint32_t rate, std::uint8_t length, const std::uint8_t* payload);

// Waits up to 1 s for the stream to begin, then drops what arrived.
bool pic_stream_wait();
// Consumes exactly n stream bytes; false when the stream pauses for 1 s.
bool pic_stream_skip(long n);
// Drives the channel-select lines with mask for ms of stream.
bool pic_select_pulse(double ms, double rate, double channels, std::uint8_t mask);

// Reads n stream bytes into buffer; false when the stream pauses for 1 s.
bool pic_stream_read(std::uint8_t* buffer, std::size_t n);
