#include "random_run.h"

#include "pic_log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <system_error>

namespace refserver {

namespace {

// Raw engine output only: the distributions of the standard library differ
// between implementations, and a seed must give the same script everywhere.
class dice {
public:
    explicit dice(std::uint64_t seed) : engine_(seed) {}
    std::uint64_t below(std::uint64_t n) { return engine_() % n; }
    std::int64_t between(std::int64_t low, std::int64_t high) {
        return low + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(high - low + 1)));
    }
    double real(double low, double high) {
        return low + (high - low) * static_cast<double>(engine_() >> 11) * 0x1.0p-53;
    }
    bool chance(double p) { return real(0, 1) < p; }
    template <typename T>
    const T& pick(const std::vector<T>& from) { return from[below(from.size())]; }

private:
    std::mt19937_64 engine_;
};

std::string seconds_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// Channel 1 or 2 mostly; sometimes none, one the board lacks, or 255.
int device_channel(dice& roll) { return roll.chance(0.8) ? static_cast<int>(roll.between(1, 2)) : roll.pick<int>({0, 3, 255}); }
int device_address(dice& roll) {
    return roll.chance(0.85) ? static_cast<int>(roll.between(1, 32)) : roll.pick<int>({0, 33, 200});
}

// Every road a code can take: pulse-coded (1..64), a generated packet with
// firmware 3 (16..32 with a mode, 24 excepted), a packet above 64, nothing (0).
std::string device_command(dice& roll) {
    int mode = static_cast<int>(roll.between(0, 3));
    int code = 0;
    switch (roll.below(4)) {
    case 0: code = static_cast<int>(roll.between(1, 64)); break;
    case 1:
        mode = static_cast<int>(roll.between(1, 2));
        code = static_cast<int>(roll.between(16, 32));
        break;
    case 2: code = static_cast<int>(roll.between(65, 255)); break;
    default: code = roll.chance(0.5) ? 0 : static_cast<int>(roll.between(1, 15)); break;
    }
    std::string text = "command " + std::to_string(device_channel(roll)) + " " + std::to_string(device_address(roll)) +
                       " " + std::to_string(code) + " mode " + std::to_string(mode);
    return roll.chance(0.3) ? text + " route" : text;
}

// A packet text for `tovk p`: letters, digits and %hh escapes; now and then
// exactly at the 78-byte limit or beyond it.
std::string packet_text(dice& roll) {
    std::int64_t length = roll.chance(0.7) ? roll.between(1, 8) : roll.chance(0.5) ? roll.between(76, 78) : roll.between(79, 82);
    static const std::string plain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static const std::string hex = "0123456789abcdefABCDEF";
    std::string text;
    for (std::int64_t i = 0; i < length; ++i) {
        if (roll.chance(0.25)) {
            text += '%';
            text += hex[roll.below(hex.size())];
            text += hex[roll.below(hex.size())];
        } else {
            text += plain[roll.below(plain.size())];
        }
    }
    return text;
}

std::string side_command_text(dice& roll) {
    switch (roll.below(7)) {
    case 0:
    case 1:
    case 2: {
        int direction = roll.chance(0.8) ? static_cast<int>(roll.between(1, 2)) : roll.pick<int>({0, 3, 257});
        return "p " + std::to_string(direction) + " " + packet_text(roll);
    }
    case 3: return "s 127.0.0.1";
    case 4: return "s 127.0.0.3,127.0.0.1";
    case 5: return "l " + std::to_string(roll.between(-1, 9));
    default: return "d";
    }
}

// The traffic: the generator keeps its own idea of pause so that it cuts and
// disconnects only where the service can come back by itself.
struct body_writer {
    dice& roll;
    std::ostringstream out;
    double elapsed = 0;
    bool paused = false;
    int slow_left = 0;
    int small_left = 0;

    void line(const std::string& text) { out << text << "\n"; }
    void wait(double low, double high) {
        double seconds = roll.real(low, high);
        elapsed += seconds;
        line("wait " + seconds_text(seconds));
    }

