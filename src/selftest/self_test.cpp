#include "selftest/self_test.h"

#include "board/adc.h"
#include "board/gpio.h"
#include "board/serial_line.h"
#include "commands/level_power_stop.h"
#include "ipc/shared_state.h"
#include "selftest/audio_loopback.h"

#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <span>

const std::array<double, 13> fixture_levels{0.0,     0.179124, 0.432432, 0.7062,  0.977592, 1.25875, 1.51767,
                                            1.79441, 2.05913,  2.33086,  2.62172, 2.88229,  3.14229};

bool level_in_band(double volts, int index) {
    const double upper = (fixture_levels[index] + fixture_levels[index + 1]) * 0.5;
    if (index == 0) return volts < upper;
    const double lower = (fixture_levels[index - 1] + fixture_levels[index]) * 0.5;
    return volts > lower && volts < upper;
}

namespace {

constexpr int audio_tone_bin = 10;
constexpr std::uint32_t all_bits = ~0u;
constexpr std::uint8_t echo_probe = 0x55;
constexpr std::uint8_t answer_bit7 = echo_probe ^ 0x80;
constexpr std::uint8_t answer_bit6 = echo_probe ^ 0x40;

using stimulus = bool (*)();

struct level_check {
    const char* key;
    int adc_channel;
    stimulus idle;  // null: the lines stay as the step before left them
    stimulus drive;
    int expected_index;
};

bool read_volts(int channel, double& volts) {
    std::int32_t raw = adc_read(channel);
    if (raw == ADC_INVALID) return false;
    volts = adc_volts(raw);
    return true;
}

// A failed drive or reading leaves the first half of the line printed.
bool run_level_check(const level_check& check) {
    double volts = 0;
    if ((check.idle != nullptr && !check.idle()) || !read_volts(check.adc_channel, volts)) return false;
    std::cout << check.key << "=" << volts << "," << static_cast<int>(level_in_band(volts, 0));
    if (!check.drive() || !read_volts(check.adc_channel, volts)) return false;
    std::cout << "," << volts << "," << static_cast<int>(level_in_band(volts, check.expected_index)) << std::endl;
    return true;
}

bool run_level_checks(std::span<const level_check> checks) {
    for (const level_check& check : checks) {
        if (!run_level_check(check)) return false;
    }
    return true;
}

bool select_idle() { return test_select(7, false); }
bool lines_idle() { return test_lines_set(7, false); }

constexpr level_check select_checks[] = {
    {"test3", 0, nullptr, [] { return test_select(31, true); }, 1},
    {"test6", 0, select_idle, [] { return test_select(6, false); }, 2},
    {"test8", 0, select_idle, [] { return test_select(5, false); }, 3},
    {"test10", 0, select_idle, [] { return test_select(3, false); }, 4},
    {"test12", 0, select_idle, [] { return test_select(7, true); }, 5},
    {"test14", 0, select_idle, [] { return test_select(15, true); }, 6},
    {"test18", 0, select_idle, [] { return test_select(23, true); }, 7},
};

constexpr level_check line_checks[] = {
    {"test20", 0, lines_idle, [] { return test_lines_set(6, false); }, 8},
    {"test22", 0, lines_idle, [] { return test_lines_set(5, false); }, 9},
    {"test24", 1, lines_idle, [] { return test_lines_set(3, false); }, 10},
    {"test26", 2, lines_idle, [] { return test_lines_set(7, true); }, 11},
};

// The one word this test carries between its own cycles on ports H and A.
std::uint32_t port_word = 0;

bool port_update(const unique_fd& port, gpio_register which, std::uint32_t keep, std::uint32_t set) {
    if (!gpio_read(port, which, port_word)) return false;
    port_word = (port_word & keep) | set;
    return gpio_write(port, which, port_word);
}

bool porta_word_or(std::uint32_t bits) {
    port_word |= bits;
    return gpio_write(porta_fd, gpio_register::data, port_word);
}

bool porth_data(std::uint32_t keep, std::uint32_t set) { return port_update(porth_fd, gpio_register::data, keep, set); }
bool porta_idle() { return port_update(porta_fd, gpio_register::data, 0x47, 0); }

constexpr level_check port_checks[] = {
    {"test11", 3, nullptr, [] { return portc_write(1); }, 1},
    {"test9", 3, [] { return portc_write(0); }, [] { return porth_data(all_bits, 0x10); }, 7},
    {"test13", 3, [] { return porth_data(0xEF, 0); }, [] { return porth_data(all_bits, 0x20); }, 2},
};

constexpr level_check porta_checks[] = {
    {"test19", 3, porta_idle, [] { return porta_word_or(0x08); }, 3},
    {"test21", 3, porta_idle, [] { return porta_word_or(0x10); }, 4},
    {"test23", 3, porta_idle, [] { return porta_word_or(0x20); }, 5},
    {"test25", 3, porta_idle, [] { return porta_word_or(0x80); }, 6},
};

// Port H bits 4-5 and port A bits 3, 4, 5, 7 low, then made outputs.
bool prepare_ports_h_and_a() {
    return test_lines_set(7, false) && portc_write(0) && porth_data(0xCF, 0) &&
           port_update(porth_fd, gpio_register::direction, all_bits, 0x30) && porta_idle() &&
           port_update(porta_fd, gpio_register::direction, all_bits, 0xB8);
}

bool run_port_checks() {
    if (!run_level_checks(port_checks) || !porth_data(0xDF, 0) || !run_level_checks(porta_checks)) return false;
    port_word &= 0x47;
    return gpio_write(porta_fd, gpio_register::data, port_word);
}

// Sends the probe on a channel; answer is the byte that came back, or -1.
bool echo_exchange(long channel, int& answer) {
    if (!serial_setup(channel, B9600, 8, 0, 0, 1) || tcflush(serial_fd.get(), TCIOFLUSH) != 0) return false;
    if (write(serial_fd.get(), &echo_probe, 1) != 1) return false;
    std::uint8_t byte = 0;
    answer = read(serial_fd.get(), &byte, 1) == 1 ? byte : -1;
    return true;
}

bool run_serial_checks() {
    int answer = -1;
    if (!echo_exchange(0, answer)) return false;
    bool either = answer == answer_bit7 || answer == answer_bit6;
    std::cout << "test2320=" << static_cast<int>(either) << "," << static_cast<int>(answer == answer_bit6)
              << std::endl;
    for (int j = 0; j < 2; ++j) {
        if (!echo_exchange(j + 1, answer)) return false;
        std::cout << "test485" << j << "=" << static_cast<int>(answer == answer_bit7) << std::endl;
    }
    return true;
}

bool run_checks() {
    return test_lines_set(7, false) && test_select(7, false) && run_level_checks(select_checks) &&
           test_select(7, false) && run_level_checks(line_checks) && prepare_ports_h_and_a() &&
           run_port_checks() && run_serial_checks() && audio_loopback_test(audio_tone_bin) == 0;
}

}  // namespace

bool run_self_test() {
    if (!stop_service()) return false;
    attached_state block;
    if (!block) return false;
    gpio_session ports;
    if (!ports.opened() || !gpio_setup_test()) return false;
    adc_session adc;
    if (!adc.opened()) return false;
    held_lock serial_lock = held_lock::acquire(sem_serial);
    if (!serial_lock) return false;
    serial_session line;
    return line.opened() && run_checks();
}
