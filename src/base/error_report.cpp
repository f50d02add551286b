#include "base/error_report.h"

#include <cstdlib>
#include <iostream>

void report_error(const char* name) {
    std::clog << "Fatal error in function: " << name << std::endl;
}

void fatal_error(const char* name) {
    report_error(name);
    std::exit(1);  // NOLINT(concurrency-mt-unsafe): tovk runs no threads
}
