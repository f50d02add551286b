// The control socket's run request: a command started inside the world for a
// caller outside it, with the caller's stdio.
#pragma once

#include "control_protocol.h"
#include "supervisor.h"

#include <string>
#include <vector>

namespace boardsim {

// run CWD ARG...: answers "pid=N", passes on "kill N" lines from the caller,
// and answers "exit=N" when the command ends. `refuse` while the world stops.
void serve_run(supervisor& processes, bool refuse, int fd, line_reader& reader,
               const std::vector<std::string>& words);

}  // namespace boardsim
