#include "base/syslog_log.h"

#include <syslog.h>

#include <iostream>
#include <span>
#include <streambuf>
#include <string>

namespace {

constexpr std::string_view failures[] = {
    "Fatal error in function", "Error (",  "Invalid",           "PIC communication failed", "PIC exchange failed",
    "setsockopt: cannot",      "socket_keepalive_enable problem", "Cannot ", "Another service", "Packet slot length",
    "Compression level"};
constexpr std::string_view traces[] = {"PICv", "Legacy command:", "Generated packet:"};

bool starts_with_any(std::string_view line, std::span<const std::string_view> prefixes) {
    for (std::string_view prefix : prefixes) {
        if (line.starts_with(prefix)) return true;
    }
    return false;
}

// Passes everything on to the stream's old buffer and hands each complete
// line to syslog.
class syslog_tee : public std::streambuf {
public:
    explicit syslog_tee(std::streambuf* old) : old_(old) {}

protected:
    int_type overflow(int_type character) override {
        if (traits_type::eq_int_type(character, traits_type::eof())) return traits_type::not_eof(character);
        char byte = traits_type::to_char_type(character);
        if (old_ != nullptr) old_->sputc(byte);
        if (byte == '\n') {
            line_done();
        } else {
            line_ += byte;
        }
        return character;
    }

    // The log stream flushes after every insertion: only a line end makes
    // a message, or one line would be cut into many.
    int sync() override { return old_ != nullptr ? old_->pubsync() : 0; }

private:
    void line_done() {
        syslog(syslog_priority_of(line_), "%s", line_.c_str());
        line_.clear();
    }

    std::streambuf* old_;
    std::string line_;
};

}  // namespace

int syslog_priority_of(std::string_view line) {
    if (starts_with_any(line, failures)) return LOG_ERR;
    if (starts_with_any(line, traces)) return LOG_INFO;
    return LOG_NOTICE;
}

void log_stream_to_syslog() {
    openlog("tovk", LOG_PID, LOG_DAEMON);
    static syslog_tee tee(std::clog.rdbuf());
    std::clog.rdbuf(&tee);
}
