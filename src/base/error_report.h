// How every module reports a failed system call: one fixed line on the log
// stream, then either go on or end the process.
#pragma once

// "Fatal error in function: <name>" on the log stream.
void report_error(const char* name);
[[noreturn]] void fatal_error(const char* name);
