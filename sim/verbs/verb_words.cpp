// Parsing of verb words and the shared error replies.
#include "verb_words.h"

#include <cerrno>
#include <cstdlib>

namespace boardsim {

bool parse_double(const std::string& text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && errno == 0;
}

bool parse_long(const std::string& text, long long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 0);
    return !text.empty() && *end == '\0' && errno == 0;
}

bool parse_channel(const std::string& text, unsigned limit, unsigned& channel) {
    long long value = 0;
    if (!parse_long(text, value) || value < 0 || value >= limit) return false;
    channel = static_cast<unsigned>(value);
    return true;
}

bool fail(verb_reply& reply, const std::string& reason) {
    reply.push_back("error: " + reason);
    return false;
}

bool unknown_form(const verb_words& words, verb_reply& reply) { return fail(reply, "unknown request: " + words[0]); }

}  // namespace boardsim
