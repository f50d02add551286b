// What a run tells: one line per packet on standard output, the same as JSON
// lines in a file, failures at once on standard error, a summary at the end.
#pragma once

#include "capture_check.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace refserver {

struct packet_record {
    std::uint64_t sequence = 0;
    std::uint64_t connection = 0;
    bool data = true;
    char status = 0;
    std::size_t size = 0;        // inflated data, or the acknowledgement's payload
    std::size_t compressed = 0;  // payload length on the wire
    bool verified = false;
    std::optional<capture_place> place;
    std::size_t lead = 0;  // window = read_begin + lead
    std::optional<std::int64_t> logged_read_begin;
    bool resend = false;
    std::string problem;
    std::string note;
};

struct run_counts {
    std::uint64_t packets = 0;
    std::uint64_t data = 0;
    std::uint64_t acks = 0;
    std::uint64_t verified = 0;
    std::uint64_t mismatches = 0;  // packets and framing failures
    std::uint64_t expectations = 0;
    std::uint64_t expectations_failed = 0;
    std::uint64_t connections = 0;
    std::uint64_t resends = 0;
    std::uint64_t words = 0;
    bool interrupted = false;

    bool passed() const { return mismatches == 0 && expectations_failed == 0; }
};

class reporter {
public:
    reporter(std::ostream& out, std::ostream& err, std::ostream* json) : out_(out), err_(err), json_(json) {}

    void packet(const packet_record& record);
    // Connections, cuts and the like: informative, never a failure.
    void event(const std::string& kind, const std::string& text, std::uint64_t connection);
    // A failure of the upstream bytes that is not tied to one whole packet.
    void mismatch(const std::string& text, std::uint64_t connection);
    void expectation(const std::string& step, bool held, const std::string& detail);
    void summary(const run_counts& counts, std::int64_t tolerance, bool log_attached);

private:
    void json_line(const std::string& object);

    std::ostream& out_;
    std::ostream& err_;
    std::ostream* json_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

std::string json_string(const std::string& text);

}  // namespace refserver
