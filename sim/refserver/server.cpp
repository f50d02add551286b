#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace refserver {

std::atomic<bool> session::stop_requested{false};

namespace {

// One line per sample: its time in milliseconds, then each output channel's bit.
bool write_samples(const std::string& path, const bytes& capture, const capture_format& format) {
    std::ofstream out(path, std::ios::trunc);
    out << "# ms";
    for (unsigned channel = 0; channel < format.out_channels; ++channel) out << " ch" << channel;
    out << '\n';
    std::size_t samples = capture.size() * 8 / format.out_channels;
    for (std::size_t sample = 0; sample < samples; ++sample) {
        out << static_cast<double>(sample) * 1000.0 / format.sample_rate;
        for (unsigned channel = 0; channel < format.out_channels; ++channel) {
            std::size_t bit = sample * format.out_channels + channel;
            out << ' ' << ((capture[bit / 8] >> (bit % 8)) & 1u);
        }
        out << '\n';
    }
    out.close();
    return static_cast<bool>(out);
}

using clock = session::clock;

clock::time_point after(double seconds) {
    return clock::now() + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
}

std::string seconds_with_unit(double seconds) {
    std::ostringstream text;
    text << seconds << " s";
    return text.str();
}

int poll_timeout_ms(clock::time_point deadline, bool short_naps) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    long long nap = short_naps ? 20 : 200;
    return static_cast<int>(std::clamp<long long>(left + 1, 0, nap));
}

}  // namespace

session::session(server_options options, std::vector<step> steps, reporter& report)
    : options_(std::move(options)),
      steps_(std::move(steps)),
      report_(report),
      log_(options_.pic_log_path),
      verifier_(options_.verify, log_) {
    random_.set_tovk(options_.tovk_path);
    random_.set_driver(options_.driver_path);
    drain_closes_ =
        std::any_of(steps_.begin(), steps_.end(), [](const step& each) { return each.kind == step_kind::audit; });
}

bool session::listen(std::string& error) {
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener_) {
        error = std::string("socket: ") + std::generic_category().message(errno);
        return false;
    }
    int yes = 1;
    setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // Set before listen so that accepted connections start with it.
    if (options_.receive_buffer > 0) {
        setsockopt(listener_.get(), SOL_SOCKET, SO_RCVBUF, &options_.receive_buffer, sizeof options_.receive_buffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    if (inet_pton(AF_INET, options_.bind_address.c_str(), &address.sin_addr) != 1) {
        error = "bad listen address " + options_.bind_address;
        return false;
    }
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 1) != 0) {
        error = "listen on " + options_.bind_address + ":" + std::to_string(options_.port) + ": " +
                std::generic_category().message(errno);
        return false;
    }
    socklen_t length = sizeof address;
    getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    return true;
}

void session::run() {
    for (const step& current : steps_) {
        if (stop_requested) break;
        run_step(current);
    }
    counts_.interrupted = stop_requested;
    if (connection_) close_connection("end of the script", ended_by::script);
}

void session::run_step(const step& current) {
    switch (current.kind) {
    case step_kind::accept: return record_expectation(current, ensure_connection(current.seconds), "no connection");
    case step_kind::send:
        if (!ensure_connection(30)) return record_expectation(current, false, "no connection to send on");
        send_bytes(current.bytes);
        return;
    case step_kind::request_word:
        options_.request_word = current.bytes;
        return;
    case step_kind::request: return run_request(current);
    case step_kind::continuous: return run_continuous(current);
    case step_kind::wait: pump(after(current.seconds), [] { return false; }); return;
    case step_kind::hold: holding_ = true; return;
    case step_kind::release: holding_ = false; return;
    case step_kind::slowread:
        read_rate_ = current.rate;
        read_allowance_ = 0;
        allowance_since_ = clock::now();
        return;
    case step_kind::disconnect:
        if (!connection_) return;
        if (current.abrupt) return abort_connection();
        count_acks_left_at_close();
        close_connection("disconnected by the script", ended_by::script);
        return;
    case step_kind::halfclose:
        if (connection_) ::shutdown(connection_->fd.get(), SHUT_WR);
        return;
    case step_kind::cut: return run_cut(current);
    case step_kind::expect_data: return expect_count(current, counts_.data, claimed_data_, "data packets");
    case step_kind::expect_ack: return expect_count(current, counts_.acks, claimed_acks_, "acknowledgements");
    case step_kind::expect_quiet: return expect_quiet(current);
    case step_kind::expect_closed: return expect_closed(current);
    default: return run_random_step(current);
    }
}

