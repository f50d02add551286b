// Verifies the captures of one run in the order they arrive: which stream and
// window each one holds, that it equals the stream bit for bit, that no
// capture was skipped or delivered twice, and, with the PIC's log, that the
// window begins where the host's select pulse ended.
#pragma once

#include "capture_check.h"
#include "pic_log.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace refserver {

struct verifier_settings {
    capture_format format;
    std::uint64_t seed = 1;         // used while the log names none
    unsigned pic_channels = 0;      // 0: the format's in_channels, unless the log names them
    std::int64_t tolerance = 0;     // bytes the window may lie off the logged pulse end
    std::uint64_t max_read_begin = 16384;
    std::uint64_t search_streams = 64;  // streams searched after the last one when there is no log
};

struct capture_verdict {
    bool verified = false;
    std::optional<capture_place> place;
    std::optional<std::int64_t> logged_read_begin;
    std::vector<std::uint64_t> skipped;  // capture streams the log has and no packet brought
    std::string problem;                 // why it did not verify
    std::string note;                    // anything worth saying on a verified capture
};

class capture_verifier {
public:
    capture_verifier(verifier_settings settings, pic_log& log);

    capture_verdict verify(const bytes& capture);

    // The stream a cut packet's first bytes came from, if they tell.
    std::optional<capture_place> identify_partial(const bytes& beginning);

    // After a connection was cut, captures in flight are gone with it: the
    // next packet may leave those out.
    void forgive_gap() { gap_forgiven_ = true; }

    std::optional<std::uint64_t> last_stream() const { return last_stream_; }
    const verifier_settings& settings() const { return settings_; }

private:
    void follow_log();
    std::vector<std::uint64_t> candidates() const;
    void verify_against_log(const bytes& capture, const std::vector<std::uint64_t>& streams, capture_verdict& verdict);
    void verify_by_search(const bytes& capture, const std::vector<std::uint64_t>& streams, capture_verdict& verdict);
    void explain_unplaced(const bytes& capture, capture_verdict& verdict);
    void check_order(capture_verdict& verdict, const std::vector<std::uint64_t>& streams);

    verifier_settings settings_;
    pic_log& log_;
    stream_bytes source_;
    std::optional<std::uint64_t> last_stream_;
    bool gap_forgiven_ = false;
};

}  // namespace refserver
