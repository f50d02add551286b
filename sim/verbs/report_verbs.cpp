// Verbs that report: the registers, the models' state, and the log.
#include "handlers.h"
#include "verb_words.h"

#include <cstdio>

namespace boardsim {

namespace {

std::string hex8(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

const char* reply_name(version_reply reply) {
    switch (reply) {
    case version_reply::silence: return "silence";
    case version_reply::wrong_byte: return "wrong";
    case version_reply::v_then_silence: return "v-silence";
    default: return "digit";
    }
}

std::string pic_line(simulated_board& board) {
    pic_status status = board.pic().status();
    const pic_settings& settings = board.settings();
    char text[160];
    std::snprintf(text, sizeof text, "pic streaming=%d rate=%.3f stream=%llu sent=%llu attention=%d reply=%s digit=%c",
                  status.streaming ? 1 : 0, status.rate_hz, static_cast<unsigned long long>(status.stream_number),
                  static_cast<unsigned long long>(status.sent), status.attention ? 1 : 0,
                  reply_name(settings.reply), settings.version_digit);
    return text;
}

// Strips "since MARK" off the end; false on a bad mark.
bool take_since(verb_words& rest, std::uint64_t& since, verb_reply& reply) {
    if (rest.size() < 2 || rest[rest.size() - 2] != "since") return true;
    long long mark = 0;
    if (!parse_long(rest.back(), mark) || mark < 0) return fail(reply, "bad mark " + rest.back());
    since = static_cast<std::uint64_t>(mark);
    rest.resize(rest.size() - 2);
    return true;
}

}  // namespace

bool regs_verb(verb_context& context, const verb_words& words, verb_reply& reply) {
    if (words.size() != 1) return unknown_form(words, reply);
    const board_model& board = context.board.board();
    for (port_id port : all_ports) {
        const port_registers& regs = board.registers(port);
        reply.push_back(std::string("port=") + port_letter(port) + " data=" + hex8(regs.data) +
                        " dir=" + hex8(regs.direction) + " level=" + hex8(regs.level()));
    }
    for (unsigned channel = 0; channel < 5; ++channel) {
        char text[96];
        std::int32_t raw = board.adc_raw(channel);
        std::snprintf(text, sizeof text, "adc=%u raw=%d volts=%.6f", channel, raw, raw_to_volts(raw));
        reply.push_back(text);
    }
    return true;
}

bool status_verb(verb_context& context, const verb_words& words, verb_reply& reply) {
    if (words.size() != 1) return unknown_form(words, reply);
    const uart_switch& uart = context.board.uart();
    reply.push_back(pic_line(context.board));
    reply.push_back("uart selected=" + std::to_string(uart.selected()) + " unread=" + std::to_string(uart.unread()) +
                    " lowlat=" + ((uart.serial_flags() & 0x2000) ? "1" : "0"));
    for (unsigned channel = 0; channel < 4; ++channel) {
        reply.push_back("channel=" + std::to_string(channel) + " device=" + uart.describe(channel));
    }
    reply.push_back(std::string("fixture=") + (context.board.board().fixture() ? "1" : "0"));
    return true;
}

bool mark_verb(verb_context& context, const verb_words&, verb_reply& reply) {
    reply.push_back("mark=" + std::to_string(context.log.mark()));
    return true;
}

// log KIND [WORD] [since MARK]; frames, packets and pulses are PIC lines.
bool log_verb(verb_context& context, const verb_words& words, verb_reply& reply) {
    verb_words rest(words.begin() + 1, words.end());
    std::uint64_t since = 0;
    if (!take_since(rest, since, reply)) return false;
    if (rest.empty() || rest.size() > 2) return fail(reply, "usage: log KIND [WORD] [since MARK]");
    std::string kind = rest[0];
    std::string word = rest.size() == 2 ? rest[1] : "";
    if (kind == "frames" || kind == "packets" || kind == "pulses") {
        word = kind.substr(0, kind.size() - 1);
        kind = "pic";
    }
    for (const log_entry& entry : context.log.read(kind, word, since)) reply.push_back(event_log::format(entry));
    return true;
}

}  // namespace boardsim
