#include "base/stop_flag.h"

volatile std::uint8_t* volatile stop_flag = nullptr;

void on_stop_signal(int) {
    volatile std::uint8_t* flag = stop_flag;
    if (flag != nullptr) *flag = 0;
}

bool stop_requested() {
    volatile std::uint8_t* flag = stop_flag;
    return flag != nullptr && *flag == 0;
}
