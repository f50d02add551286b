#include "base/error_report.h"

#include "base/log.h"

#include <cstdlib>

void report_error(const char* name) {
    log_failure() << "Fatal error in function: " << name;
}

void fatal_error(const char* name) {
    report_error(name);
    std::exit(1);  // NOLINT(concurrency-mt-unsafe): tovk runs no threads
}
