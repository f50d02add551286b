// The board's UART, "/dev/ttyAM1", switched by port H bits 2-3 between the
// PIC (channel 0) and three user channels. Callers hold sem_serial around
// every use, from serial_open to serial_close.
#pragma once

#include "base/unique_fd.h"
#include "board/board_session.h"

#include <termios.h>

#include <cstdint>

extern unique_fd serial_fd;

// On failure prints errno on standard output and the fatal line on the log.
bool serial_open();
void serial_close();

// Closes the line when it goes, if it opened it.
using serial_session = board_session<serial_open, serial_close>;

// The termios speed code of a rate; 0 for rates the line cannot take.
speed_t baud_to_speed(long baud);

// Raw mode in the given format, low latency on, then the channel select.
bool serial_setup(long channel, speed_t speed, long data_bits, std::uint8_t parity_on,
                  std::uint8_t parity_odd, long stop_bits);

bool serial_low_latency_off();
