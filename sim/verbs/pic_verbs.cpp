// The pic verb: the PIC's version answer, its faults and its stream settings.
#include "handlers.h"
#include "verb_words.h"

namespace boardsim {

namespace {

bool set_reply(pic_settings& settings, const std::string& word) {
    if (word == "digit") settings.reply = version_reply::digit;
    else if (word == "silence") settings.reply = version_reply::silence;
    else if (word == "wrong") settings.reply = version_reply::wrong_byte;
    else if (word == "v-silence") settings.reply = version_reply::v_then_silence;
    else return false;
    return true;
}

bool set_fault(pic_faults& faults, const verb_words& words) {
    long long number = 0;
    double seconds = 0;
    if (words.size() == 3 && words[2] == "none") {
        faults = pic_faults{};
    } else if (words.size() == 3 && words[2] == "silent") {
        faults.silent = true;
    } else if (words.size() == 4 && words[2] == "stop" && parse_long(words[3], number) && number >= 0) {
        faults.stop_after = static_cast<std::uint64_t>(number);
    } else if (words.size() == 5 && words[2] == "stall" && parse_long(words[3], number) && number >= 0 &&
             parse_double(words[4], seconds)) {
        faults.stall_at = static_cast<std::uint64_t>(number);
        faults.stall_seconds = seconds;
    } else {
        return false;
    }
    return true;
}

bool set_stream(pic_settings& settings, const std::string& setting, const std::string& value) {
    long long number = 0;
    if (setting == "channels" && parse_long(value, number) && number > 0 && number <= 64) {
        settings.in_channels = static_cast<unsigned>(number);
    } else if (setting == "seed" && parse_long(value, number)) {
        settings.seed = static_cast<std::uint64_t>(number);
    } else if (setting == "attention-ends" && (value == "on" || value == "off")) {
        settings.attention_ends_stream = value == "on";
    } else {
        return false;
    }
    return true;
}

bool set_version(pic_settings& settings, const std::string& digit) {
    if (digit.size() != 1) return false;
    settings.version_digit = digit[0];
    settings.reply = version_reply::digit;
    return true;
}

// Every form but reply, which has a usage of its own.
bool change(pic_settings& settings, const verb_words& words) {
    const std::string sub = words.size() > 1 ? words[1] : "";
    if (sub == "fault") return set_fault(settings.faults, words);
    if (words.size() != 3 || sub == "reply") return false;
    if (sub == "version") return set_version(settings, words[2]);
    return set_stream(settings, sub, words[2]);
}

}  // namespace

bool pic_verb(verb_context& context, const verb_words& words, verb_reply& reply) {
    pic_settings& settings = context.board.settings();
    if (words.size() == 3 && words[1] == "reply") {
        if (!set_reply(settings, words[2])) return fail(reply, "usage: pic reply digit|silence|wrong|v-silence");
    } else if (!change(settings, words)) {
        return fail(reply, "usage: pic reply|version|fault|channels|seed|attention-ends ...");
    }
    context.board.pic().configure(settings);
    return true;
}

}  // namespace boardsim
