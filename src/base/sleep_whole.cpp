#include "base/sleep_whole.h"

#include <time.h>

#include <cerrno>

void sleep_whole(std::chrono::microseconds duration) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    auto nanoseconds = deadline.tv_nsec + std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
    deadline.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
    deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
