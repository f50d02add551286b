// Verbs on the world itself: its /dev entries and its processes.
#include "handlers.h"
#include "verb_words.h"

#include <signal.h>

namespace boardsim {

namespace {

bool state_of(const std::string& word, device_state& state) {
    if (word == "missing") state = device_state::missing;
    else if (word == "unopenable") state = device_state::unopenable;
    else if (word == "present") state = device_state::present;
    else return false;
    return true;
}

}  // namespace

// The model changes under the lock, the mounts after it (see device_binder).
bool device_verb(verb_context& context, const verb_words& words, verb_reply& reply) {
    if (words.size() != 3 || !board_model::is_device(words[1])) {
        return fail(reply, "usage: device porta..porth|adc0..adc4 missing|unopenable|present");
    }
    device_state state = device_state::present;
    if (!state_of(words[2], state)) return fail(reply, "no device state " + words[2]);
    device_state before;
    {
        std::lock_guard guard(context.board.lock());
        before = context.board.board().device(words[1]);
        context.board.board().set_device(words[1], state);
    }
    context.log.add("world", "device " + words[1] + " " + words[2]);
    bool was_bound = before != device_state::missing;
    bool bound = state != device_state::missing;
    if (was_bound && !bound) context.devices.unbind(words[1]);
    if (!was_bound && bound && !context.devices.bind(words[1])) return fail(reply, "cannot bind /dev/" + words[1]);
    return true;
}

// Every process of the world but its init.
bool stop_verb(verb_context&, const verb_words& words, verb_reply& reply) {
    long long signal_number = SIGTERM;
    if (words.size() > 1 && !parse_long(words[1], signal_number)) return fail(reply, "usage: stop [SIGNAL]");
    kill(-1, static_cast<int>(signal_number));
    return true;
}

}  // namespace boardsim
