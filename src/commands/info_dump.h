// The d command: the board's readings as the service last stored them.
#pragma once

#include <cstdint>
#include <string_view>

// Waits for the service's first full round of readings, then prints them.
bool dump_info();

// Two-digit check code of a diode text: CRC-8 (polynomial 0x31, start 0xFF)
// over the text from its third character on and "7R", modulo 100.
int diode_check_code(std::string_view diode_text);

// Degrees Celsius from the diode voltage, as temp= prints it.
double diode_temperature(double diode);
