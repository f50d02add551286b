// The serial-TCP settings kept in the shared record for the bridge, and the
// command that switches the UART to a channel at once.
#pragma once

#include <cstdint>

struct shared_state;

struct line_settings {
    std::uint8_t channel;
    std::uint32_t baud;
    std::uint8_t stop;
    std::uint8_t data;
    std::uint8_t parity;
    std::uint8_t odd;
};

// The record's settings as one consistent copy, read under sem_state; a
// holder that keeps the lock longer than a moment is not waited for, and the
// settings are then read as they stand.
line_settings serial_settings_read(const shared_state& block);

// True for settings the f command can store, and only for those.
bool line_settings_storable(const line_settings& settings);

// Switches the UART to the channel (its low two bits). The output flag is
// accepted but drives nothing.
bool serial_channel_enable(const char* channel_text, bool output);

// With all five texts: validates, stores, then prints the record. With any
// of them null: prints the record only.
bool serial_settings(const char* channel, const char* baud, const char* data, const char* parity,
                     const char* stop);
