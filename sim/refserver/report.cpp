#include "report.h"

#include <cstdio>
#include <sstream>

namespace refserver {

namespace {

std::string ratio_text(const packet_record& record) {
    if (record.compressed == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(record.size) / static_cast<double>(record.compressed));
    return text;
}

std::string status_text(char status) {
    if (status >= 0x20 && status < 0x7F) return std::string(1, status);
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(status)));
    return text;
}

std::string packet_line(const packet_record& record) {
    std::ostringstream line;
    line << '#' << record.sequence << (record.data ? " TC" : " TE") << " status=" << status_text(record.status)
         << " size=" << record.size;
    if (record.data) line << " compressed=" << record.compressed << " ratio=" << ratio_text(record);
    if (record.place) {
        line << " stream=" << record.place->stream << " window=" << record.place->read_begin + record.lead;
    }
    if (record.resend) line << " resend";
    line << (record.verified ? " verified" : " MISMATCH");
    if (!record.problem.empty()) line << ": " << record.problem;
    if (!record.note.empty()) line << " (" << record.note << ")";
    return line.str();
}

}  // namespace

std::string json_string(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// Every line says when, in seconds since the server started: events of
// different connections can then be put in order with the world's logs.
void reporter::json_line(const std::string& object) {
    if (!json_) return;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "{\"t\":%.6f,",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count());
    *json_ << stamp << object.substr(1) << std::endl;
}

void reporter::packet(const packet_record& record) {
    out_ << packet_line(record) << std::endl;
    if (!record.verified) err_ << "MISMATCH " << packet_line(record) << std::endl;
    std::ostringstream json;
    json << "{\"event\":\"packet\",\"seq\":" << record.sequence << ",\"connection\":" << record.connection
         << ",\"type\":\"" << (record.data ? "TC" : "TE") << "\",\"status\":" << json_string(status_text(record.status))
         << ",\"size\":" << record.size << ",\"compressed\":" << record.compressed
         << ",\"ratio\":" << (record.compressed ? ratio_text(record) : "null")
         << ",\"verified\":" << (record.verified ? "true" : "false");
    if (record.place) {
        json << ",\"stream\":" << record.place->stream << ",\"read_begin\":" << record.place->read_begin
             << ",\"window\":" << record.place->read_begin + record.lead;
    }
    if (record.logged_read_begin) json << ",\"pulse_end\":" << *record.logged_read_begin;
    json << ",\"resend\":" << (record.resend ? "true" : "false") << ",\"problem\":" << json_string(record.problem)
         << ",\"note\":" << json_string(record.note) << "}";
    json_line(json.str());
}

void reporter::event(const std::string& kind, const std::string& text, std::uint64_t connection) {
    out_ << "-- " << kind << ": " << text << std::endl;
    json_line("{\"event\":" + json_string(kind) + ",\"connection\":" + std::to_string(connection) +
              ",\"text\":" + json_string(text) + "}");
}

void reporter::mismatch(const std::string& text, std::uint64_t connection) {
    out_ << "MISMATCH connection " << connection << ": " << text << std::endl;
    err_ << "MISMATCH connection " << connection << ": " << text << std::endl;
    json_line("{\"event\":\"mismatch\",\"connection\":" + std::to_string(connection) +
              ",\"problem\":" + json_string(text) + "}");
}

void reporter::expectation(const std::string& step, bool held, const std::string& detail) {
    out_ << (held ? "-- held: " : "EXPECTATION FAILED: ") << step << (detail.empty() ? "" : " (" + detail + ")")
         << std::endl;
    if (!held) err_ << "EXPECTATION FAILED: " << step << (detail.empty() ? "" : " (" + detail + ")") << std::endl;
    json_line("{\"event\":\"expect\",\"step\":" + json_string(step) + ",\"held\":" + (held ? "true" : "false") +
              ",\"detail\":" + json_string(detail) + "}");
}

void reporter::summary(const run_counts& counts, std::int64_t tolerance, bool log_attached) {
    std::ostringstream line;
    line << "summary: packets=" << counts.packets << " data=" << counts.data << " ack=" << counts.acks
         << " verified=" << counts.verified << " mismatches=" << counts.mismatches
         << " expectations=" << counts.expectations - counts.expectations_failed << "/" << counts.expectations
         << " connections=" << counts.connections << " resends=" << counts.resends << " words=" << counts.words
         << " window=" << (log_attached ? "placed_by_log tolerance=" + std::to_string(tolerance) : "searched_without_log")
         << (counts.interrupted ? " interrupted" : "") << " result=" << (counts.passed() ? "ok" : "FAILED");
    out_ << line.str() << std::endl;
    std::ostringstream json;
    json << "{\"event\":\"summary\",\"packets\":" << counts.packets << ",\"data\":" << counts.data
         << ",\"ack\":" << counts.acks << ",\"verified\":" << counts.verified << ",\"mismatches\":" << counts.mismatches
         << ",\"expectations\":" << counts.expectations << ",\"expectations_failed\":" << counts.expectations_failed
         << ",\"connections\":" << counts.connections << ",\"resends\":" << counts.resends
         << ",\"words\":" << counts.words << ",\"tolerance\":" << tolerance
         << ",\"pic_log\":" << (log_attached ? "true" : "false")
         << ",\"interrupted\":" << (counts.interrupted ? "true" : "false")
         << ",\"passed\":" << (counts.passed() ? "true" : "false") << "}";
    json_line(json.str());
}

}  // namespace refserver
