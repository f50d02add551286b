// The lines log as a Value Change Dump, for logic-analyser viewers. Every
// line is a one-bit wire, since common VCD readers take no vectors; the PIC
// stream's stamps are real-valued signals beside them.
#pragma once

#include "board_model.h"
#include "event_log.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace boardsim {

// `entries`: the world's log (other kinds are skipped); `levels_at_end`: each
// port's line levels when the log ends, the start value of a line that never
// changed; `end_time`: when the dump ends. Times are whole microseconds of
// the world's clock, as the log prints them.
std::string vcd_of_lines(const std::vector<log_entry>& entries, const std::array<std::uint32_t, 5>& levels_at_end,
                         double end_time);

// A log time in whole microseconds, from the same digits the log prints.
std::int64_t log_microseconds(double time);

}  // namespace boardsim
