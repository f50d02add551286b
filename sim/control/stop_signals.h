// The signals that ask a program to stop (TERM, INT, HUP, QUIT), which
// boardsim's processes pass on to what they run for their caller.
#pragma once

#include <sys/types.h>

namespace boardsim {

// From now on each stop signal calls handler, which must be async-signal-safe.
void on_stop_signals(void (*handler)(int));

// From now on each stop signal is sent on to pid; while pid is 0, dropped.
void forward_stop_signals_to(pid_t pid);

}  // namespace boardsim
