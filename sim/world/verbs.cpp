// The control verbs, shared by the control socket, --do and --script.
#include "world.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace boardsim {

namespace {

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

bool fail(std::vector<std::string>& reply, const std::string& reason) {
    reply.push_back("error: " + reason);
    return false;
}

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

}  // namespace

bool world::execute(const std::vector<std::string>& words, std::vector<std::string>& reply) {
    if (words.empty()) return fail(reply, "empty request");
    if (words[0] == "device") return execute_device(words, reply);
    if (words[0] == "shim") return execute_shim(words, reply);
    if (words[0] == "log") return execute_log(words, reply);
    if (words[0] == "mark") {
        reply.push_back("mark=" + std::to_string(log_.mark()));
        return true;
    }
    if (words[0] == "stop") {
        long long signal_number = SIGTERM;
        if (words.size() > 1 && !parse_long(words[1], signal_number)) return fail(reply, "usage: stop [SIGNAL]");
        kill(-1, static_cast<int>(signal_number));  // every process of the world but its init
        return true;
    }
    std::lock_guard guard(lock_);
    return execute_locked(words, reply);
}

bool world::execute_locked(const std::vector<std::string>& words, std::vector<std::string>& reply) {
    const std::string& verb = words[0];
    if (verb == "set" && words.size() == 3) {
        double volts = 0;
        if (!parse_double(words[2], volts)) return fail(reply, "not a voltage: " + words[2]);
        if (words[1] == "diode") board_.set_diode(volts);
        else if (words[1] == "batt") board_.set_battery(volts);
        else if (words[1] == "module1") board_.set_module1(volts);
        else if (words[1] == "module2") board_.set_module2(volts);
        else return fail(reply, "usage: set diode|batt|module1|module2 VOLTS");
        return true;
    }
    if (verb == "set" && words.size() == 4 && words[1] == "adc") {
        unsigned channel = 0;
        long long raw = 0;
        if (!parse_channel(words[2], 5, channel)) return fail(reply, "no ADC channel " + words[2]);
        if (words[3] == "auto") board_.set_raw(channel, std::nullopt);
        else if (parse_long(words[3], raw)) board_.set_raw(channel, static_cast<std::int32_t>(raw));
        else return fail(reply, "usage: set adc CH RAW|auto");
        return true;
    }
    if (verb == "aux" && words.size() == 2 && (words[1] == "on" || words[1] == "off")) {
        board_.set_aux_power(words[1] == "on");
        return true;
    }
    if (verb == "adc" && words.size() == 4 && words[1] == "fail") {
        unsigned channel = 0;
        if (!parse_channel(words[2], 5, channel)) return fail(reply, "no ADC channel " + words[2]);
        if (words[3] == "eio") board_.set_adc_fault(channel, adc_fault::eio);
        else if (words[3] == "short") board_.set_adc_fault(channel, adc_fault::short_read);
        else if (words[3] == "off") board_.set_adc_fault(channel, adc_fault::none);
        else return fail(reply, "usage: adc fail CH eio|short|off");
        return true;
    }
    if (verb == "pic") return execute_pic(words, reply);
    if (verb == "fixture") return execute_fixture(words, reply);
    if (verb == "channel") return execute_channel(words, reply);
    if (verb == "regs" && words.size() == 1) {
        report_registers(reply);
        return true;
    }
    if (verb == "status" && words.size() == 1) {
        report_status(reply);
        return true;
    }
    return fail(reply, "unknown request: " + verb);
}

// Mounts are changed without the lock: binding a file looks it up in the
// device filesystem, whose handlers take the lock.
bool world::execute_device(const std::vector<std::string>& words, std::vector<std::string>& reply) {
    if (words.size() != 3 || !board_model::is_device(words[1])) {
        return fail(reply, "usage: device porta..porth|adc0..adc4 missing|unopenable|present");
    }
    device_state state = device_state::present;
    if (words[2] == "missing") state = device_state::missing;
    else if (words[2] == "unopenable") state = device_state::unopenable;
    else if (words[2] != "present") return fail(reply, "no device state " + words[2]);
    device_state before;
    {
        std::lock_guard guard(lock_);
        before = board_.device(words[1]);
        board_.set_device(words[1], state);
    }
    log_.add("world", "device " + words[1] + " " + words[2]);
    if (state == device_state::missing && before != device_state::missing) unbind_device(words[1]);
    if (state != device_state::missing && before == device_state::missing && !bind_device(words[1])) {
        return fail(reply, "cannot bind /dev/" + words[1]);
    }
    return true;
}

