// The board's five GPIO ports and the named lines on them. Each port device
// has a data register (offset 0) and a direction register (offset 4, bit set =
// output), each one 4-byte word of which bits 0-7 are the port's lines.
// Every read-modify-write of a data register runs under sem_gpio.
#pragma once

#include "base/unique_fd.h"
#include "board/board_session.h"

#include <cstdint>

struct shared_state;

// Process-wide port handles, valid between gpio_open and gpio_close.
extern unique_fd porta_fd, portb_fd, portc_fd, portf_fd, porth_fd;

enum class gpio_register : int { data = 0, direction = 4 };

// Opens B, C, F, H, A; on a failure nothing stays open.
bool gpio_open();
void gpio_close();

// Closes the ports when it goes, if it opened them.
using gpio_session = board_session<gpio_open, gpio_close>;

bool gpio_read(const unique_fd& port, gpio_register which, std::uint32_t& word);
bool gpio_write(const unique_fd& port, gpio_register which, std::uint32_t word);

// Direction profiles: the service's and the self test's.
bool gpio_setup();
bool gpio_setup_test();

// One line each, a locked read-modify-write of its bit.
bool auxpwrdis_set(bool on);          // A.7: 1 disables the external power
bool route_flag_set(bool on);         // B.2
bool pulse_line_set(bool on);         // B.3
bool pic_attention_set(bool on);      // B.6
bool batt_measure_set(bool on);       // B.7
bool route_mode_set(bool on);         // F.1
bool undervoltage_line_set(bool on);  // F.2

// B.0-1: mask bit 0 drives B.1, mask bit 1 drives B.0.
bool channel_mask_set(std::uint8_t mask);
// B.4 route select (index != 0) and B.5 route enable, in one cycle.
bool route_set(std::uint8_t index, std::uint8_t enable);
bool route_set_from_ints(int index, int enable);

// A.7 read without the lock: 0, 1, or -1 when the read fails.
int auxpwrdis_get();

// Mirrors the aux power sense (H.5) into the record; true when it changed.
bool auxpwr_poll(shared_state& block);

// Whole-register write of the UART's channel select (H.2-3), unlocked: port
// H has no other output line that another process drives.
bool serial_channel_select(long channel);

// Self-test stimuli.
bool test_lines_set(std::uint8_t sel, bool high);
bool test_select(int index, bool enable);
bool portc_write(std::uint32_t value);