    // `elapsed` also counts what the service needs for a step: a device
    // command costs a PIC exchange of about two seconds, a cut a capture.
    void one_action() {
        switch (roll.below(20)) {
        case 0: case 1: case 2:
            line("request " + std::to_string(roll.between(1, 3)));
            elapsed += 0.3;
            break;
        case 3: case 4: case 5: wait(0.2, 1.5); break;
        case 6: case 7: case 8: case 9:
            line(device_command(roll));
            elapsed += 2;
            break;
        case 10: line(paused ? "resume" : "pause"); paused = !paused; break;
        case 11:
            if (roll.chance(0.5)) {
                line("reset");
                paused = false;
            } else {
                line("scan");
            }
            break;
        case 12:
            line("mode " + std::to_string(roll.between(0, 3)) + " " + std::to_string(roll.between(0, 3)) +
                 (roll.chance(0.5) ? " route" : ""));
            break;
        case 13:
            line("hold");
            wait(0.5, 3);
            line("release");
            break;
        case 14:
            // A reader slower than a data packet, with a command arriving
            // while the packet is still on its way.
            if (roll.chance(0.5)) {
                line("hold");
                line("request");
                wait(0.1, 0.8);
                line(device_command(roll));
                wait(1, 4);
                line("release");
                break;
            }
            if (slow_left == 0) line("slowread " + std::to_string(roll.between(300, 6000)));
            slow_left = static_cast<int>(roll.between(2, 6));
            line("request");
            wait(0.1, 0.8);
            line(device_command(roll));
            elapsed += 2;
            break;
        case 15:
            if (small_left == 0) line("sndbuf small");
            small_left = static_cast<int>(roll.between(3, 8));
            if (!paused) line("disconnect");
            break;
        case 16: case 17:
            if (paused) break;
            line("request");
            line(roll.chance(0.5) ? "cut maybe" : "cut " + std::to_string(roll.between(1, 6000)) + " maybe");
            elapsed += 1.5;
            break;
        case 18:
            if (!paused) line("disconnect");
            elapsed += 0.5;
            break;
        default: line("word " + std::to_string(roll.between(10, 99)) + " 00 01 00"); break;
        }
        if (slow_left > 0 && --slow_left == 0) line("slowread 0");
        if (small_left > 0 && --small_left == 0) line("sndbuf normal");
    }
};

bool parse_time(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

std::string hex_text(const std::vector<std::uint8_t>& data) {
    std::string text;
    char two[3];
    for (std::uint8_t byte : data) {
        std::snprintf(two, sizeof two, "%02X", byte);
        text += two;
    }
    return text;
}

std::string word_after(const std::string& line, const std::string& key) {
    std::size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    at += key.size() + 2;
    return line.substr(at, line.find(' ', at) - at);
}

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

std::string random_script(std::uint64_t seed, double seconds) {
    dice roll(seed);
    std::ostringstream script;
    script << "# random run: seed " << seed << ", " << seconds_text(seconds) << " s of traffic\n";
    script << "blackhole 127.0.0.3\n";
    auto sides = static_cast<std::int64_t>(seconds / 2.5) + 1;
    std::vector<std::string> schedule;
    for (std::int64_t i = 0; i < sides; ++i) {
        std::string at = seconds_text(roll.real(0.3, seconds));
        schedule.push_back("at " + at + " tovk " + side_command_text(roll));
    }
    // Whatever list the sides left, the service ends up on this server.
    schedule.push_back("at " + seconds_text(seconds) + " tovk s 127.0.0.1");
    for (const std::string& line : schedule) script << line << "\n";
    script << "accept\nrequest\n";
    body_writer body{roll, {}};
    while (body.elapsed < seconds) body.one_action();
    script << body.out.str();
    // Every request of the settle is a resume: a list set by a side command
    // closes the connection, and words the service had not read go with it,
    // so the resume is said again on each new connection.
    script << "# settle: nothing may be wedged, every side command must end\n"
              "release\nslowread 0\nsndbuf normal\nsides within 40\nrequestword ff ff ff ff\n"
              "continuous 3 within 20\nwait 1\naudit\n";
    return script.str();
}

bool parse_random_run_step(const std::vector<std::string>& tokens, step& made) {
    const std::string& verb = tokens[0];
    if (verb == "at") {
        made.kind = step_kind::side;
        if (tokens.size() < 4 || tokens[2] != "tovk" || !parse_time(tokens[1], made.seconds)) return false;
        made.words.assign(tokens.begin() + 3, tokens.end());
        return true;
    }
    if (verb == "sndbuf") {
        made.kind = step_kind::buffers;
        made.count = tokens.size() == 2 && tokens[1] == "small" ? 1 : 0;
        return tokens.size() == 2 && (tokens[1] == "small" || tokens[1] == "normal");
    }
    if (verb == "blackhole") {
        made.kind = step_kind::blackhole;
        made.words.assign(tokens.begin() + 1, tokens.end());
        return tokens.size() == 2;
    }
    if (verb == "sides") {
        made.kind = step_kind::sides_done;
        made.seconds = 30;
        return tokens.size() == 1 || (tokens.size() == 3 && tokens[1] == "within" && parse_time(tokens[2], made.seconds));
    }
    if (verb == "audit") {
        made.kind = step_kind::audit;
        return tokens.size() == 1;
    }
    return false;
}

std::vector<std::uint8_t> packet_text_bytes(const std::string& text) {
    auto value = [](char c) -> unsigned {
        if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
        return 255;
    };
    std::vector<std::uint8_t> data;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            data.push_back(static_cast<std::uint8_t>(16 * value(text[i + 1]) + value(text[i + 2])));
            i += 2;
        } else {
            data.push_back(static_cast<std::uint8_t>(text[i]));
        }
    }
    return data;
}