void session::run_random_step(const step& current) {
    std::string error;
    switch (current.kind) {
    case step_kind::side:
        if (options_.tovk_path.empty()) return record_expectation(current, false, "no --tovk to run it with");
        return random_.schedule(current);
    case step_kind::buffers:
        if (!random_.set_small_buffers(current.small_buffers, listener_.get(), error)) record_expectation(current, false, error);
        return;
    case step_kind::blackhole:
        if (!random_.open_blackhole(current.words[0], port_, error)) record_expectation(current, false, error);
        return;
    case step_kind::sides_done: {
        bool held = pump(after(current.seconds), [&] { return !random_.sides_running(); });
        return record_expectation(current, held, held ? "" : "still running: " + random_.running_text());
    }
    case step_kind::audit: return run_audit(current);
    case step_kind::service: return run_service_step(current);
    default: return;
    }
}

// The service's life under the run's hand: killed at any moment, stopped by
// a signal or by r, and a second one started beside it, which must refuse.
void session::run_service_step(const step& current) {
    const std::string& action = current.words[0];
    if (action != "start" && action != "second") {
        ++service_ends_;
        verifier_.forgive_gap();
        unfinished_.reset();
    }
    if (action == "start") {
        bool started = service_.start(options_.tovk_path, options_.service_log_path);
        if (!started) record_expectation(current, false, "cannot start the service");
    } else if (action == "kill") {
        if (service_.running()) random_.count_service_kill();
        service_.kill_now();
    } else if (action == "term") {
        service_.signal(SIGTERM);
        bool ended = pump(after(10), [&] { return !service_.running(); });
        record_expectation(current, ended && service_.status() == 0,
                           ended ? "ended with " + std::to_string(service_.status()) : "still running 10 s after SIGTERM");
    } else if (action == "stop") {
        // r returns once the service has left its loop: it is gone a moment later.
        std::size_t stop = random_.start_now({"r"});
        bool stopped = pump(after(15), [&] { return random_.sides()[stop].ended; });
        bool gone = stopped && pump(after(2), [&] { return !service_.running(); });
        int status = random_.sides()[stop].status;
        record_expectation(current, stopped && status == 0 && gone && service_.status() == 0,
                           !stopped ? "r still waiting after 15 s"
                           : status != 0 ? "r exited with " + std::to_string(status)
                           : !gone ? "r exited 0 while the service ran on"
                                   : "the service ended with " + std::to_string(service_.status()));
    } else if (action == "second") {
        std::size_t second = random_.start_now({"i", "127.0.0.1"});
        bool ended = pump(after(5), [&] { return random_.sides()[second].ended; });
        int status = random_.sides()[second].status;
        bool alone = !service_.running() || (ended && status == 1);
        if (!ended) ::kill(random_.sides()[second].pid, SIGKILL);
        record_expectation(current, alone, "a second service ran beside the first");
    }
}

