#include "commands/level_power_stop.h"

#include "board/gpio.h"
#include "ipc/shared_state.h"
#include "base/decimal.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>

namespace {

constexpr auto attach_check_interval = std::chrono::milliseconds(100);

// Nobody but this process has the record attached: no service can answer.
bool no_service_attached() { return shared_state_attach_count() == 1; }

void wait_for_service_stop(shared_state& block) {
    auto next_check = std::chrono::steady_clock::now() + attach_check_interval;
    while (load_shared(block.stopped) != 1) {
        usleep(1);
        if (std::chrono::steady_clock::now() < next_check) continue;
        next_check += attach_check_interval;
        if (no_service_attached() && load_shared(block.stopped) != 1) {
            std::clog << "No service has the shared record attached; clearing its stale running flag"
                      << std::endl;
            store_shared(block.stopped, 1);
            return;
        }
    }
}

}  // namespace

bool set_zlevel(const char* text) {
    attached_state block;
    if (!block) return false;
    long level = 0;
    if (text != nullptr) {
        if (!parse_decimal(text, level)) return false;
        std::atomic_ref<std::int32_t>(block->zlevel).store(static_cast<std::int32_t>(level));
    }
    std::cout << std::atomic_ref<std::int32_t>(block->zlevel).load() << std::endl;
    return true;
}

bool set_ext_power(const char* text) {
    gpio_session ports;
    if (!ports.opened()) return false;
    long value = 0;
    if (!parse_decimal(text, value) || !auxpwrdis_set(value != 0)) return false;
    int line = auxpwrdis_get();
    if (line == -1) return false;
    std::cout << line << std::endl;
    return true;
}

bool stop_service() {
    attached_state block;
    if (!block) return false;
    if (load_shared(block->running) != 0) {
        store_shared(block->stopped, 0);
        store_shared(block->running, 0);
        wait_for_service_stop(*block);
    }
    return true;
}
