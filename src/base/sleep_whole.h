// Sleeps that a signal cannot cut short: a stop only clears the loop's flag,
// and whatever the process was timing (a PIC exchange, a pulse) completes.
#pragma once

#include <chrono>

void sleep_whole(std::chrono::microseconds duration);
