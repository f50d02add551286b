// Bench test of a board on the test fixture: each stimulus line driven high
// must come back as a known level on an ADC input, three serial channels must
// answer a byte altered, and the audio output must loop back to the input.
// One keyed line per check on standard output; the pass flags in it are for
// the operator and never change the result.
#pragma once

#include <array>

// Volts the fixture produces, by level index; index 0 is no line driven.
extern const std::array<double, 13> fixture_levels;

// Strictly between the midpoints to the neighbouring levels; index 0 has no
// lower limit. Indexes 0 to 11.
bool level_in_band(double volts, int index);

// Stops the service and takes the board; true when every step could be
// carried out and the audio measurement was made.
bool run_self_test();