std::vector<std::uint8_t> framed_packet(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> packet{0x5F};
    std::uint8_t sum = 0;
    for (std::uint8_t byte : data) {
        packet.push_back(byte);
        sum = static_cast<std::uint8_t>(sum - byte);
    }
    packet.push_back(sum);
    return packet;
}

std::vector<std::string> audit_run(const audit_input& input, std::string& summary) {
    std::vector<std::string> problems;
    pic_log log(input.pic_log_path);
    log.refresh();
    std::uint64_t pulse_commands = 0;
    for (const auto& [number, stream] : log.streams()) {
        if (stream.sampling && stream.pulses.size() == 3) ++pulse_commands;
    }
    std::map<std::string, int> transmitted;  // payload -> times, from the PIC
    std::uint64_t packets = 0, stray_pulses = 0;
    for (const std::string& line : lines_of(input.pic_log_path)) {
        if (line.find(" stray_pulse ") != std::string::npos) ++stray_pulses;
        if (line.find(" packet ") == std::string::npos && line.rfind("packet ", 0) != 0) continue;
        ++transmitted[word_after(line, "payload")];
        ++packets;
    }

    std::map<std::string, int> expected;  // payload -> times, from the producers
    std::uint64_t legacy_lines = 0, generated = 0, queued_by_p = 0;
    for (const std::string& line : lines_of(input.service_log_path)) {
        if (line.find("Legacy command: ") != std::string::npos) ++legacy_lines;
        std::size_t at = line.find("Generated packet: ");
        if (at == std::string::npos) continue;
        unsigned channel = 0, address = 0, code = 0;
        if (!(std::istringstream(line.substr(at + 18)) >> channel >> address >> code)) continue;
        ++generated;
        ++expected[hex_text(framed_packet({static_cast<std::uint8_t>(address - 1), 0x02, 0x40,
                                           static_cast<std::uint8_t>(code)}))];
    }
    for (const side_command& side : input.sides ? *input.sides : std::vector<side_command>{}) {
        std::string what = "tovk " + joined(side.words);
        if (!side.ended) {
            problems.push_back(what + " never ended");
            continue;
        }
        bool is_packet = side.words[0] == "p" && side.words.size() == 3;
        std::vector<std::uint8_t> data = is_packet ? packet_text_bytes(side.words[2]) : std::vector<std::uint8_t>{};
        // An over-long packet is never queued, whatever the command answers.
        bool must_succeed = side.words[0] == "s" || (is_packet && data.size() <= 78);
        if (must_succeed && side.status != 0) problems.push_back(what + " exited with " + std::to_string(side.status));
        if (!is_packet || side.status != 0 || data.size() > 78) continue;
        ++queued_by_p;
        ++expected[hex_text(framed_packet(data))];
    }

    if (input.acks != pulse_commands + packets) {
        problems.push_back(std::to_string(input.acks) + " acknowledgements for " + std::to_string(pulse_commands) +
                           " pulse-coded commands and " + std::to_string(packets) + " packets the PIC received");
    }
    if (stray_pulses != 0) {
        problems.push_back(std::to_string(stray_pulses) + " select pulses began while the PIC sent no stream");
    }
    if (legacy_lines != pulse_commands) {
        problems.push_back(std::to_string(legacy_lines) + " legacy commands logged, " + std::to_string(pulse_commands) +
                           " reached the PIC");
    }
    for (const auto& [payload, times] : expected) {
        int got = transmitted.count(payload) ? transmitted.at(payload) : 0;
        if (got < times) problems.push_back("packet " + payload + " queued " + std::to_string(times) + "x, reached the PIC " + std::to_string(got) + "x");
    }
    for (const auto& [payload, times] : transmitted) {
        int wanted = expected.count(payload) ? expected.at(payload) : 0;
        if (times > wanted) problems.push_back("packet " + payload + " reached the PIC " + std::to_string(times) + "x, queued " + std::to_string(wanted) + "x");
    }
    summary = "acks=" + std::to_string(input.acks) + " legacy=" + std::to_string(pulse_commands) +
              " packets=" + std::to_string(packets) + " generated=" + std::to_string(generated) +
              " queued_by_p=" + std::to_string(queued_by_p);
    return problems;
}

