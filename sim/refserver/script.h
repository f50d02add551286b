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
    request,     // `count` request words, `interval` apart
    continuous,  // one request outstanding until `count` data packets (0: until the run is stopped)
    wait,
    hold,
    release,
    slowread,    // `rate` bytes per second, 0 = unlimited
    disconnect,
    cut,         // disconnect inside the next data packet, after `count` of its bytes (0: half of it)
    expect_data,
    expect_ack,
    expect_quiet,
    expect_closed,
};

struct step {
    step_kind kind = step_kind::wait;
    std::vector<std::uint8_t> bytes;
    std::uint64_t count = 0;
    double seconds = 0;   // wait time, or the bound of an expectation
    double interval = 0;
    double rate = 0;
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
