// The p command: frames a packet typed as text and leaves it in the shared
// packet slot for the service to transmit.
#pragma once

// True once the packet waits in the slot.
bool send_packet(const char* direction_text, const char* packet_text);

// 0 to 15 for a hexadecimal digit, 255 for anything else.
unsigned char hex_digit_value(char character);
