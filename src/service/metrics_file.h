// The service's state, counters and readings for the node exporter's
// textfile collector: tovk.prom in its directory, replaced whole about every
// 10 s and at stop, and only where that directory exists.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

struct shared_state;
struct ServiceState;

// Counted by the loop as things happen, since the service started.
struct service_counters {
    std::uint64_t data_packets = 0;
    std::uint64_t data_bytes = 0;
    std::uint64_t acks = 0;
    std::uint64_t legacy_commands = 0;
    std::uint64_t packet_commands = 0;
    std::uint64_t slot_packets = 0;
    std::uint64_t connect_attempts = 0;
    std::uint64_t connect_failures = 0;
    std::uint64_t reconnects_asked = 0;
    std::uint64_t captures = 0;
    std::uint64_t pic_failures = 0;
    std::time_t last_data_packet = 0;  // 0: none yet
};

// The file's whole text in the Prometheus text exposition format. Readings
// appear once the service has measured a full round.
std::string metrics_text(const ServiceState& state, const shared_state& block, bool up);

class metrics_file {
public:
    // Once a pass; writes when the last write is 10 s old.
    void pass(const ServiceState& state, const shared_state& block);
    // After the loop: the final counters, with tovk_up 0.
    void final_write(const ServiceState& state, const shared_state& block);

private:
    void write(const std::string& text);

    std::chrono::steady_clock::time_point next_write_{};
    bool failure_logged_ = false;
};