// A command decoded just before the script's end may still be on its way
// through the PIC, or its acknowledgement on the wire: the audit waits up to
// 15 s, receiving, for the counts to agree before it judges.
void session::run_audit(const step& current) {
    std::string summary;
    std::vector<std::string> problems;
    auto deadline = after(15);
    while (true) {
        problems = audit_run({counts_.acks + acks_unread_at_close_, options_.pic_log_path, options_.service_log_path,
                              &random_.sides(), random_.kills() > 0 || service_ends_ > 0, abrupt_closes_},
                             summary);
        if (problems.empty() || clock::now() >= deadline || stop_requested) break;
        pump(after(0.5), [] { return false; });
    }
    report_.event("audit", summary + " kills=" + std::to_string(random_.kills()) + " resets=" + std::to_string(abrupt_closes_),
                  connection_ ? connection_->number : 0);
    std::string detail;
    for (const std::string& problem : problems) detail += (detail.empty() ? "" : "; ") + problem;
    record_expectation(current, problems.empty(), detail);
}

void session::run_request(const step& current) {
    for (std::uint64_t i = 0; i < current.requests && !stop_requested; ++i) {
        if (!ensure_connection(30)) return record_expectation(current, false, "no connection to send on");
        send_bytes(options_.request_word);
        if (i + 1 < current.requests) pump(after(current.interval), [] { return false; });
    }
}

// One request outstanding at a time; a new connection has lost the old one.
void session::run_continuous(const step& current) {
    std::uint64_t target = counts_.data + current.packets;
    auto deadline = current.packets == 0 || current.seconds == 0 ? clock::time_point::max() : after(current.seconds);
    auto reached = [&] { return current.packets != 0 && counts_.data >= target; };
    std::uint64_t asked_on = 0;
    std::uint64_t seen = counts_.data;
    while (!reached() && !stop_requested && clock::now() < deadline) {
        if (!connection_ && !pump(deadline, [&] { return connection_.has_value(); })) break;
        if (asked_on != connection_->number || counts_.data > seen) {
            seen = counts_.data;
            asked_on = connection_->number;
            if (!send_bytes(options_.request_word)) continue;
        }
        pump(deadline, [&] { return !connection_ || counts_.data > seen || reached(); });
    }
    if (current.packets == 0) return;
    std::uint64_t got = counts_.data + current.packets - target;
    claimed_data_ += std::min(got, current.packets);
    record_expectation(current, reached(),
                       std::to_string(got) + " of " + std::to_string(current.packets) + " data packets within " +
                           seconds_with_unit(current.seconds));
}

void session::run_cut(const step& current) {
    cut_after_ = current.cut_after_bytes;
    cut_done_ = false;
    bool held = pump(after(30), [&] { return cut_done_; });
    if (!held) cut_after_.reset();
    if (!held && current.optional) return report_.event("cut", "no data packet arrived to cut within 30 s", 0);
    record_expectation(current, held, held ? "" : "no data packet arrived to cut within 30 s");
}

void session::expect_count(const step& current, const std::uint64_t& received, std::uint64_t& claimed,
                           const char* what) {
    bool held = pump(after(current.seconds), [&] { return received - claimed >= current.packets; });
    std::string detail = std::to_string(received - claimed) + " of " + std::to_string(current.packets) + " " + what +
                         " within " + seconds_with_unit(current.seconds);
    claimed = held ? claimed + current.packets : received;
    record_expectation(current, held, held ? "" : detail);
}

void session::expect_quiet(const step& current) {
    std::uint64_t before = counts_.packets;
    bool disturbed = pump(after(current.seconds), [&] { return counts_.packets != before; });
    record_expectation(current, !disturbed, disturbed ? "packet #" + std::to_string(before + 1) + " arrived" : "");
}

void session::expect_closed(const step& current) {
    std::uint64_t before = closes_by_service_;
    bool held = pump(after(current.seconds), [&] { return closes_by_service_ > before; });
    record_expectation(current, held, held ? "" : "the connection stayed open");
}

void session::record_expectation(const step& current, bool held, const std::string& detail) {
    ++counts_.expectations;
    if (!held) ++counts_.expectations_failed;
    report_.expectation(current.text, held, held ? "" : detail);
}

bool session::ensure_connection(double seconds) {
    return connection_ || pump(after(seconds), [&] { return connection_.has_value(); });
}

