// The log stream, with each message's severity stated where it is logged:
//     log_failure() << "Cannot open " << path;
// The line is ended and flushed when the statement ends.
#pragma once

#include <sstream>

enum class log_severity { failure, notice, trace };

class log_line {
public:
    explicit log_line(log_severity severity) : severity_(severity) {}
    ~log_line();
    log_line(const log_line&) = delete;
    log_line& operator=(const log_line&) = delete;
    log_line(log_line&&) = delete;
    log_line& operator=(log_line&&) = delete;

    template <typename T>
    log_line& operator<<(const T& value) {
        text_ << value;
        return *this;
    }

private:
    log_severity severity_;
    std::ostringstream text_;
};

// A step that failed.
inline log_line log_failure() { return log_line(log_severity::failure); }
// A command carried out, for following the service's work.
inline log_line log_trace() { return log_line(log_severity::trace); }
// Anything else worth a line.
inline log_line log_notice() { return log_line(log_severity::notice); }

// The severity of the line being written to the log stream; notice for
// lines written to it directly.
log_severity severity_of_current_line();
