#pragma once

// Reads text as strtol does in base 10 (leading blanks and a sign allowed,
// anything after the digits ignored). False when no digit was read or the
// value lies outside 32 bits, the range of long on the board, so that every
// build accepts exactly the same words.
bool parse_decimal(const char* text, long& value);
