// Process entry: the invocation name, the stop signals, the IPC key and
// the semaphore set, then one command from the table.
#pragma once

void print_usage(const char* name);

// Runs one invocation and returns its exit status; may replace the process.
int run_front_end(int argc, char** argv, char** envp);
