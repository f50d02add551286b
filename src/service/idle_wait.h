// How an idle service waits: on the server's socket and on a connection
// attempt's outcome, for at most a few milliseconds, and never across a stop
// signal.
#pragma once

#include <chrono>
#include <cstdint>

// The longest wait: what no descriptor announces (the packet slot, running
// and reconnect cleared or set by other processes, the timers) is seen no
// later than this.
constexpr std::chrono::milliseconds idle_wait_limit{10};

struct idle_wake_sources {
    int server_sock = 0;       // 0: no connection
    bool word_wanted = false;  // input from the server ends the wait
    bool packet_due = false;   // so does room to send it
    int connecting_sock = 0;   // 0: no attempt under way
    int claim_listener = -1;   // a liveness check (r or p knocking) ends it too
};

// Returns when a source is ready, a stop signal arrives or the limit has
// passed; at once when running is already 0. True when a liveness check
// waits to be answered.
bool idle_wait(const idle_wake_sources& sources, const std::uint8_t& running);
