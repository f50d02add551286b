#include "script.h"

#include "random_steps.h"

#include <cstdlib>
#include <sstream>

namespace refserver {

namespace {

using words = std::vector<std::string>;

bool parse_count(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

bool parse_seconds(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0;
}

bool parse_byte(const std::string& text, std::uint64_t limit, std::uint8_t& value) {
    std::uint64_t number = 0;
    if (!parse_count(text, number) || number > limit) return false;
    value = static_cast<std::uint8_t>(number);
    return true;
}

// Hex bytes, as separate words ("01 02") or run together ("0102").
bool parse_hex(const words& tokens, std::size_t first, std::vector<std::uint8_t>& out) {
    for (std::size_t i = first; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        if (token.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
        if (token.size() <= 2) {
            out.push_back(static_cast<std::uint8_t>(std::strtoul(token.c_str(), nullptr, 16)));
            continue;
        }
        if (token.size() % 2 != 0) return false;
        for (std::size_t at = 0; at < token.size(); at += 2) {
            out.push_back(static_cast<std::uint8_t>(std::strtoul(token.substr(at, 2).c_str(), nullptr, 16)));
        }
    }
    return !out.empty();
}

// "within S" (or "every S") at tokens[at], if present.
bool optional_seconds(const words& tokens, std::size_t at, const char* keyword, double& value) {
    if (tokens.size() == at) return true;
    return tokens.size() == at + 2 && tokens[at] == keyword && parse_seconds(tokens[at + 1], value);
}

bool parse_device_command(const words& tokens, step& made) {
    std::uint8_t channel = 0, address = 0, code = 0, mode = 0;
    bool route = false;
    if (tokens.size() < 4 || !parse_byte(tokens[1], 255, channel) || !parse_byte(tokens[2], 255, address) ||
        !parse_byte(tokens[3], 255, code)) {
        return false;
    }
    for (std::size_t i = 4; i < tokens.size(); ++i) {
        if (tokens[i] == "route") {
            route = true;
        } else if (tokens[i] == "mode" && i + 1 < tokens.size() && parse_byte(tokens[i + 1], 3, mode)) {
            ++i;
        } else {
            return false;
        }
    }
    made.bytes = {static_cast<std::uint8_t>(mode | (route ? 4 : 0)), channel, address, code};
    return true;
}

bool parse_mode(const words& tokens, step& made) {
    std::uint8_t mode = 0, channel = 0;
    if (tokens.size() < 3 || tokens.size() > 4 || !parse_byte(tokens[1], 3, mode) ||
        !parse_byte(tokens[2], 255, channel)) {
        return false;
    }
    bool route = tokens.size() == 4;
    if (route && tokens[3] != "route") return false;
    made.bytes = {static_cast<std::uint8_t>(mode | (route ? 4 : 0)), channel, 0, 0};
    return true;
}

double default_bound(std::uint64_t packets) { return 5.0 + 3.0 * static_cast<double>(packets); }

bool parse_expect(const words& tokens, step& made) {
    if (tokens.size() < 2) return false;
    const std::string& what = tokens[1];
    if (what == "data" || what == "ack") {
        made.kind = what == "data" ? step_kind::expect_data : step_kind::expect_ack;
        if (tokens.size() < 3 || !parse_count(tokens[2], made.count) || made.count == 0) return false;
        made.seconds = default_bound(made.count);
        return optional_seconds(tokens, 3, "within", made.seconds);
    }
    if (what == "quiet") {
        made.kind = step_kind::expect_quiet;
        return tokens.size() == 3 && parse_seconds(tokens[2], made.seconds);
    }
    made.seconds = 30;
    if (what == "closed") {
        made.kind = step_kind::expect_closed;
        return optional_seconds(tokens, 2, "within", made.seconds);
    }
    if (what == "connect") {
        made.kind = step_kind::accept;
        return optional_seconds(tokens, 2, "within", made.seconds);
    }
    return false;
}

bool parse_flow(const words& tokens, step& made) {
    const std::string& verb = tokens[0];
    if (verb == "request") {
        made.kind = step_kind::request;
        made.count = 1;
        if (tokens.size() >= 2 && !parse_count(tokens[1], made.count)) return false;
        return optional_seconds(tokens, tokens.size() >= 2 ? 2 : 1, "every", made.interval);
    }
    if (verb == "continuous") {
        made.kind = step_kind::continuous;
        if (tokens.size() < 2) return false;
        if (tokens[1] != "forever" && (!parse_count(tokens[1], made.count) || made.count == 0)) return false;
        made.seconds = made.count == 0 ? 0 : default_bound(made.count);
        return optional_seconds(tokens, 2, "within", made.seconds);
    }
    if (verb == "accept") {
        made.kind = step_kind::accept;
        made.seconds = 30;
        return optional_seconds(tokens, 1, "within", made.seconds);
    }
    return false;
}

bool parse_connection(const words& tokens, step& made) {
    const std::string& verb = tokens[0];
    if (verb == "disconnect") {
        made.kind = step_kind::disconnect;
        made.abrupt = tokens.size() == 2 && tokens[1] == "abrupt";
        return tokens.size() == 1 || made.abrupt;
    }
    if (verb == "hold" || verb == "release" || verb == "halfclose") {
        made.kind = verb == "hold" ? step_kind::hold : verb == "release" ? step_kind::release : step_kind::halfclose;
        return tokens.size() == 1;
    }
    if (verb == "slowread") {
        made.kind = step_kind::slowread;
        return tokens.size() == 2 && parse_seconds(tokens[1], made.rate);
    }
    if (verb == "cut") {
        made.kind = step_kind::cut;
        words rest(tokens.begin() + 1, tokens.end());
        if (!rest.empty() && rest.back() == "maybe") made.optional = true, rest.pop_back();
        return rest.empty() || (rest.size() == 1 && parse_count(rest[0], made.count) && made.count > 0);
    }
    if (verb == "wait") {
        made.kind = step_kind::wait;
        return tokens.size() == 2 && parse_seconds(tokens[1], made.seconds);
    }
    return false;
}

bool parse_words(const words& tokens, step& made) {
    static const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> control{
        {"pause", {0xFF, 0, 0, 0}}, {"resume", {0xFF, 0xFF, 0xFF, 0xFF}}, {"reset", {0, 0, 0, 0}}, {"scan", {0, 0, 0, 1}}};
    made.kind = step_kind::send;
    const std::string& verb = tokens[0];
    for (const auto& [name, word] : control) {
        if (verb != name) continue;
        made.bytes = word;
        return tokens.size() == 1;
    }
    if (verb == "word") return parse_hex(tokens, 1, made.bytes) && made.bytes.size() == 4;
    if (verb == "requestword") {
        made.kind = step_kind::request_word;
        return parse_hex(tokens, 1, made.bytes) && made.bytes.size() == 4;
    }
    if (verb == "raw") return parse_hex(tokens, 1, made.bytes);
    if (verb == "mode") return parse_mode(tokens, made);
    if (verb == "command") return parse_device_command(tokens, made);
    return false;
}

bool parse_step(const words& tokens, step& made) {
    if (tokens[0] == "expect") return parse_expect(tokens, made);
    return parse_flow(tokens, made) || parse_connection(tokens, made) || parse_random_run_step(tokens, made) ||
           parse_words(tokens, made);
}

words split_words(const std::string& text) {
    std::istringstream in(text);
    words tokens;
    for (std::string word; in >> word;) tokens.push_back(word);
    return tokens;
}

std::string trimmed(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

const std::vector<std::uint8_t>& plain_request_word() {
    static const std::vector<std::uint8_t> word{0x00, 0x00, 0x01, 0x00};
    return word;
}

script_result parse_script(const std::string& text) {
    script_result result;
    std::istringstream lines(text);
    std::size_t number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        line = line.substr(0, line.find('#'));
        std::istringstream parts(line);
        for (std::string part; std::getline(parts, part, ';');) {
            words tokens = split_words(part);
            if (tokens.empty()) continue;
            step made;
            made.text = trimmed(part);
            if (!parse_step(tokens, made)) {
                result.error = "line " + std::to_string(number) + ": cannot read step \"" + made.text + "\"";
                return result;
            }
            result.steps.push_back(made);
        }
    }
    return result;
}

}  // namespace refserver
