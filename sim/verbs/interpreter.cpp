// Looking verbs up in the table and running them under the board's lock.
#include "interpreter.h"

#include "control_protocol.h"
#include "verb_words.h"

#include <cstdio>
#include <fstream>

namespace boardsim {

namespace {

// One request per line; # starts a comment.
bool read_script(const std::string& path, std::vector<verb_words>& requests) {
    std::ifstream script(path);
    if (!script) return false;
    for (std::string line; std::getline(script, line);) {
        verb_words words = decode_words(line.substr(0, line.find('#')));
        if (!words.empty()) requests.push_back(words);
    }
    return true;
}

}  // namespace

bool verb_interpreter::execute(const verb_words& words, verb_reply& reply) {
    if (words.empty()) return fail(reply, "empty request");
    const verb_entry* entry = find_verb(words[0]);
    if (entry == nullptr) return fail(reply, "unknown request: " + words[0]);
    if (!entry->under_lock) return entry->handle(context_, words, reply);
    std::lock_guard guard(context_.board.lock());
    return entry->handle(context_, words, reply);
}

bool verb_interpreter::run_at_start(const std::vector<std::string>& verbs, const std::string& script,
                                    std::string& error) {
    std::vector<verb_words> requests;
    requests.reserve(verbs.size());
    for (const std::string& verb : verbs) requests.push_back(decode_words(verb));
    if (!script.empty() && !read_script(script, requests)) {
        error = "cannot read the script " + script;
        return false;
    }
    for (const verb_words& words : requests) {
        verb_reply reply;
        bool ok = execute(words, reply);
        for (const std::string& line : reply) std::fprintf(stderr, "boardsim: %s\n", line.c_str());
        if (!ok) {
            error = "start verb failed: " + encode_words(words);
            return false;
        }
    }
    return true;
}

}  // namespace boardsim
