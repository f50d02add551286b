// Reading a verb's words, and the replies every verb shares.
#pragma once

#include "verb_table.h"

#include <string>

namespace boardsim {

bool parse_double(const std::string& text, double& value);
bool parse_long(const std::string& text, long long& value);
// A number below `limit`.
bool parse_channel(const std::string& text, unsigned limit, unsigned& channel);

// Appends "error: REASON"; false.
bool fail(verb_reply& reply, const std::string& reason);
// The verb has no form with these words.
bool unknown_form(const verb_words& words, verb_reply& reply);

}  // namespace boardsim
