// Whether a process still runs: a zombie has ended, though its pid stays
// until its parent reaps it.
#pragma once

#include <sys/types.h>

bool process_alive(pid_t pid);
