// The steps a run follows. One table holds the language: each step's name,
// usage, effect and parser; refserver --help prints it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace refserver {

enum class step_kind {
    accept,      // a connection, within `seconds`
    send,        // `bytes` once (a command word, or raw bytes)
    request_word,  // `bytes` is the word every later request sends
    request,     // `requests` request words, `interval` apart
    continuous,  // one request outstanding until `packets` data packets (0: until the run is stopped)
    wait,
    hold,
    release,
    slowread,    // `rate` bytes per second, 0 = unlimited
    disconnect,  // `abrupt`: at once, resetting what either side has not read
    halfclose,   // no more words on this connection; it is read until the service closes
    cut,         // disconnect inside the next data packet, after `cut_after_bytes` of it (0: half of it)
    expect_data,  // `packets` more data packets, within `seconds`
    expect_ack,   // `packets` more acknowledgements, within `seconds`
    expect_quiet,
    expect_closed,
    side,        // start `words` (a program, tovk or driver, and its words) `seconds` after the run began
    service,     // `words[0]`: start, kill, term, stop or second (random_run.h)
    buffers,     // `small_buffers` from now on, or the system's again
    blackhole,   // a listener on `words[0]` that never completes a handshake
    sides_done,  // every side command has ended, within `seconds`
    audit,       // acknowledgements against what reached the PIC (run_audit.h)
};

struct step {
    step_kind kind = step_kind::wait;
    std::vector<std::uint8_t> bytes;
    std::uint64_t requests = 0;
    std::uint64_t packets = 0;
    std::uint64_t cut_after_bytes = 0;
    bool small_buffers = false;
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

using step_words = std::vector<std::string>;

struct step_entry {
    const char* name;    // the step's first word
    const char* usage;   // its forms, one a line
    const char* effect;  // may run over several lines
    // Fills `made` from the step's words, the name first; false when malformed.
    bool (*parse)(const step_words& tokens, step& made);
};

// In the order the help lists them.
std::span<const step_entry> step_table();

// The steps' usage and effects, a line each, for refserver --help.
std::vector<std::string> step_help();

// Parses steps separated by new lines or ";"; "#" starts a comment.
script_result parse_script(const std::string& text);

// The word `request` and `continuous` send: no control word, no mode, no device.
const std::vector<std::uint8_t>& plain_request_word();

}  // namespace refserver
