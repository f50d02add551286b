#include "commands/level_power_stop.h"

#include "base/log.h"
#include "board/gpio.h"
#include "ipc/service_claim.h"
#include "ipc/shared_state.h"
#include "base/decimal.h"
#include "base/stop_flag.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>

namespace {

constexpr auto liveness_check_interval = std::chrono::milliseconds(100);

// Until the service acknowledges or is gone; a stop signal ends the wait as a
// failure. A service still starting may set running after the clear, so the
// clear is said again while it lives.
bool wait_for_service_stop(shared_state& block) {
    volatile std::uint8_t keep_waiting = 1;
    stop_registration registration(&keep_waiting);
    auto next_check = std::chrono::steady_clock::now() + liveness_check_interval;
    while (load_shared(block.stopped) != 1) {
        if (keep_waiting == 0) return false;
        if (std::chrono::steady_clock::now() >= next_check) {
            next_check += liveness_check_interval;
            if (!service_alive()) return true;
            store_shared(block.running, 0);
        }
        usleep(1000);
    }
    return true;
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
    if (!service_alive()) {
        if (load_shared(block->running) != 0) {
            log_notice() << "No service is running; clearing its stale running flag";
            store_shared(block->running, 0);
            store_shared(block->stopped, 1);
        }
        return true;
    }
    store_shared(block->stopped, 0);
    store_shared(block->running, 0);
    service_alive();  // wakes an idle service to see the clear now
    return wait_for_service_stop(*block);
}
