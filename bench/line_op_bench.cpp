// Cost of one board line operation (sem_gpio lock, 4-byte read, 4-byte
// write, unlock) on the world's port device, beside the same operation on a
// plain tmpfs file. Run inside boardsim: boardsim -- line_op_bench
#include "board/gpio.h"
#include "ipc/shared_state.h"
#include "machine.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

double median_microseconds(int rounds) {
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        route_flag_set(round % 2 == 0);
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + rounds / 2, times.end());
    return times[rounds / 2];
}

}  // namespace

int main() {
    ipc_key = ftok("/", 101);
    if (!open_semaphores() || !gpio_open()) {
        std::printf("no board devices: run inside boardsim\n");
        return 1;
    }
    double device = median_microseconds(2000);
    char plain_path[] = "/dev/shm/line-op-bench-XXXXXX";
    int plain = mkstemp(plain_path);
    std::uint32_t zero[2] = {0, 0};
    if (plain == -1 || pwrite(plain, zero, sizeof zero, 0) != sizeof zero) return 1;
    portb_fd.reset(plain);
    unlink(plain_path);
    double file = median_microseconds(2000);
    gpio_close();
    std::printf("machine: %s\n", machine_description().c_str());
    std::printf("line operation on the simulated port device: median %.1f us\n", device);
    std::printf("line operation on a plain tmpfs file:        median %.1f us\n", file);
    return 0;
}
