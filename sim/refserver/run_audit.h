// The audit at the end of a random run: acknowledgements against what the
// PIC's log shows was carried out, packets against what was queued for it.
#pragma once

#include "random_run.h"

#include <cstdint>
#include <string>
#include <vector>

namespace refserver {

struct audit_input {
    std::uint64_t acks = 0;
    std::string pic_log_path;
    std::string service_log_path;
    const std::vector<side_command>* sides = nullptr;
    // Processes were killed, or the service stopped: what a service had
    // carried out just before its end may go unacknowledged, and a packet it
    // was sending may reach the PIC twice; no queued packet may be lost all
    // the same.
    bool kills = false;
    // The server reset connections itself: acknowledgements on their way
    // then are lost on its side, at most those the service sent after the
    // server's last read (one queued at a time, so a few per reset).
    std::uint64_t resets = 0;
};

// Every problem found; empty when each command and slot packet reached the
// PIC and was acknowledged exactly once. `summary` gets the counts.
std::vector<std::string> audit_run(const audit_input& input, std::string& summary);

}  // namespace refserver
