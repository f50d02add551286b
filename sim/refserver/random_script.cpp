#include "random_script.h"

#include "packet_oracle.h"

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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

std::string two_decimals(double value) {
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
// exactly at the length limit or beyond it.
std::string packet_text(dice& roll) {
    const auto limit = static_cast<std::int64_t>(packet_data_limit);
    std::int64_t length = roll.chance(0.7)   ? roll.between(1, 8)
                          : roll.chance(0.5) ? roll.between(limit - 2, limit)
                                             : roll.between(limit + 1, limit + 4);
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
        line("wait " + two_decimals(seconds));
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

// A server that closes abruptly: a reset with words unread (often inside a
// data packet), a close right after sending words, a half-close. Only where
// the service comes back by itself.
void abrupt_server(dice& roll, body_writer& body) {
    if (body.paused) return;
    switch (roll.below(3)) {
    case 0:
        body.line("request");
        body.wait(0, 1.2);
        body.line("disconnect abrupt");
        break;
    case 1:
        body.line(device_command(roll));
        body.line("request");
        body.line("disconnect");
        break;
    default: body.line("halfclose"); break;
    }
    body.elapsed += 1;
}

// Faults between the traffic's actions, from dice of their own so that a
// seed's traffic is the same with and without them: the service killed at
// any moment, stopped by a signal or by r and started again, a second
// service started beside it, and abrupt servers.
void service_fault(dice& roll, body_writer& body) {
    switch (roll.below(10)) {
    case 8: case 9: return abrupt_server(roll, body);
    case 0: case 1:
        body.line("service kill");
        body.wait(0, 1);
        break;
    case 2: body.line("service term"); break;
    case 3: body.line("service stop"); break;
    case 4: body.line("service second"); return;
    default: return;
    }
    body.line("service start");
    body.paused = false;
    body.elapsed += 1.5;
}

// Producers killed between their claim and their packet, `p` killed at any
// moment, and a bridge holding the line for a while.
std::string fault_side_text(dice& roll) {
    switch (roll.below(3)) {
    case 0: return "driver claim_slot";
    case 1: return "kill " + two_decimals(roll.real(0.01, 1.5)) + " tovk p 1 " + packet_text(roll);
    default: return "driver hold_serial " + std::to_string(roll.between(1, 3));
    }
}

// How long the settle may wait for its first data packet. Captures wait
// while producers keep the slot filled, one slot packet after another (about
// 4 s each on the PIC), and while a bridge holds the line.
double settle_bound(const std::vector<std::string>& schedule) {
    double bound = 20;
    for (const std::string& line : schedule) {
        if (line.find(" tovk p ") != std::string::npos || line.find("claim_slot") != std::string::npos) bound += 4;
        std::size_t hold = line.find("hold_serial ");
        if (hold != std::string::npos) bound += std::stod(line.substr(hold + 12));
    }
    return bound;
}

}  // namespace

std::string random_script(std::uint64_t seed, double seconds, bool kills) {
    dice roll(seed);
    dice faults(seed ^ 0x6b696c6c73ULL);
    std::ostringstream script;
    script << "# random run: seed " << seed << ", " << two_decimals(seconds) << " s of traffic\n";
    script << "blackhole 127.0.0.3\n";
    auto sides = static_cast<std::int64_t>(seconds / 2.5) + 1;
    std::vector<std::string> schedule;
    for (std::int64_t i = 0; i < sides; ++i) {
        std::string at = two_decimals(roll.real(0.3, seconds));
        schedule.push_back("at " + at + " tovk " + side_command_text(roll));
    }
    // Whatever list the sides left, the service ends up on this server.
    schedule.push_back("at " + two_decimals(seconds) + " tovk s 127.0.0.1");
    for (std::int64_t i = 0; kills && i < sides; ++i) {
        schedule.push_back("at " + two_decimals(faults.real(0.3, seconds)) + " " + fault_side_text(faults));
    }
    for (const std::string& line : schedule) script << line << "\n";
    if (kills) script << "service start\n";
    script << "accept\nrequest\n";
    body_writer body{roll, {}};
    while (body.elapsed < seconds) {
        body.one_action();
        if (kills && faults.chance(0.15)) service_fault(faults, body);
    }
    script << body.out.str();
    // Every request of the settle is a resume: a list set by a side command
    // closes the connection, and words the service had not read go with it,
    // so the resume is said again on each new connection. Data flows only
    // once resumed, and a packet command waits for the resume too.
    script << "# settle: nothing may be wedged, every side command must end\n"
              "release\nslowread 0\nsndbuf normal\nrequestword ff ff ff ff\ncontinuous 1 within "
           << settle_bound(schedule) << "\nsides within 40\ncontinuous 3 within 20\nwait 1\naudit\n";
    if (kills) script << "service stop\n";
    return script.str();
}

}  // namespace refserver
