#include "run_audit.h"

#include "packet_oracle.h"
#include "pic_log.h"

#include <fstream>
#include <map>
#include <sstream>

namespace refserver {

namespace {

// Data bytes a slot packet can hold.
constexpr std::size_t packet_data_limit = 78;

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
        std::string what = side.text();
        if (!side.ended) {
            problems.push_back(what + " never ended");
            continue;
        }
        bool is_packet = side.is_tovk("p") && side.words.size() == 3;
        std::vector<std::uint8_t> data = is_packet ? packet_text_bytes(side.words[2]) : std::vector<std::uint8_t>{};
        // An over-long packet is never queued, whatever the command answers;
        // a command killed on purpose answers nothing.
        bool must_succeed = side.kill_after == 0 && (side.is_tovk("s") || (is_packet && data.size() <= packet_data_limit));
        if (must_succeed && side.status != 0) problems.push_back(what + " exited with " + std::to_string(side.status));
        if (!is_packet || side.status != 0 || data.size() > packet_data_limit) continue;
        ++queued_by_p;
        ++expected[hex_text(framed_packet(data))];
    }

    std::uint64_t carried_out = pulse_commands + packets;
    bool losses_possible = input.kills || input.resets > 0;
    if (losses_possible ? input.acks > carried_out : input.acks != carried_out) {
        problems.push_back(std::to_string(input.acks) + " acknowledgements for " + std::to_string(pulse_commands) +
                           " pulse-coded commands and " + std::to_string(packets) + " packets the PIC received");
    }
    if (stray_pulses != 0) {
        problems.push_back(std::to_string(stray_pulses) + " select pulses began while the PIC sent no stream");
    }
    if (input.kills ? pulse_commands > legacy_lines : legacy_lines != pulse_commands) {
        problems.push_back(std::to_string(legacy_lines) + " legacy commands logged, " + std::to_string(pulse_commands) +
                           " reached the PIC");
    }
    for (const auto& [payload, times] : expected) {
        int got = transmitted.count(payload) ? transmitted.at(payload) : 0;
        if (got < times) problems.push_back("packet " + payload + " queued " + std::to_string(times) + "x, reached the PIC " + std::to_string(got) + "x");
    }
    for (const auto& [payload, times] : transmitted) {
        int wanted = expected.count(payload) ? expected.at(payload) : 0;
        if (times > wanted && !input.kills) problems.push_back("packet " + payload + " reached the PIC " + std::to_string(times) + "x, queued " + std::to_string(wanted) + "x");
    }
    summary = "acks=" + std::to_string(input.acks) + " legacy=" + std::to_string(pulse_commands) +
              " packets=" + std::to_string(packets) + " generated=" + std::to_string(generated) +
              " queued_by_p=" + std::to_string(queued_by_p);
    return problems;
}

}  // namespace refserver
