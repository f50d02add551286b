// The serial-TCP settings kept in the shared record for the bridge, and the
// command that switches the UART to a channel at once.
#pragma once

// Switches the UART to the channel (its low two bits). The output flag is
// accepted but drives nothing.
bool serial_channel_enable(const char* channel_text, bool output);

// With all five texts: validates, stores, then prints the record. With any
// of them null: prints the record only.
bool serial_settings(const char* channel, const char* baud, const char* data, const char* parity,
                     const char* stop);
