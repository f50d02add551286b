// Random runs: a seed makes a script that mixes every kind of server word
// with cuts, slow reading and other tovk processes started beside the
// service; the script's end audits the acknowledgements against what reached
// the PIC. The generated script is ordinary steps, so a failing seed's
// printed script reproduces it with --script.
#pragma once

#include "script.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace refserver {

// Steps for about `seconds` of mixed traffic, then the settling and the audit.
std::string random_script(std::uint64_t seed, double seconds);

// The data bytes a `tovk p` packet text stands for ("%hh" escapes).
std::vector<std::uint8_t> packet_text_bytes(const std::string& text);

// A packet as it leaves in the slot: start byte, data, checksum.
std::vector<std::uint8_t> framed_packet(const std::vector<std::uint8_t>& data);

struct side_command {
    std::vector<std::string> words;  // after "tovk"
    double at = 0;
    pid_t pid = -1;
    bool ended = false;
    int status = -1;  // exit status, or 128 + signal
};

// What the audit compares: acknowledgements, the service's own log lines and
// the PIC's log, and the side commands' results.
struct audit_input {
    std::uint64_t acks = 0;
    std::string pic_log_path;
    std::string service_log_path;
    const std::vector<side_command>* sides = nullptr;
};

// Every problem found; empty when each command and slot packet reached the
// PIC and was acknowledged exactly once. `summary` gets the counts.
std::vector<std::string> audit_run(const audit_input& input, std::string& summary);

// The side commands, the socket buffers and the black hole of one run.
class random_run {
public:
    using clock = std::chrono::steady_clock;

    random_run();
    ~random_run();
    random_run(const random_run&) = delete;
    random_run& operator=(const random_run&) = delete;

    void set_tovk(std::string path) { tovk_ = std::move(path); }
    void schedule(const step& side);
    // Starts the side commands that are due and collects those that ended.
    void tick();
    bool sides_running() const;
    std::string running_text() const;
    const std::vector<side_command>& sides() const { return sides_; }

    // Small buffers: the world's TCP send buffers (the namespace is private)
    // and the receive buffer of the connections accepted from `listener` on.
    bool set_small_buffers(bool small, int listener, std::string& error);
    // A listener on ADDR:port whose accept queue is full, so SYNs are dropped.
    bool open_blackhole(const std::string& address, std::uint16_t port, std::string& error);

private:
    void start(side_command& side);

    std::string tovk_;
    clock::time_point began_ = clock::now();
    std::vector<side_command> sides_;
    std::string saved_wmem_;
    int saved_rcvbuf_ = -1;
    std::vector<int> blackhole_fds_;
};

}  // namespace refserver
