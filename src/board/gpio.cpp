#include "board/gpio.h"

#include "base/stop_flag.h"
#include "ipc/shared_state.h"

#include <fcntl.h>
#include <unistd.h>

unique_fd porta_fd, portb_fd, portc_fd, portf_fd, porth_fd;

namespace {

bool open_port(unique_fd& port, const char* path) {
    port.reset(open(path, O_RDWR | O_SYNC | O_CLOEXEC));
    return port.valid();
}

std::uint32_t bit(int position) { return 1u << position; }

// The one locked read-modify-write: keep the bits of keep_mask, add set_bits.
bool locked_update(const unique_fd& port, std::uint32_t keep_mask, std::uint32_t set_bits) {
    // Held by anyone for one read-modify-write only. A loop in charge of the
    // process finishes its pass, so a stop signal must not cost it a line
    // change mid-exchange; a one-shot command gives up on it instead.
    held_lock lock = stop_flag != nullptr ? held_lock::acquire_through_signals(sem_gpio) : held_lock::acquire(sem_gpio);
    if (!lock) return false;
    std::uint32_t word = 0;
    return gpio_read(port, gpio_register::data, word) &&
           gpio_write(port, gpio_register::data, (word & keep_mask) | set_bits);
}

bool line_set(const unique_fd& port, int position, bool on) {
    return locked_update(port, ~bit(position), on ? bit(position) : 0);
}

bool direction_write(const unique_fd& port, std::uint32_t direction) {
    return gpio_write(port, gpio_register::direction, direction);
}

// Port A keeps bits 0, 1, 2 and 6 of its direction as the hardware has them.
bool porta_direction_update(std::uint32_t outputs) {
    std::uint32_t direction = 0;
    return gpio_read(porta_fd, gpio_register::direction, direction) &&
           direction_write(porta_fd, (direction & 0x47) | outputs);
}

}  // namespace

bool gpio_open() {
    if (open_port(portb_fd, "/dev/portb") && open_port(portc_fd, "/dev/portc") &&
        open_port(portf_fd, "/dev/portf") && open_port(porth_fd, "/dev/porth") &&
        open_port(porta_fd, "/dev/porta")) {
        return true;
    }
    gpio_close();
    return false;
}

void gpio_close() {
    porta_fd.reset();
    porth_fd.reset();
    portf_fd.reset();
    portc_fd.reset();
    portb_fd.reset();
}

bool gpio_read(const unique_fd& port, gpio_register which, std::uint32_t& word) {
    return pread(port.get(), &word, sizeof word, static_cast<off_t>(which)) == sizeof word;
}

bool gpio_write(const unique_fd& port, gpio_register which, std::uint32_t word) {
    return pwrite(port.get(), &word, sizeof word, static_cast<off_t>(which)) == sizeof word;
}

bool gpio_setup() {
    return porta_direction_update(0x80) && direction_write(portb_fd, 0xFF) &&
           direction_write(portf_fd, 0x0E) && direction_write(porth_fd, 0x0C);
}

bool gpio_setup_test() {
    return direction_write(portb_fd, 0xFF) && direction_write(portf_fd, 0x0E) &&
           direction_write(porth_fd, 0x0C) && direction_write(portc_fd, 0x01) &&
           porta_direction_update(0x20);
}

bool auxpwrdis_set(bool on) { return line_set(porta_fd, 7, on); }
bool route_flag_set(bool on) { return line_set(portb_fd, 2, on); }
bool pulse_line_set(bool on) { return line_set(portb_fd, 3, on); }
bool pic_attention_set(bool on) { return line_set(portb_fd, 6, on); }
bool batt_measure_set(bool on) { return line_set(portb_fd, 7, on); }
bool route_mode_set(bool on) { return line_set(portf_fd, 1, on); }
bool undervoltage_line_set(bool on) { return line_set(portf_fd, 2, on); }

bool channel_mask_set(std::uint8_t mask) {
    std::uint32_t lines = ((mask & 1u) << 1) | ((mask & 2u) >> 1);
    return locked_update(portb_fd, ~(bit(0) | bit(1)), lines);
}

bool route_set(std::uint8_t index, std::uint8_t enable) {
    std::uint32_t lines = (index != 0 ? bit(4) : 0) | (static_cast<std::uint32_t>(enable) << 5);
    return locked_update(portb_fd, ~(bit(4) | bit(5)), lines & (bit(4) | bit(5)));
}

bool route_set_from_ints(int index, int enable) {
    return route_set(static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(enable));
}

int auxpwrdis_get() {
    std::uint32_t word = 0;
    if (!gpio_read(porta_fd, gpio_register::data, word)) return -1;
    return static_cast<int>((word >> 7) & 1u);
}

bool auxpwr_poll(shared_state& block) {
    std::uint32_t word = 0;
    if (!gpio_read(porth_fd, gpio_register::data, word)) return false;
    std::uint8_t level = (word >> 5) & 1;
    if (level == block.auxpwr) return false;
    if (held_lock lock = held_lock::acquire_within(sem_state, state_lock_wait_ms)) block.auxpwr = level;
    return true;
}

bool serial_channel_select(long channel) {
    return gpio_write(porth_fd, gpio_register::data, static_cast<std::uint32_t>(channel << 2) & 0x0C);
}

bool test_lines_set(std::uint8_t sel, bool high) {
    std::uint32_t lines = (~static_cast<std::uint32_t>(sel) & 0x07) | (high ? bit(3) : 0);
    return locked_update(portb_fd, 0xF0, lines);
}

bool test_select(int index, bool enable) {
    if (index >= 0 && !gpio_write(portf_fd, gpio_register::data, static_cast<std::uint32_t>(index ^ 7) << 1)) {
        return false;
    }
    std::uint32_t selected = 0;
    if (enable && index >= 0 && (index >> 3) < 4) selected = 0x10u << (index >> 3);
    return locked_update(portb_fd, ~0xF0u, selected);
}

bool portc_write(std::uint32_t value) { return gpio_write(portc_fd, gpio_register::data, value); }