bool session::pump(clock::time_point deadline, const std::function<bool()>& done) {
    while (true) {
        random_.tick();
        if (done()) return true;
        if (stop_requested || clock::now() >= deadline) return false;
        pollfd watched{-1, POLLIN, 0};
        bool throttled = holding_ || read_rate_ > 0;
        if (!connection_) {
            watched.fd = listener_.get();
        } else if ((!holding_ || cut_after_) && read_limit() > 0) {
            watched.fd = connection_->fd.get();
        }
        int ready = ::poll(&watched, 1, poll_timeout_ms(deadline, throttled));
        if (ready <= 0 || watched.fd < 0) continue;
        if (!connection_) {
            accept_connection();
        } else {
            read_connection();
        }
    }
}

void session::accept_connection() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int fd = ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) return;
    connection_.emplace();
    connection_->fd.reset(fd);
    connection_->number = ++counts_.connections;
    connection_->service_ends = service_ends_;
    char address[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    report_.event("connect",
                  "connection " + std::to_string(connection_->number) + " from " + address + ":" +
                      std::to_string(ntohs(peer.sin_port)),
                  connection_->number);
}

// How much the next read may take: the slow-read allowance, and a pending cut
// stops exactly at its point inside the data packet.
std::size_t session::read_limit() {
    std::size_t limit = 65536;
    if (read_rate_ > 0) {
        auto now = clock::now();
        read_allowance_ += read_rate_ * std::chrono::duration<double>(now - allowance_since_).count();
        read_allowance_ = std::min(read_allowance_, std::max(read_rate_, 1.0));
        allowance_since_ = now;
        limit = std::min(limit, static_cast<std::size_t>(std::floor(read_allowance_)));
    }
    if (!cut_after_ || !connection_) return limit;
    std::size_t have = connection_->framer.partial().size();
    auto header = connection_->framer.partial_header();
    if (!header) return have < header_length ? std::min(limit, header_length - have) : limit;
    std::size_t stop = cut_point().value_or(header->total_length());
    return std::min(limit, stop > have ? stop - have : 0);
}

std::optional<std::size_t> session::cut_point() const {
    if (!cut_after_ || !connection_) return std::nullopt;
    auto header = connection_->framer.partial_header();
    if (!header || header->type != packet_type::data) return std::nullopt;
    std::size_t total = header->total_length();
    std::size_t point = *cut_after_ == 0 ? total / 2 : static_cast<std::size_t>(*cut_after_);
    return std::clamp(point, header_length, total - 1);
}

bool session::cut_point_reached() const {
    auto point = cut_point();
    return point && connection_->framer.partial().size() >= *point;
}

