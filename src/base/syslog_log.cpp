#include "base/syslog_log.h"

#include "base/log.h"

#include <syslog.h>

#include <iostream>
#include <streambuf>
#include <string>

namespace {

int syslog_priority(log_severity severity) {
    switch (severity) {
        case log_severity::failure: return LOG_ERR;
        case log_severity::trace: return LOG_INFO;
        case log_severity::notice: break;
    }
    return LOG_NOTICE;
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
        syslog(syslog_priority(severity_of_current_line()), "%s", line_.c_str());
        line_.clear();
    }

    std::streambuf* old_;
    std::string line_;
};

}  // namespace

void log_stream_to_syslog() {
    openlog("tovk", LOG_PID, LOG_DAEMON);
    static syslog_tee tee(std::clog.rdbuf());
    std::clog.rdbuf(&tee);
}
