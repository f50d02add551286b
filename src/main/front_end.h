// Process entry, the command table, usage text, error reporting and the stop
// flag that SIGTERM, SIGHUP and SIGINT clear.
#pragma once

#include <cstdint>

// The keep-running byte of the loop in charge of this process, or null. Whoever
// registers a byte withdraws it (null) before the byte's storage goes away.
extern volatile std::uint8_t* volatile stop_flag;

void on_stop_signal(int signal_number);

// "Fatal error in function: <name>" on the log stream.
void report_error(const char* name);
[[noreturn]] void fatal_error(const char* name);

void print_usage(const char* name);

// Runs one invocation and returns its exit status; may replace the process.
int run_front_end(int argc, char** argv, char** envp);
