// The verbs' handlers, named in the verb table.
#pragma once

#include "verb_table.h"

namespace boardsim {

// The board's measurements and ADC faults.
bool set_verb(verb_context& context, const verb_words& words, verb_reply& reply);
bool aux_verb(verb_context& context, const verb_words& words, verb_reply& reply);
bool adc_verb(verb_context& context, const verb_words& words, verb_reply& reply);

// The PIC's answers, faults and stream settings.
bool pic_verb(verb_context& context, const verb_words& words, verb_reply& reply);

// What sits on the UART's channels, and what the preload shim reports.
bool fixture_verb(verb_context& context, const verb_words& words, verb_reply& reply);
bool channel_verb(verb_context& context, const verb_words& words, verb_reply& reply);
bool shim_verb(verb_context& context, const verb_words& words, verb_reply& reply);

// Reports of the models and the log.
bool regs_verb(verb_context& context, const verb_words& words, verb_reply& reply);
bool status_verb(verb_context& context, const verb_words& words, verb_reply& reply);
bool mark_verb(verb_context& context, const verb_words& words, verb_reply& reply);
bool log_verb(verb_context& context, const verb_words& words, verb_reply& reply);

// The world's /dev entries and processes.
bool device_verb(verb_context& context, const verb_words& words, verb_reply& reply);
bool stop_verb(verb_context& context, const verb_words& words, verb_reply& reply);

bool help_verb(verb_context& context, const verb_words& words, verb_reply& reply);

}  // namespace boardsim
