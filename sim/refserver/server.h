// The server side of a run: listens, takes one connection at a time, follows
// the script, and checks every upstream packet as it arrives.
#pragma once

#include "base/unique_fd.h"
#include "capture_verifier.h"
#include "pic_log.h"
#include "random_run.h"
#include "run_audit.h"
#include "report.h"
#include "script.h"
#include "upstream_packet.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace refserver {

struct server_options {
    std::string bind_address = "127.0.0.1";
    std::uint16_t port = 5555;  // 0: any free port
    int receive_buffer = 0;     // SO_RCVBUF of the connections; 0 leaves the system's
    std::vector<std::uint8_t> request_word = plain_request_word();
    verifier_settings verify;
    std::string pic_log_path;
    std::string tovk_path;         // side commands and the service a run starts itself
    std::string driver_path;       // side commands of the driver (claims, held lines)
    std::string service_log_path;  // the audit's witness of what the service decoded
    std::string samples_path;      // the first verified capture's samples, as text
};

class session {
public:
    using clock = std::chrono::steady_clock;

    session(server_options options, std::vector<step> steps, reporter& report);

    bool listen(std::string& error);
    std::uint16_t port() const { return port_; }

    // Follows the script to its end (or until stop_requested); then closes.
    void run();
    const run_counts& counts() const { return counts_; }

    // Set from a signal handler to end the run early.
    static std::atomic<bool> stop_requested;

private:
    // Made by emplace(), which zeroes what has no constructor of its own.
    struct connection_state {
        unique_fd fd;
        std::uint64_t number;
        packet_framer framer;
        bool first_data_seen;
        std::uint64_t service_ends = 0;  // of the run's service, when it connected
    };

    struct cut_prefix {
        bytes raw;
        std::uint64_t connection = 0;
        bool left_by_service = false;
    };

    void run_step(const step& current);
    void run_request(const step& current);
    void run_continuous(const step& current);
    void run_cut(const step& current);
    void expect_count(const step& current, const std::uint64_t& received, std::uint64_t& claimed, const char* what);
    void expect_quiet(const step& current);
    void expect_closed(const step& current);
    void record_expectation(const step& current, bool held, const std::string& detail);
    void run_random_step(const step& current);
    void run_service_step(const step& current);
    void abort_connection();

    // Receives until `done` holds or the deadline passes; true if it held.
    bool pump(clock::time_point deadline, const std::function<bool()>& done);
    bool ensure_connection(double seconds);
    void accept_connection();
    void read_connection();
    std::size_t read_limit();
    std::optional<std::size_t> cut_point() const;
    bool cut_point_reached() const;
    void take_packets();
    void process(const upstream_packet& packet);
    void process_data(const upstream_packet& packet, packet_record& record);
    void note_resend(const upstream_packet& packet, packet_record& record);
    void take_what_arrived();
    void count_acks_left_at_close();
    void drain_until_service_closes(packet_framer& unread);
    // Who ended a connection decides what its unfinished packet means: after
    // the service's own close it must come again from byte 0; after a reset
    // its tail may have been lost on the way, as after the script's close.
    enum class ended_by { script, service, reset };
    void close_connection(const std::string& why, ended_by who);
    void run_audit(const step& current);
    bool send_bytes(const std::vector<std::uint8_t>& data);

    server_options options_;
    std::vector<step> steps_;
    reporter& report_;
    pic_log log_;
    capture_verifier verifier_;
    unique_fd listener_;
    std::uint16_t port_ = 0;
    std::optional<connection_state> connection_;
    run_counts counts_;

    // Reading.
    bool holding_ = false;
    double read_rate_ = 0;
    double read_allowance_ = 0;
    clock::time_point allowance_since_ = clock::now();
    std::optional<std::uint64_t> cut_after_;  // 0: half of the packet
    bool cut_done_ = false;

    // Counting for the expectations.
    std::uint64_t claimed_data_ = 0;
    std::uint64_t claimed_acks_ = 0;
    std::uint64_t closes_by_service_ = 0;
    // Acknowledgements the service had sent when the script closed the
    // connection unread: lost to the server, not by the service.
    std::uint64_t acks_unread_at_close_ = 0;
    // With an audit, a script's close half-closes first and reads until the
    // service closes too, so every acknowledgement it wrote is counted.
    bool drain_closes_ = false;
    std::optional<cut_prefix> unfinished_;
    bool samples_written_ = false;

    random_run random_;
    service_child service_;
    // The run's service ended (killed or stopped): what it had captured or
    // half sent is gone with it, not owed to the next one.
    std::uint64_t service_ends_ = 0;
    std::uint64_t abrupt_closes_ = 0;
};

}  // namespace refserver
