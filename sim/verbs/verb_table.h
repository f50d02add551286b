// One table maps each control verb to its usage, its effect and its handler;
// the help text is printed from it.
#pragma once

#include "device_binder.h"
#include "event_log.h"
#include "simulated_board.h"

#include <span>
#include <string>
#include <vector>

namespace boardsim {

// What the verbs act on.
struct verb_context {
    simulated_board& board;
    device_binder& devices;
    event_log& log;
};

using verb_words = std::vector<std::string>;
using verb_reply = std::vector<std::string>;

struct verb_entry {
    const char* name;
    const char* usage;   // its forms, one a line
    const char* effect;  // may run over several lines
    bool under_lock;     // runs with the board's lock held; else takes it where it needs it
    // Appends reply lines; false makes the last one an error.
    bool (*handle)(verb_context& context, const verb_words& words, verb_reply& reply);
};

// In the order the help lists them.
std::span<const verb_entry> verb_table();
const verb_entry* find_verb(const std::string& name);

// The verbs' usage and effects, a line each, for --help and the help verb.
std::vector<std::string> verb_help();

}  // namespace boardsim
