// Verbs for what sits on the UART's channels, and what the preload shim
// reports of the line's settings.
#include "handlers.h"
#include "verb_words.h"

#include <cstdio>
#include <memory>

namespace boardsim {

namespace {

constexpr std::uint32_t low_latency = 0x2000;

void set_fixture(simulated_board& board, bool on) {
    board.board().set_fixture(on);
    board.uart().attach(0, on ? make_answer_device(answer_kind::bit7) : board.pic_device());
    for (unsigned channel = 1; channel < 3; ++channel) {
        board.uart().attach(channel, on ? make_answer_device(answer_kind::bit7) : make_silent_device());
    }
}

bool set_level(board_model& board, const verb_words& words, verb_reply& reply) {
    fixture_variant variant = fixture_variant::normal;
    if (words[3] == "wrong") variant = fixture_variant::wrong;
    else if (words[3] == "limit") variant = fixture_variant::limit;
    else if (words[3] != "normal") return fail(reply, "usage: fixture level LINE normal|wrong|limit");
    if (!board.set_fixture_variant(words[2], variant)) return fail(reply, "no stimulus line " + words[2]);
    return true;
}

bool set_answer(uart_switch& uart, const verb_words& words, verb_reply& reply) {
    unsigned channel = 0;
    if (!parse_channel(words[2], 3, channel)) return fail(reply, "the fixture answers on channels 0 to 2");
    if (words[3] == "bit7") uart.attach(channel, make_answer_device(answer_kind::bit7));
    else if (words[3] == "bit6") uart.attach(channel, make_answer_device(answer_kind::bit6));
    else if (words[3] == "none") uart.attach(channel, make_answer_device(answer_kind::none));
    else return fail(reply, "usage: fixture serial CH bit7|bit6|none");
    return true;
}

// The device for a channel kind, or null when there is none of that kind.
std::unique_ptr<channel_device> device_of(simulated_board& board, const std::string& kind) {
    if (kind == "pic") return board.pic_device();
    if (kind == "echo") return make_answer_device(answer_kind::echo);
    if (kind == "fixture") return make_answer_device(answer_kind::bit7);
    if (kind == "none") return make_silent_device();
    return nullptr;
}

std::string joined(const std::string& first, const verb_words& words, std::size_t from) {
    std::string text = first;
    for (std::size_t i = from; i < words.size(); ++i) text += " " + words[i];
    return text;
}

bool set_serial(verb_context& context, const verb_words& words, verb_reply& reply) {
    long long flags = 0;
    if (words.size() < 3 || !parse_long(words[2], flags)) {
        return fail(reply, "usage: shim serial ...|getserial|setserial FLAGS");
    }
    uart_switch& uart = context.board.uart();
    bool before = uart.serial_flags() & low_latency;
    bool after = static_cast<std::uint32_t>(flags) & low_latency;
    uart.set_serial_flags(static_cast<std::uint32_t>(flags));
    std::string text = std::string("lowlat on=") + (after ? "1" : "0") + " changed=" + (before != after ? "1" : "0");
    context.log.add("lowlat", joined(text, words, 3));
    return true;
}

}  // namespace

bool fixture_verb(verb_context& context, const verb_words& words, verb_reply& reply) {
    if (words.size() == 2 && (words[1] == "on" || words[1] == "off")) {
        set_fixture(context.board, words[1] == "on");
        return true;
    }
    if (words.size() == 4 && words[1] == "level") return set_level(context.board.board(), words, reply);
    if (words.size() == 4 && words[1] == "serial") return set_answer(context.board.uart(), words, reply);
    return fail(reply, "usage: fixture on|off | level LINE normal|wrong|limit | serial CH bit7|bit6|none");
}

bool channel_verb(verb_context& context, const verb_words& words, verb_reply& reply) {
    unsigned channel = 0;
    bool socket = words.size() == 4 && words[2] == "unix";
    if (words.size() < 3 || !parse_channel(words[1], 4, channel) || (words.size() != 3 && !socket)) {
        return fail(reply, "usage: channel CH pic|echo|none|fixture|unix PATH");
    }
    std::string error = "no channel device " + words[2];
    std::unique_ptr<channel_device> device =
        socket ? make_socket_device(words[3], error) : device_of(context.board, words[2]);
    if (!device) return fail(reply, error);
    context.board.uart().attach(channel, std::move(device));
    return true;
}

// A tcsetattr is only logged; the flags are the UART's, under the lock.
bool shim_verb(verb_context& context, const verb_words& words, verb_reply& reply) {
    if (words.size() >= 2 && words[1] == "serial") {
        context.log.add("serial", joined("serial", words, 2));
        return true;
    }
    if (words.size() >= 2 && words[1] == "undo") {
        std::string text = joined("undo", words, 2);
        context.log.add("locks", text);
        std::fprintf(stderr, "boardsim: lock balance broken: %s\n", text.c_str());
        return true;
    }
    std::lock_guard guard(context.board.lock());
    if (words.size() == 2 && words[1] == "getserial") {
        reply.push_back("flags=" + std::to_string(context.board.uart().serial_flags()));
        return true;
    }
    if (words.size() >= 2 && words[1] == "setserial") return set_serial(context, words, reply);
    return fail(reply, "usage: shim serial ...|getserial|setserial FLAGS|undo ...");
}

}  // namespace boardsim
