// The daemon's log: once the standard streams point at /dev/null, every line
// of the log stream also goes to syslog (facility daemon, ident "tovk").
#pragma once

#include <string_view>

// err for failures, info for the traces of carried-out commands, notice for
// the rest.
int syslog_priority_of(std::string_view line);

// From now on, for the rest of the process.
void log_stream_to_syslog();
