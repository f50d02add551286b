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

bool parse_random_run_step(const std::vector<std::string>& tokens, step& made) {
    const std::string& verb = tokens[0];
    if (verb == "at") {
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
    if (verb == "service") {
        made.kind = step_kind::service;
        made.words.assign(tokens.begin() + 1, tokens.end());
        static const std::vector<std::string> actions{"start", "kill", "term", "stop", "second"};
        return tokens.size() == 2 && std::find(actions.begin(), actions.end(), tokens[1]) != actions.end();
    }
    if (verb == "sndbuf") {
        made.kind = step_kind::buffers;
        made.count = tokens.size() == 2 && tokens[1] == "small" ? 1 : 0;
        return tokens.size() == 2 && (tokens[1] == "small" || tokens[1] == "normal");
    }
    if (verb == "blackhole") {
        made.kind = step_kind::blackhole;
        made.words.assign(tokens.begin() + 1, tokens.end());
        return tokens.size() == 2;
    }
    if (verb == "sides") {
        made.kind = step_kind::sides_done;
        made.seconds = 30;
        return tokens.size() == 1 || (tokens.size() == 3 && tokens[1] == "within" && parse_time(tokens[2], made.seconds));
    }
    if (verb == "audit") {
        made.kind = step_kind::audit;
        return tokens.size() == 1;
    }
    return false;
}

}  // namespace refserver
