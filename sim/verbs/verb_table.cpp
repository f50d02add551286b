// The control verbs: the one list of what they are called, how they are
// used, what they do and which handler does it.
#include "verb_table.h"

#include "handlers.h"

#include <array>
#include <sstream>

namespace boardsim {

namespace {

constexpr bool locked = true;
constexpr bool unlocked = false;

const std::array verbs{
    verb_entry{"set", "set diode|batt|module1|module2 VOLTS\nset adc CH RAW|auto",
               "a measurement in volts (battery on ADC 2 only while B.7 is driven high, module 1\n"
               "on ADC 1, module 2 on ADC 0); a channel's raw count fixed, or given back to the model",
               locked, set_verb},
    verb_entry{"aux", "aux on|off", "external power sense, port H bit 5", locked, aux_verb},
    verb_entry{"adc", "adc fail CH eio|short|off", "reads of the channel fail with EIO, return 2 bytes, or work again",
               locked, adc_verb},
    verb_entry{"device", "device porta..porth|adc0..adc4 missing|unopenable|present",
               "the file vanishes from /dev, refuses to open (EACCES), or is back", unlocked, device_verb},
    verb_entry{"pic",
               "pic version D\npic reply digit|silence|wrong|v-silence\n"
               "pic fault none|silent\npic fault stop N\npic fault stall N SECONDS\n"
               "pic channels N\npic seed N\npic attention-ends on|off",
               "the version answer; PIC faults (none, answering nothing, every stream ending after\n"
               "N bytes or pausing SECONDS at byte N); the stream's input channels, its content's\n"
               "seed, and whether PIC attention ends it",
               locked, pic_verb},
    verb_entry{"fixture", "fixture on|off\nfixture level LINE normal|wrong|limit\nfixture serial CH bit7|bit6|none",
               "the fixture's levels on ADC 0-3 and its serial answers on channels 0-2; a stimulus\n"
               "line's (LINE like B.7) level, the next level, or exactly its lower band limit; the\n"
               "answer to byte b: b with bit 7 or bit 6 inverted, or nothing",
               locked, fixture_verb},
    verb_entry{"channel", "channel CH pic|echo|none|fixture|unix PATH",
               "what sits behind a UART channel; unix listens on PATH for one test connection", locked,
               channel_verb},
    verb_entry{"shim", "shim serial WORDS...\nshim getserial\nshim setserial FLAGS [WORDS...]\nshim undo WORDS...",
               "from the preload shim: a tcsetattr on the UART (serial log), the serial flags\n"
               "the world keeps for it (a change of low latency goes to the lowlat log), and a\n"
               "process that gave back more locks than it took or ended holding one (locks log)",
               unlocked, shim_verb},
    verb_entry{"regs", "regs", "port registers and ADC counts", locked, regs_verb},
    verb_entry{"status", "status", "PIC, UART and channel state, and whether the fixture is on", locked,
               status_verb},
    verb_entry{"mark", "mark", "mark=N, the last log entry so far", unlocked, mark_verb},
    verb_entry{"log", "log KIND [WORD] [since N]",
               "entries of a log (lines, pic, serial, lowlat, uart, world; frames, packets and\n"
               "pulses pick those lines of pic), only those starting with WORD, after mark N",
               unlocked, log_verb},
    verb_entry{"stop", "stop [SIGNAL]", "signal every process of the world (the world ends with its command)", unlocked,
               stop_verb},
    verb_entry{"help", "help", "this list", unlocked, help_verb},
};

void add_lines(const char* text, const std::string& indent, std::vector<std::string>& lines) {
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(indent + line);
}

}  // namespace

std::span<const verb_entry> verb_table() { return verbs; }

const verb_entry* find_verb(const std::string& name) {
    for (const verb_entry& entry : verbs) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

std::vector<std::string> verb_help() {
    std::vector<std::string> lines{"control verbs (boardsim ctl VERB..., --do VERB, a line of --script FILE):"};
    for (const verb_entry& entry : verbs) {
        add_lines(entry.usage, "  ", lines);
        add_lines(entry.effect, "      ", lines);
    }
    return lines;
}

bool help_verb(verb_context&, const verb_words&, verb_reply& reply) {
    std::vector<std::string> lines = verb_help();
    reply.insert(reply.end(), lines.begin(), lines.end());
    return true;
}

}  // namespace boardsim
