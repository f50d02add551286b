#include "random_steps.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace refserver {

namespace {

bool parse_time(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0;
}

}  // namespace

bool parse_side_step(const step_words& tokens, step& made) {
    made.kind = step_kind::side;
    std::size_t program = 2;
    if (tokens.size() > 3 && tokens[2] == "kill") {
        if (!parse_time(tokens[3], made.kill_after) || made.kill_after <= 0) return false;
        program = 4;
    }
    if (tokens.size() <= program + 1 || !parse_time(tokens[1], made.seconds)) return false;
    if (tokens[program] != "tovk" && tokens[program] != "driver") return false;
    made.words.assign(tokens.begin() + static_cast<std::ptrdiff_t>(program), tokens.end());
    return true;
}

bool parse_service_step(const step_words& tokens, step& made) {
    made.kind = step_kind::service;
    made.words.assign(tokens.begin() + 1, tokens.end());
    static const std::vector<std::string> actions{"start", "kill", "term", "stop", "second"};
    return tokens.size() == 2 && std::find(actions.begin(), actions.end(), tokens[1]) != actions.end();
}

bool parse_buffers_step(const step_words& tokens, step& made) {
    made.kind = step_kind::buffers;
    made.small_buffers = tokens.size() == 2 && tokens[1] == "small";
    return tokens.size() == 2 && (made.small_buffers || tokens[1] == "normal");
}

bool parse_blackhole_step(const step_words& tokens, step& made) {
    made.kind = step_kind::blackhole;
    made.words.assign(tokens.begin() + 1, tokens.end());
    return tokens.size() == 2;
}

bool parse_sides_done_step(const step_words& tokens, step& made) {
    made.kind = step_kind::sides_done;
    made.seconds = 30;
    return tokens.size() == 1 || (tokens.size() == 3 && tokens[1] == "within" && parse_time(tokens[2], made.seconds));
}

bool parse_audit_step(const step_words& tokens, step& made) {
    made.kind = step_kind::audit;
    return tokens.size() == 1;
}

}  // namespace refserver
