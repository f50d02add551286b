// Runs control verbs on the board, from the control socket, --do and --script.
#pragma once

#include "verb_table.h"

#include <string>
#include <vector>

namespace boardsim {

class verb_interpreter {
public:
    verb_interpreter(simulated_board& board, device_binder& devices, event_log& log) : context_{board, devices, log} {}

    // One request; reply lines are appended. False: an error reply.
    bool execute(const verb_words& words, verb_reply& reply);

    // The --do verbs, then the script's lines; replies go to standard error.
    bool run_at_start(const std::vector<std::string>& verbs, const std::string& script, std::string& error);

private:
    verb_context context_;
};

}  // namespace boardsim