bool world::execute_pic(const std::vector<std::string>& words, std::vector<std::string>& reply) {
    const std::string sub = words.size() > 1 ? words[1] : "";
    long long number = 0;
    double seconds = 0;
    if (sub == "reply" && words.size() == 3) {
        if (words[2] == "digit") pic_settings_.reply = version_reply::digit;
        else if (words[2] == "silence") pic_settings_.reply = version_reply::silence;
        else if (words[2] == "wrong") pic_settings_.reply = version_reply::wrong_byte;
        else if (words[2] == "v-silence") pic_settings_.reply = version_reply::v_then_silence;
        else return fail(reply, "usage: pic reply digit|silence|wrong|v-silence");
    } else if (sub == "version" && words.size() == 3 && words[2].size() == 1) {
        pic_settings_.version_digit = words[2][0];
        pic_settings_.reply = version_reply::digit;
    } else if (sub == "fault" && words.size() == 3 && words[2] == "none") {
        pic_settings_.faults = pic_faults{};
    } else if (sub == "fault" && words.size() == 3 && words[2] == "silent") {
        pic_settings_.faults.silent = true;
    } else if (sub == "fault" && words.size() == 4 && words[2] == "stop" && parse_long(words[3], number) && number >= 0) {
        pic_settings_.faults.stop_after = static_cast<std::uint64_t>(number);
    } else if (sub == "fault" && words.size() == 5 && words[2] == "stall" && parse_long(words[3], number) &&
               number >= 0 && parse_double(words[4], seconds)) {
        pic_settings_.faults.stall_at = static_cast<std::uint64_t>(number);
        pic_settings_.faults.stall_seconds = seconds;
    } else if (sub == "channels" && words.size() == 3 && parse_long(words[2], number) && number > 0 && number <= 64) {
        pic_settings_.in_channels = static_cast<unsigned>(number);
    } else if (sub == "seed" && words.size() == 3 && parse_long(words[2], number)) {
        pic_settings_.seed = static_cast<std::uint64_t>(number);
    } else if (sub == "attention-ends" && words.size() == 3 && (words[2] == "on" || words[2] == "off")) {
        pic_settings_.attention_ends_stream = words[2] == "on";
    } else {
        return fail(reply, "usage: pic reply|version|fault|channels|seed|attention-ends ...");
    }
    pic_.configure(pic_settings_);
    return true;
}

bool world::execute_fixture(const std::vector<std::string>& words, std::vector<std::string>& reply) {
    if (words.size() == 2 && (words[1] == "on" || words[1] == "off")) {
        bool on = words[1] == "on";
        board_.set_fixture(on);
        uart_.attach(0, on ? make_answer_device(answer_kind::bit7) : make_pic_device(pic_, [this] { return host_unread(); }));
        for (unsigned channel = 1; channel < 3; ++channel) {
            uart_.attach(channel, on ? make_answer_device(answer_kind::bit7) : make_silent_device());
        }
        return true;
    }
    if (words.size() == 4 && words[1] == "level") {
        fixture_variant variant = fixture_variant::normal;
        if (words[3] == "wrong") variant = fixture_variant::wrong;
        else if (words[3] == "limit") variant = fixture_variant::limit;
        else if (words[3] != "normal") return fail(reply, "usage: fixture level LINE normal|wrong|limit");
        if (!board_.set_fixture_variant(words[2], variant)) return fail(reply, "no stimulus line " + words[2]);
        return true;
    }
    if (words.size() == 4 && words[1] == "serial") {
        unsigned channel = 0;
        if (!parse_channel(words[2], 3, channel)) return fail(reply, "the fixture answers on channels 0 to 2");
        if (words[3] == "bit7") uart_.attach(channel, make_answer_device(answer_kind::bit7));
        else if (words[3] == "bit6") uart_.attach(channel, make_answer_device(answer_kind::bit6));
        else if (words[3] == "none") uart_.attach(channel, make_answer_device(answer_kind::none));
        else return fail(reply, "usage: fixture serial CH bit7|bit6|none");
        return true;
    }
    return fail(reply, "usage: fixture on|off | level LINE normal|wrong|limit | serial CH bit7|bit6|none");
}

bool world::execute_channel(const std::vector<std::string>& words, std::vector<std::string>& reply) {
    unsigned channel = 0;
    if (words.size() < 3 || !parse_channel(words[1], 4, channel)) {
        return fail(reply, "usage: channel CH pic|echo|none|fixture|unix PATH");
    }
    const std::string& kind = words[2];
    if (kind == "unix" && words.size() == 4) {
        std::string error;
        std::unique_ptr<channel_device> device = make_socket_device(words[3], error);
        if (!device) return fail(reply, error);
        uart_.attach(channel, std::move(device));
    } else if (words.size() != 3) {
        return fail(reply, "usage: channel CH pic|echo|none|fixture|unix PATH");
    } else if (kind == "pic") {
        uart_.attach(channel, make_pic_device(pic_, [this] { return host_unread(); }));
    } else if (kind == "echo") {
        uart_.attach(channel, make_answer_device(answer_kind::echo));
    } else if (kind == "fixture") {
        uart_.attach(channel, make_answer_device(answer_kind::bit7));
    } else if (kind == "none") {
        uart_.attach(channel, make_silent_device());
    } else {
        return fail(reply, "no channel device " + kind);
    }
    return true;
}

