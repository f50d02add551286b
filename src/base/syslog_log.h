// The daemon's log: once the standard streams point at /dev/null, every line
// of the log stream also goes to syslog (facility daemon, ident "tovk").
// Its priority is the severity the line was logged with (base/log.h): err
// for failures, info for traces, notice for the rest.
#pragma once

// From now on, for the rest of the process.
void log_stream_to_syslog();