random_run::random_run() = default;

random_run::~random_run() {
    for (side_command& side : sides_) {
        if (side.pid > 0 && !side.ended) {
            kill(side.pid, SIGKILL);
            waitpid(side.pid, nullptr, 0);
        }
    }
    for (int fd : blackhole_fds_) close(fd);
    std::string error;
    if (!saved_wmem_.empty()) set_small_buffers(false, -1, error);
}

void random_run::schedule(const step& side) {
    side_command made;
    made.words = side.words;
    made.at = side.seconds;
    sides_.push_back(made);
}

void random_run::start(side_command& side) {
    std::vector<std::string> argv{"tovk"};
    argv.insert(argv.end(), side.words.begin(), side.words.end());
    std::vector<char*> pointers;
    pointers.reserve(argv.size() + 1);
    for (std::string& word : argv) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execv(tovk_.c_str(), pointers.data());
        _exit(127);
    }
    side.pid = pid;
    if (pid < 0) side.ended = true;
}

void random_run::tick() {
    double now = std::chrono::duration<double>(clock::now() - began_).count();
    for (side_command& side : sides_) {
        if (side.pid == -1 && !side.ended && side.at <= now) start(side);
        if (side.pid <= 0 || side.ended) continue;
        int status = 0;
        if (waitpid(side.pid, &status, WNOHANG) == side.pid) {
            side.ended = true;
            side.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
}

bool random_run::sides_running() const {
    return std::any_of(sides_.begin(), sides_.end(), [](const side_command& side) { return !side.ended; });
}

std::string random_run::running_text() const {
    std::string text;
    for (const side_command& side : sides_) {
        if (!side.ended) text += (text.empty() ? "" : "; ") + std::string("tovk ") + joined(side.words);
    }
    return text;
}

bool random_run::set_small_buffers(bool small, int listener, std::string& error) {
    const char* wmem = "/proc/sys/net/ipv4/tcp_wmem";
    if (saved_wmem_.empty()) {
        std::ifstream in(wmem);
        std::getline(in, saved_wmem_);
        if (saved_wmem_.empty()) return error = std::string("cannot read ") + wmem, false;
    }
    std::ofstream out(wmem);
    out << (small ? std::string("2048 2048 2048") : saved_wmem_) << std::endl;
    if (!out) return error = std::string("cannot write ") + wmem, false;
    if (listener < 0) return true;
    if (saved_rcvbuf_ < 0) {
        socklen_t length = sizeof saved_rcvbuf_;
        getsockopt(listener, SOL_SOCKET, SO_RCVBUF, &saved_rcvbuf_, &length);
        saved_rcvbuf_ /= 2;  // the kernel doubles what it is given
    }
    int size = small ? 1024 : saved_rcvbuf_;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return true;
}

bool random_run::open_blackhole(const std::string& address, std::uint16_t port, std::string& error) {
    sockaddr_in place{};
    place.sin_family = AF_INET;
    place.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &place.sin_addr) != 1) return error = "bad address " + address, false;
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    blackhole_fds_.insert(blackhole_fds_.end(), {listener, filler});
    auto* raw = reinterpret_cast<sockaddr*>(&place);
    // Backlog 0 holds one finished handshake; with it queued and never
    // accepted, every further SYN is dropped.
    if (bind(listener, raw, sizeof place) != 0 || ::listen(listener, 0) != 0 || connect(filler, raw, sizeof place) != 0) {
        return error = "black hole on " + address + ": " + std::generic_category().message(errno), false;
    }
    return true;
}

}  // namespace refserver