void session::read_connection() {
    std::size_t limit = read_limit();
    if (limit == 0) return;
    bytes buffer(limit);
    ssize_t count = ::recv(connection_->fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (count <= 0) {
        close_connection(count == 0 ? "closed by the service" : std::string("receive failed: ") + std::generic_category().message(errno),
                         count == 0 ? ended_by::service : ended_by::reset);
        return;
    }
    if (read_rate_ > 0) read_allowance_ -= static_cast<double>(count);
    connection_->framer.feed(buffer.data(), static_cast<std::size_t>(count));
    take_packets();
    if (!connection_ || !cut_point_reached()) return;
    const bytes& partial = connection_->framer.partial();
    std::string text = "cut after " + std::to_string(partial.size()) + " of " +
                       std::to_string(connection_->framer.partial_header()->total_length()) + " bytes of a data packet";
    bytes beginning = inflate_prefix(partial.data() + header_length, partial.size() - header_length,
                                     options_.verify.format.capture_length());
    if (auto place = verifier_.identify_partial(beginning)) text += " (stream " + std::to_string(place->stream) + ")";
    cut_after_.reset();
    cut_done_ = true;
    count_acks_left_at_close();
    close_connection(text, ended_by::script);
}

void session::take_packets() {
    while (connection_) {
        auto packet = connection_->framer.next();
        if (!packet) break;
        process(*packet);
    }
    if (connection_ && connection_->framer.broken()) {
        ++counts_.mismatches;
        report_.mismatch(connection_->framer.error(), connection_->number);
        close_connection("framing lost", ended_by::script);
    }
}

void session::process(const upstream_packet& packet) {
    packet_record record;
    record.sequence = ++counts_.packets;
    record.connection = connection_->number;
    record.status = packet.header.status;
    record.compressed = packet.header.payload_length;
    record.lead = options_.verify.format.lead_length();
    record.data = packet.header.type == packet_type::data;
    note_resend(packet, record);
    if (record.data) {
        ++counts_.data;
        process_data(packet, record);
    } else {
        ++counts_.acks;
        record.size = packet.header.payload_length;
        std::string problem = check_ack(packet.raw);
        record.problem += (record.problem.empty() || problem.empty() ? "" : "; ") + problem;
        record.verified = record.problem.empty();
    }
    if (record.verified) {
        ++counts_.verified;
    } else {
        ++counts_.mismatches;
    }
    report_.packet(record);
}

void session::process_data(const upstream_packet& packet, packet_record& record) {
    std::string problem = record.problem;
    auto add_problem = [&](const std::string& text) { problem += (problem.empty() ? "" : "; ") + text; };
    if (record.status != '0' && record.status != '1') add_problem("status character is not '0' or '1'");
    inflate_result inflated = inflate_payload(packet.raw.data() + header_length, packet.header.payload_length,
                                              options_.verify.format.capture_length());
    record.size = inflated.output.size();
    if (!inflated.error.empty()) {
        add_problem(inflated.error);
    } else {
        capture_verdict verdict = verifier_.verify(inflated.output);
        record.place = verdict.place;
        record.logged_read_begin = verdict.logged_read_begin;
        record.note += (record.note.empty() || verdict.note.empty() ? "" : "; ") + verdict.note;
        if (!verdict.verified) add_problem(verdict.problem);
    }
    record.problem = problem;
    record.verified = problem.empty();
    if (record.verified && !samples_written_ && !options_.samples_path.empty()) {
        samples_written_ = write_samples(options_.samples_path, inflated.output, options_.verify.format);
        report_.event("samples", (samples_written_ ? "written to " : "cannot write ") + options_.samples_path,
                      connection_->number);
    }
}

// The first packet of the same kind on a later connection must be the
// unfinished one again, from its first byte, when the service left it.
void session::note_resend(const upstream_packet& packet, packet_record& record) {
    if (!unfinished_ || unfinished_->connection >= connection_->number) return;
    const bytes& before = unfinished_->raw;
    auto header = before.size() >= header_length ? parse_header(before.data()).header : std::nullopt;
    if (header && header->type != packet.header.type) return;
    bool same = before.size() <= packet.raw.size() && std::equal(before.begin(), before.end(), packet.raw.begin());
    std::string where = std::to_string(before.size()) + " bytes on connection " + std::to_string(unfinished_->connection);
    if (same) {
        record.resend = true;
        ++counts_.resends;
        record.note = "sent again from byte 0 after " + where;
    } else if (unfinished_->left_by_service) {
        record.problem = "the packet left unfinished after " + where + " was not sent again from byte 0";
    } else {
        record.note = "the packet cut after " + where + " did not come again";
    }
    unfinished_.reset();
}

// Counts the acknowledgements among the bytes the close throws away (the
// unfinished packet included): those that have arrived, and with an audit
// those still on their way, which a plain close would lose in the reset. A
// data packet among them still settles a resend the service owed.
// Without an audit it only peeks, so the service's side of the close stays
// as the script made it.
void session::count_acks_left_at_close() {
    packet_framer unread;
    unread.feed(connection_->framer.partial().data(), connection_->framer.partial().size());
    if (drain_closes_) {
        drain_until_service_closes(unread);
    } else {
        bytes buffer(262144);
        ssize_t count = ::recv(connection_->fd.get(), buffer.data(), buffer.size(), MSG_PEEK | MSG_DONTWAIT);
        if (count > 0) unread.feed(buffer.data(), static_cast<std::size_t>(count));
    }
    std::uint64_t acks = 0;
    while (auto packet = unread.next()) {
        if (packet->header.type != packet_type::data) {
            ++acks;
            continue;
        }
        // A packet the service left unfinished before may come again after
        // the script's close: it still has to come from its first byte.
        packet_record record;
        note_resend(*packet, record);
        if (!record.problem.empty()) {
            ++counts_.mismatches;
            report_.mismatch("after the script's close: " + record.problem, connection_->number);
        }
    }
    if (unread.broken()) {
        ++counts_.mismatches;
        report_.mismatch("after the script's close: " + unread.error(), connection_->number);
    }
    if (acks == 0) return;
    acks_unread_at_close_ += acks;
    report_.event("unread", std::to_string(acks) + " acknowledgements left unread by the script's close",
                  connection_->number);
}

// The service sees the end of the connection only after the words still
// queued before it, each of which may cost a pass with a capture (1.1 s) or
// a PIC operation (up to 4.2 s); a script sends some twenty words, so 60 s
// bound the wait.
void session::drain_until_service_closes(packet_framer& unread) {
    int fd = connection_->fd.get();
    ::shutdown(fd, SHUT_WR);
    auto deadline = after(60);
    bytes buffer(65536);
    while (clock::now() < deadline && !stop_requested) {
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, 100) <= 0) continue;
        ssize_t count = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (count <= 0) return;
        unread.feed(buffer.data(), static_cast<std::size_t>(count));
    }
    report_.event("drain", "the service kept the connection open 60 s after the script's close", connection_->number);
}

