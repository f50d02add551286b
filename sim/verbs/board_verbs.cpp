// Verbs that set the board's measurements and ADC faults.
#include "handlers.h"
#include "verb_words.h"

namespace boardsim {

namespace {

bool set_volts(board_model& board, const verb_words& words, verb_reply& reply) {
    double volts = 0;
    if (!parse_double(words[2], volts)) return fail(reply, "not a voltage: " + words[2]);
    if (words[1] == "diode") board.set_diode(volts);
    else if (words[1] == "batt") board.set_battery(volts);
    else if (words[1] == "module1") board.set_module1(volts);
    else if (words[1] == "module2") board.set_module2(volts);
    else return fail(reply, "usage: set diode|batt|module1|module2 VOLTS");
    return true;
}

bool set_adc(board_model& board, const verb_words& words, verb_reply& reply) {
    unsigned channel = 0;
    long long raw = 0;
    if (!parse_channel(words[2], 5, channel)) return fail(reply, "no ADC channel " + words[2]);
    if (words[3] == "auto") board.set_raw(channel, std::nullopt);
    else if (parse_long(words[3], raw)) board.set_raw(channel, static_cast<std::int32_t>(raw));
    else return fail(reply, "usage: set adc CH RAW|auto");
    return true;
}

}  // namespace

bool set_verb(verb_context& context, const verb_words& words, verb_reply& reply) {
    if (words.size() == 3) return set_volts(context.board.board(), words, reply);
    if (words.size() == 4 && words[1] == "adc") return set_adc(context.board.board(), words, reply);
    return unknown_form(words, reply);
}

bool aux_verb(verb_context& context, const verb_words& words, verb_reply& reply) {
    if (words.size() != 2 || (words[1] != "on" && words[1] != "off")) return unknown_form(words, reply);
    context.board.board().set_aux_power(words[1] == "on");
    return true;
}

bool adc_verb(verb_context& context, const verb_words& words, verb_reply& reply) {
    if (words.size() != 4 || words[1] != "fail") return unknown_form(words, reply);
    unsigned channel = 0;
    if (!parse_channel(words[2], 5, channel)) return fail(reply, "no ADC channel " + words[2]);
    board_model& board = context.board.board();
    if (words[3] == "eio") board.set_adc_fault(channel, adc_fault::eio);
    else if (words[3] == "short") board.set_adc_fault(channel, adc_fault::short_read);
    else if (words[3] == "off") board.set_adc_fault(channel, adc_fault::none);
    else return fail(reply, "usage: adc fail CH eio|short|off");
    return true;
}

}  // namespace boardsim
