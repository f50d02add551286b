// The steps only random runs use: side commands, socket buffers, the black
// hole, the end of the side commands and the audit.
#pragma once

#include "script.h"

#include <string>
#include <vector>

namespace refserver {

// False when `tokens` is no such step, or a malformed one.
bool parse_random_run_step(const std::vector<std::string>& tokens, step& made);

}  // namespace refserver