// A server that closes with input unread resets the connection: whatever the
// service had sent and the server not yet read is lost on the server's
// side, and the audit is told how often that happened.
void session::abort_connection() {
    bytes buffer(262144);
    ssize_t count = ::recv(connection_->fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (count > 0) {
        connection_->framer.feed(buffer.data(), static_cast<std::size_t>(count));
        take_packets();
    }
    if (!connection_) return;
    linger reset{1, 0};
    setsockopt(connection_->fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ++abrupt_closes_;
    close_connection("reset by the script", ended_by::script);
}

void session::close_connection(const std::string& why, ended_by who) {
    const packet_framer& framer = connection_->framer;
    std::string text = "connection " + std::to_string(connection_->number) + " " + why;
    bool service_gone = connection_->service_ends != service_ends_;
    if (!framer.partial().empty() && !framer.broken() && !service_gone) {
        text += "; " + std::to_string(framer.partial().size()) + " bytes of an unfinished packet";
        unfinished_ = cut_prefix{framer.partial(), connection_->number, who == ended_by::service};
    }
    if (who != ended_by::service || service_gone) verifier_.forgive_gap();
    if (who != ended_by::script) ++closes_by_service_;
    report_.event("disconnect", text, connection_->number);
    connection_.reset();
}

// The packets that had arrived when the service ended the connection were
// delivered, whatever a hold or a slow read of the script left unread.
void session::take_what_arrived() {
    bytes buffer(65536);
    while (connection_) {
        ssize_t count = ::recv(connection_->fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (count <= 0) return;
        connection_->framer.feed(buffer.data(), static_cast<std::size_t>(count));
        take_packets();
    }
}

bool session::send_bytes(const std::vector<std::uint8_t>& data) {
    std::size_t sent = 0;
    while (connection_ && sent < data.size()) {
        ssize_t count = ::send(connection_->fd.get(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
        } else if (count < 0 && errno != EINTR) {
            // The service's kernel answers a word sent to a closed socket with
            // a reset, which drops what it still had to send: a reset either way.
            int error = errno;
            take_what_arrived();
            if (connection_) close_connection(std::string("send failed: ") + std::generic_category().message(error), ended_by::reset);
        }
    }
    counts_.words += sent / 4;
    return sent == data.size();
}

}  // namespace refserver
