// The steps only random runs use: side commands, the service the run owns,
// socket buffers, the black hole, the end of the side commands and the audit. Their table entries are
// in script.cpp with the others.
#pragma once

#include "script.h"

namespace refserver {

// Each false when the step is malformed.
bool parse_side_step(const step_words& tokens, step& made);
bool parse_service_step(const step_words& tokens, step& made);
bool parse_buffers_step(const step_words& tokens, step& made);
bool parse_blackhole_step(const step_words& tokens, step& made);
bool parse_sides_done_step(const step_words& tokens, step& made);
bool parse_audit_step(const step_words& tokens, step& made);

}  // namespace refserver
