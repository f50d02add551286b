// The steps a run follows; the language is described in refserver_main.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace refserver {

enum class step_kind {
    accept,      // a connection, within `seconds`
    send,        // `bytes` once (a command word, or raw bytes)
    request_word,  // `bytes` is the word every later request sends
    request,     // `count` request words, `interval` apart
    continuous,  // one request outstanding until `count` data packets (0: until the run is stopped)
    wait,
    hold,
    release,
    slowread,    // `rate` bytes per second, 0 = unlimited
    disconnect,  // `abrupt`: at once, resetting what either side has not read
    halfclose,   // no more words on this connection; it is read until the service closes
    cut,         // disconnect inside the next data packet, after `count` of its bytes (0: half of it)
    expect_data,
    expect_ack,
    expect_quiet,
    expect_closed,
    side,        // start `words` (a program, tovk or driver, and its words) `seconds` after the run began
    service,     // `words[0]`: start, kill, term, stop or second (random_run.h)
    buffers,     // `count` 1: small socket buffers from now on, 0: the system's again
    blackhole,   // a listener on `words[0]` that never completes a handshake
    sides_done,  // every side command has ended, within `seconds`
    audit,       // acknowledgements against what reached the PIC (run_audit.h)
};

struct step {
    step_kind kind = step_kind::wait;
    std::vector<std::uint8_t> bytes;
    std::uint64_t count = 0;
    double seconds = 0;   // wait time, or the bound of an expectation
    double interval = 0;
    double rate = 0;
    bool optional = false;           // cut: no data packet to cut is no failure
    bool abrupt = false;             // disconnect
    double kill_after = 0;           // side: SIGKILL it this many seconds after its start (0: never)
    std::vector<std::string> words;  // side: the program and its words; blackhole: the address; service: the action
    std::string text;     // the step as written, for reports
};

struct script_result {
    std::vector<step> steps;
    std::string error;  // empty when every step parsed
};

// Parses steps separated by new lines or ";"; "#" starts a comment.
script_result parse_script(const std::string& text);

// The word `request` and `continuous` send: no control word, no mode, no device.
const std::vector<std::uint8_t>& plain_request_word();

}  // namespace refserver
