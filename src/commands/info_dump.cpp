#include "commands/info_dump.h"

#include "board/gpio.h"
#include "base/stop_flag.h"
#include "ipc/service_claim.h"
#include "ipc/shared_state.h"

#include <unistd.h>

#include <chrono>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

namespace {

// How long the dump waits for readings while no service lives: one may be
// starting.
constexpr auto unattended_wait_limit = std::chrono::seconds(5);

struct readings {
    double diode, batt, mod_vol[2];
    std::uint8_t auxpwr;
};

std::uint8_t crc8_step(std::uint8_t crc, char character) {
    crc = static_cast<std::uint8_t>(crc ^ static_cast<std::uint8_t>(character));
    for (int bit = 0; bit < 8; ++bit) {
        crc = static_cast<std::uint8_t>((crc & 0x80) != 0 ? (crc << 1) ^ 0x31 : crc << 1);
    }
    return crc;
}

enum class round_copy { copied, not_ready, lock_failed };

round_copy copy_round(shared_state& block, readings& copy) {
    held_lock lock = held_lock::acquire(sem_state);
    if (!lock) return round_copy::lock_failed;
    if (block.measurements_ready != 1) return round_copy::not_ready;
    copy = {block.diode, block.batt, {block.mod_vol[0], block.mod_vol[1]}, block.auxpwr};
    return round_copy::copied;
}

// Copies one consistent round under sem_state and releases it at once, so a
// reader that is slow to consume the output never stalls the service. Waits
// while a service lives (or may be starting); a stop signal ends the wait.
bool wait_for_readings(shared_state& block, readings& copy) {
    volatile std::uint8_t keep_waiting = 1;
    stop_registration registration(&keep_waiting);
    auto alone_since = std::chrono::steady_clock::now();
    while (keep_waiting != 0) {
        round_copy copied = copy_round(block, copy);
        if (copied != round_copy::not_ready) return copied == round_copy::copied;
        auto now = std::chrono::steady_clock::now();
        if (service_alive()) alone_since = now;
        if (now - alone_since >= unattended_wait_limit) {
            std::clog << "No readings: no service is running" << std::endl;
            return false;
        }
        usleep(50000);
    }
    return false;
}

void print_readings(const readings& values, int auxpwrdis) {
    std::ostringstream diode_text;
    diode_text << values.diode;
    int code = diode_check_code(diode_text.str());
    std::cout << "diode=" << diode_text.str() << std::setw(2) << std::setfill('0') << code << std::setfill(' ')
              << std::endl;
    std::cout << "temp=" << diode_temperature(values.diode) << std::endl;
    std::cout << "batt=" << values.batt << std::endl;
    std::cout << "auxpwr=" << (values.auxpwr != 0 ? 1 : 0) << std::endl;
    if (auxpwrdis != -1) std::cout << "auxpwrdis=" << auxpwrdis << std::endl;
    std::cout << "mod_vol0=" << values.mod_vol[0] << std::endl;
    std::cout << "mod_vol1=" << values.mod_vol[1] << std::endl;
}

}  // namespace

int diode_check_code(std::string_view diode_text) {
    std::uint8_t crc = 0xFF;
    if (diode_text.size() > 2) {
        for (char character : diode_text.substr(2)) crc = crc8_step(crc, character);
    }
    for (char character : std::string_view("7R")) crc = crc8_step(crc, character);
    return crc % 100;
}

bool dump_info() {
    readings values{};
    {
        attached_state block;
        if (!block || !wait_for_readings(*block, values)) return false;
    }
    gpio_session ports;
    if (!ports.opened()) return false;
    print_readings(values, auxpwrdis_get());
    return true;
}

double diode_temperature(double diode) { return (diode - 0.657756) * 42.5 / (-0.086592) + 20.9; }
