#include "base/log.h"

#include <iostream>

namespace {

log_severity current_severity = log_severity::notice;

}  // namespace

log_line::~log_line() {
    current_severity = severity_;
    std::clog << text_.str() << std::endl;
    current_severity = log_severity::notice;
}

log_severity severity_of_current_line() { return current_severity; }