// log KIND [WORD] [since MARK]; frames, packets and pulses are PIC lines.
bool world::execute_log(const std::vector<std::string>& words, std::vector<std::string>& reply) {
    std::vector<std::string> rest(words.begin() + 1, words.end());
    std::uint64_t since = 0;
    if (rest.size() >= 2 && rest[rest.size() - 2] == "since") {
        long long mark = 0;
        if (!parse_long(rest.back(), mark) || mark < 0) return fail(reply, "bad mark " + rest.back());
        since = static_cast<std::uint64_t>(mark);
        rest.resize(rest.size() - 2);
    }
    if (rest.empty() || rest.size() > 2) return fail(reply, "usage: log KIND [WORD] [since MARK]");
    std::string kind = rest[0];
    std::string word = rest.size() == 2 ? rest[1] : "";
    if (kind == "frames" || kind == "packets" || kind == "pulses") {
        word = kind.substr(0, kind.size() - 1);
        kind = "pic";
    }
    for (const log_entry& entry : log_.read(kind, word, since)) reply.push_back(event_log::format(entry));
    return true;
}

// What the preload shim reports from inside processes of the world.
bool world::execute_shim(const std::vector<std::string>& words, std::vector<std::string>& reply) {
    if (words.size() >= 2 && words[1] == "serial") {
        std::string text = "serial";
        for (std::size_t i = 2; i < words.size(); ++i) text += " " + words[i];
        log_.add("serial", text);
        return true;
    }
    std::lock_guard guard(lock_);
    if (words.size() == 2 && words[1] == "getserial") {
        reply.push_back("flags=" + std::to_string(uart_.serial_flags()));
        return true;
    }
    long long flags = 0;
    if (words.size() >= 3 && words[1] == "setserial" && parse_long(words[2], flags)) {
        constexpr std::uint32_t low_latency = 0x2000;
        bool before = uart_.serial_flags() & low_latency;
        bool after = static_cast<std::uint32_t>(flags) & low_latency;
        uart_.set_serial_flags(static_cast<std::uint32_t>(flags));
        std::string text = std::string("lowlat on=") + (after ? "1" : "0") + " changed=" + (before != after ? "1" : "0");
        for (std::size_t i = 3; i < words.size(); ++i) text += " " + words[i];
        log_.add("lowlat", text);
        return true;
    }
    return fail(reply, "usage: shim serial ...|getserial|setserial FLAGS");
}

void world::report_registers(std::vector<std::string>& reply) const {
    for (port_id port : all_ports) {
        const port_registers& regs = board_.registers(port);
        reply.push_back(std::string("port=") + port_letter(port) + " data=" + hex8(regs.data) +
                        " dir=" + hex8(regs.direction) + " level=" + hex8(regs.level()));
    }
    for (unsigned channel = 0; channel < 5; ++channel) {
        char text[96];
        std::int32_t raw = board_.adc_raw(channel);
        std::snprintf(text, sizeof text, "adc=%u raw=%d volts=%.6f", channel, raw, raw_to_volts(raw));
        reply.push_back(text);
    }
}

void world::report_status(std::vector<std::string>& reply) const {
    pic_status status = pic_.status();
    char text[160];
    std::snprintf(text, sizeof text, "pic streaming=%d rate=%.3f stream=%llu sent=%llu attention=%d reply=%s digit=%c",
                  status.streaming ? 1 : 0, status.rate_hz, static_cast<unsigned long long>(status.stream_number),
                  static_cast<unsigned long long>(status.sent), status.attention ? 1 : 0,
                  reply_name(pic_settings_.reply), pic_settings_.version_digit);
    reply.push_back(text);
    reply.push_back("uart selected=" + std::to_string(uart_.selected()) + " unread=" + std::to_string(uart_.unread()) +
                    " lowlat=" + ((uart_.serial_flags() & 0x2000) ? "1" : "0"));
    for (unsigned channel = 0; channel < 4; ++channel) {
        reply.push_back("channel=" + std::to_string(channel) + " device=" + uart_.describe(channel));
    }
    reply.push_back(std::string("fixture=") + (board_.fixture() ? "1" : "0"));
}

}  // namespace boardsim
