#include "script.h"

#include "random_steps.h"

#include <array>
#include <cstdlib>
#include <sstream>

namespace refserver {

namespace {

using words = step_words;

bool parse_count(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

bool parse_seconds(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0;
}

bool parse_byte(const std::string& text, std::uint64_t limit, std::uint8_t& value) {
    std::uint64_t number = 0;
    if (!parse_count(text, number) || number > limit) return false;
    value = static_cast<std::uint8_t>(number);
    return true;
}

// Hex bytes, as separate words ("01 02") or run together ("0102").
bool parse_hex(const words& tokens, std::size_t first, std::vector<std::uint8_t>& out) {
    for (std::size_t i = first; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        if (token.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
        if (token.size() <= 2) {
            out.push_back(static_cast<std::uint8_t>(std::strtoul(token.c_str(), nullptr, 16)));
            continue;
        }
        if (token.size() % 2 != 0) return false;
        for (std::size_t at = 0; at < token.size(); at += 2) {
            out.push_back(static_cast<std::uint8_t>(std::strtoul(token.substr(at, 2).c_str(), nullptr, 16)));
        }
    }
    return !out.empty();
}

// "within S" (or "every S") at tokens[at], if present.
bool optional_seconds(const words& tokens, std::size_t at, const char* keyword, double& value) {
    if (tokens.size() == at) return true;
    return tokens.size() == at + 2 && tokens[at] == keyword && parse_seconds(tokens[at + 1], value);
}

bool parse_device_command(const words& tokens, step& made) {
    std::uint8_t channel = 0, address = 0, code = 0, mode = 0;
    bool route = false;
    if (tokens.size() < 4 || !parse_byte(tokens[1], 255, channel) || !parse_byte(tokens[2], 255, address) ||
        !parse_byte(tokens[3], 255, code)) {
        return false;
    }
    for (std::size_t i = 4; i < tokens.size(); ++i) {
        if (tokens[i] == "route") {
            route = true;
        } else if (tokens[i] == "mode" && i + 1 < tokens.size() && parse_byte(tokens[i + 1], 3, mode)) {
            ++i;
        } else {
            return false;
        }
    }
    made.bytes = {static_cast<std::uint8_t>(mode | (route ? 4 : 0)), channel, address, code};
    return true;
}

bool parse_mode(const words& tokens, step& made) {
    std::uint8_t mode = 0, channel = 0;
    if (tokens.size() < 3 || tokens.size() > 4 || !parse_byte(tokens[1], 3, mode) ||
        !parse_byte(tokens[2], 255, channel)) {
        return false;
    }
    bool route = tokens.size() == 4;
    if (route && tokens[3] != "route") return false;
    made.bytes = {static_cast<std::uint8_t>(mode | (route ? 4 : 0)), channel, 0, 0};
    return true;
}

double default_bound(std::uint64_t packets) { return 5.0 + 3.0 * static_cast<double>(packets); }

bool parse_expect(const words& tokens, step& made) {
    if (tokens.size() < 2) return false;
    const std::string& what = tokens[1];
    if (what == "data" || what == "ack") {
        made.kind = what == "data" ? step_kind::expect_data : step_kind::expect_ack;
        if (tokens.size() < 3 || !parse_count(tokens[2], made.packets) || made.packets == 0) return false;
        made.seconds = default_bound(made.packets);
        return optional_seconds(tokens, 3, "within", made.seconds);
    }
    if (what == "quiet") {
        made.kind = step_kind::expect_quiet;
        return tokens.size() == 3 && parse_seconds(tokens[2], made.seconds);
    }
    made.seconds = 30;
    if (what == "closed") {
        made.kind = step_kind::expect_closed;
        return optional_seconds(tokens, 2, "within", made.seconds);
    }
    if (what == "connect") {
        made.kind = step_kind::accept;
        return optional_seconds(tokens, 2, "within", made.seconds);
    }
    return false;
}

bool parse_request(const words& tokens, step& made) {
    made.kind = step_kind::request;
    made.requests = 1;
    if (tokens.size() >= 2 && !parse_count(tokens[1], made.requests)) return false;
    return optional_seconds(tokens, tokens.size() >= 2 ? 2 : 1, "every", made.interval);
}

bool parse_continuous(const words& tokens, step& made) {
    made.kind = step_kind::continuous;
    if (tokens.size() < 2) return false;
    if (tokens[1] != "forever" && (!parse_count(tokens[1], made.packets) || made.packets == 0)) return false;
    made.seconds = made.packets == 0 ? 0 : default_bound(made.packets);
    return optional_seconds(tokens, 2, "within", made.seconds);
}

bool parse_accept(const words& tokens, step& made) {
    made.kind = step_kind::accept;
    made.seconds = 30;
    return optional_seconds(tokens, 1, "within", made.seconds);
}

// A step of one word that only sets its kind.
template <step_kind kind>
bool parse_bare(const words& tokens, step& made) {
    made.kind = kind;
    return tokens.size() == 1;
}

bool parse_disconnect(const words& tokens, step& made) {
    made.kind = step_kind::disconnect;
    made.abrupt = tokens.size() == 2 && tokens[1] == "abrupt";
    return tokens.size() == 1 || made.abrupt;
}

bool parse_slowread(const words& tokens, step& made) {
    made.kind = step_kind::slowread;
    return tokens.size() == 2 && parse_seconds(tokens[1], made.rate);
}

bool parse_cut(const words& tokens, step& made) {
    made.kind = step_kind::cut;
    words rest(tokens.begin() + 1, tokens.end());
    made.optional = !rest.empty() && rest.back() == "maybe";
    if (made.optional) rest.pop_back();
    return rest.empty() || (rest.size() == 1 && parse_count(rest[0], made.cut_after_bytes) && made.cut_after_bytes > 0);
}

bool parse_wait(const words& tokens, step& made) {
    made.kind = step_kind::wait;
    return tokens.size() == 2 && parse_seconds(tokens[1], made.seconds);
}

// pause, resume, reset and scan: the word their name stands for.
bool parse_control_word(const words& tokens, step& made) {
    static const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> control{
        {"pause", {0xFF, 0, 0, 0}}, {"resume", {0xFF, 0xFF, 0xFF, 0xFF}}, {"reset", {0, 0, 0, 0}}, {"scan", {0, 0, 0, 1}}};
    made.kind = step_kind::send;
    for (const auto& [name, word] : control) {
        if (tokens[0] == name) made.bytes = word;
    }
    return tokens.size() == 1 && !made.bytes.empty();
}

bool parse_mode_step(const words& tokens, step& made) {
    made.kind = step_kind::send;
    return parse_mode(tokens, made);
}

bool parse_command(const words& tokens, step& made) {
    made.kind = step_kind::send;
    return parse_device_command(tokens, made);
}

bool parse_word(const words& tokens, step& made) {
    made.kind = step_kind::send;
    return parse_hex(tokens, 1, made.bytes) && made.bytes.size() == 4;
}

bool parse_request_word(const words& tokens, step& made) {
    made.kind = step_kind::request_word;
    return parse_hex(tokens, 1, made.bytes) && made.bytes.size() == 4;
}

bool parse_raw(const words& tokens, step& made) {
    made.kind = step_kind::send;
    return parse_hex(tokens, 1, made.bytes);
}

const std::array steps{
    step_entry{"accept", "accept [within S]", "a connection must come (30 s); also \"expect connect\"", parse_accept},
    step_entry{"request", "request [N] [every S]", "N plain request words (1), S seconds apart (0)", parse_request},
    step_entry{"continuous", "continuous N [within S]\ncontinuous forever",
               "one request outstanding: a new word after every data packet and on every new\n"
               "connection, until N data packets came (bound 5 + 3N s), or until the run is\n"
               "stopped (SIGINT, SIGTERM)",
               parse_continuous},
    step_entry{"pause", "pause", "control word FF000000", parse_control_word},
    step_entry{"resume", "resume", "control word FFFFFFFF", parse_control_word},
    step_entry{"reset", "reset", "control word 00000000", parse_control_word},
    step_entry{"scan", "scan", "scan mode on: 00000001", parse_control_word},
    step_entry{"mode", "mode M CH [route]", "mode word: M (+4 with route), CH, 0, 0", parse_mode_step},
    step_entry{"command", "command CH ADDR CODE [mode M] [route]", "a command for device ADDR on channel CH",
               parse_command},
    step_entry{"word", "word B0 B1 B2 B3", "any command word", parse_word},
    step_entry{"requestword", "requestword B0 B1 B2 B3", "the word every later request sends (00 00 01 00 at first)",
               parse_request_word},
    step_entry{"raw", "raw HEX...", "any bytes (half a word, garbage)", parse_raw},
    step_entry{"wait", "wait S", "keep receiving for S seconds", parse_wait},
    step_entry{"hold", "hold", "stop reading the connection", parse_bare<step_kind::hold>},
    step_entry{"release", "release", "read it again", parse_bare<step_kind::release>},
    step_entry{"slowread", "slowread BPS", "read at most BPS bytes per second (0: no limit)", parse_slowread},
    step_entry{"disconnect", "disconnect [abrupt]",
               "close the connection now; abrupt: at once, resetting what either side has not read",
               parse_disconnect},
    step_entry{"halfclose", "halfclose", "no more words on this connection; it is read until the service closes",
               parse_bare<step_kind::halfclose>},
    step_entry{"cut", "cut [N] [maybe]",
               "close it inside the next data packet after N of its bytes (default half of it),\n"
               "within 30 s, reading through a hold; with maybe, no data packet to cut is no failure",
               parse_cut},
    step_entry{"expect",
               "expect data N [within S]\nexpect ack N [within S]\nexpect quiet S\n"
               "expect closed [within S]\nexpect connect [within S]",
               "N more data packets (bound 5 + 3N s) or acknowledgements arrive; no packet at all\n"
               "for S seconds; the service closes the connection (30 s); a connection comes (30 s)",
               parse_expect},
    step_entry{"at", "at S tovk WORD...\nat S driver WORD...\nat S kill K tovk WORD...",
               "run tovk WORD... in the background S seconds after the run began; its exit\n"
               "status is kept for the audit; with driver, the driver of tovk's library (a slot\n"
               "claimed by a process that then ends, a line held); with kill, SIGKILL K seconds\n"
               "after its start",
               parse_side_step},
    step_entry{"service", "service start|kill|term|stop|second",
               "the service the run owns (tovk i 127.0.0.1, its log stream appended to\n"
               "--service-log): started, killed, stopped by SIGTERM or by tovk r (each must end\n"
               "it with status 0, r only once it has), or a second one started beside it, which\n"
               "must refuse with status 1",
               parse_service_step},
    step_entry{"sndbuf", "sndbuf small|normal",
               "shrink the world's TCP send buffers (tcp_wmem) and the receive buffer of later\n"
               "connections, or restore them",
               parse_buffers_step},
    step_entry{"blackhole", "blackhole ADDR", "a listener on ADDR at the port that drops every SYN",
               parse_blackhole_step},
    step_entry{"sides", "sides [within S]", "every side command has ended (30 s)", parse_sides_done_step},
    step_entry{"audit", "audit",
               "every acknowledgement stands for one pulse-coded command or one packet the PIC\n"
               "received, every \"Legacy command:\" reached the PIC, every packet queued\n"
               "(\"Generated packet:\", a successful p of at most 78 bytes) reached it once, and\n"
               "the side commands exited 0",
               parse_audit_step},
};

bool parse_step(const words& tokens, step& made) {
    for (const step_entry& entry : steps) {
        if (tokens[0] == entry.name) return entry.parse(tokens, made);
    }
    return false;
}

void add_lines(const char* text, const std::string& indent, std::vector<std::string>& lines) {
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(indent + line);
}

words split_words(const std::string& text) {
    std::istringstream in(text);
    words tokens;
    for (std::string word; in >> word;) tokens.push_back(word);
    return tokens;
}

std::string trimmed(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::span<const step_entry> step_table() { return steps; }

std::vector<std::string> step_help() {
    std::vector<std::string> lines{
        "steps (one per argument, per line of --script FILE, or separated by \";\"; \"#\" starts a",
        "comment; numbers are decimal, seconds may have decimals, bytes are hex; steps that send",
        "wait up to 30 s for a connection first, and a new connection is accepted whenever",
        "there is none):"};
    for (const step_entry& entry : steps) {
        add_lines(entry.usage, "  ", lines);
        add_lines(entry.effect, "      ", lines);
    }
    add_lines("Each \"expect data/ack\" and each finite \"continuous\" claims the packets it waited\n"
              "for; the next one counts from there. The service keeps at most one request: words\n"
              "sent before its next data packet leaves ask once.",
              "", lines);
    return lines;
}

const std::vector<std::uint8_t>& plain_request_word() {
    static const std::vector<std::uint8_t> word{0x00, 0x00, 0x01, 0x00};
    return word;
}

script_result parse_script(const std::string& text) {
    script_result result;
    std::istringstream lines(text);
    std::size_t number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        line = line.substr(0, line.find('#'));
        std::istringstream parts(line);
        for (std::string part; std::getline(parts, part, ';');) {
            words tokens = split_words(part);
            if (tokens.empty()) continue;
            step made;
            made.text = trimmed(part);
            if (!parse_step(tokens, made)) {
                result.error = "line " + std::to_string(number) + ": cannot read step \"" + made.text + "\"";
                return result;
            }
            result.steps.push_back(made);
        }
    }
    return result;
}

}  // namespace refserver
