#include "capture_verifier.h"

#include <algorithm>

namespace refserver {

namespace {

std::string list_of(const std::vector<std::uint64_t>& numbers) {
    std::string text;
    for (std::uint64_t number : numbers) text += (text.empty() ? "" : ",") + std::to_string(number);
    return text;
}

std::string place_text(const capture_place& place, const capture_format& format) {
    return "stream " + std::to_string(place.stream) + " window " + std::to_string(place.read_begin + format.lead_length());
}

// Where the log says the read began. Each stamp counts the stream bytes the
// host had consumed; a stamp taken from the tty's input queue runs ahead of
// the host while bytes are still inside the pseudo-terminal, so the earliest
// of three stamps is taken: the pulse's start plus the bytes read during it,
// the pulse's end, and the exchange's end minus the read. A stamp counted by
// the host itself is exact relative to the stream's other stamps, but the
// whole stream lags when the host's flush discards bytes still on their way.
std::optional<std::int64_t> capture_read_begin(const logged_stream* stream, const capture_format& format) {
    if (!stream || stream->pulses.empty()) return std::nullopt;
    const logged_pulse& pulse = stream->pulses.front();
    std::optional<std::int64_t> bound = pulse.end();
    auto lower = [&](std::int64_t stamp) { bound = bound ? std::min(*bound, stamp) : stamp; };
    lower(pulse.start + static_cast<std::int64_t>(format.pulse_length()));
    if (stream->closed_at) lower(*stream->closed_at - static_cast<std::int64_t>(format.read_length()));
    return bound;
}

}  // namespace

capture_verifier::capture_verifier(verifier_settings settings, pic_log& log)
    : settings_(settings),
      log_(log),
      source_(settings.seed, settings.pic_channels != 0 ? settings.pic_channels : settings.format.in_channels) {}

void capture_verifier::follow_log() {
    if (!log_.attached()) return;
    log_.refresh();
    std::uint64_t seed = log_.seed().value_or(source_.seed());
    unsigned channels = log_.channels().value_or(source_.pic_channels());
    if (seed != source_.seed() || channels != source_.pic_channels()) source_ = stream_bytes(seed, channels);
    for (const auto& [number, stream] : log_.streams()) {
        if (stream.channels != 0) source_.set_channels(number, stream.channels);
    }
}

std::vector<std::uint64_t> capture_verifier::candidates() const {
    std::uint64_t after = last_stream_.value_or(0);
    std::vector<std::uint64_t> streams;
    if (log_.attached()) {
        for (const auto& [number, stream] : log_.streams()) {
            if (number > after && pic_log::is_capture(stream)) streams.push_back(number);
        }
        return streams;
    }
    for (std::uint64_t number = after + 1; number <= after + settings_.search_streams; ++number) {
        streams.push_back(number);
    }
    return streams;
}

capture_verdict capture_verifier::verify(const bytes& capture) {
    follow_log();
    std::vector<std::uint64_t> streams = candidates();
    capture_verdict verdict;
    if (log_.attached()) {
        verify_against_log(capture, streams, verdict);
    } else {
        verify_by_search(capture, streams, verdict);
    }
    if (!verdict.place) {
        explain_unplaced(capture, verdict);
        const logged_stream* first = streams.empty() ? nullptr : log_.stream(streams.front());
        if (first && first->lost != 0) {
            verdict.problem += "; the line lost " + std::to_string(first->lost) + " bytes of stream " +
                               std::to_string(first->number);
        }
        return verdict;
    }
    check_order(verdict, streams);
    return verdict;
}

void capture_verifier::verify_against_log(const bytes& capture, const std::vector<std::uint64_t>& streams,
                                          capture_verdict& verdict) {
    if (streams.empty()) {
        verdict.problem = "the PIC log shows no capture after stream " + std::to_string(last_stream_.value_or(0));
        return;
    }
    std::optional<comparison> at_log;
    if (auto begin = capture_read_begin(log_.stream(streams.front()), settings_.format); begin && *begin >= 0) {
        capture_place expected{streams.front(), static_cast<std::uint64_t>(*begin)};
        at_log = compare_capture(capture, expected, settings_.format, source_);
        if (at_log->matches()) {
            verdict.place = expected;
            verdict.logged_read_begin = begin;
            verdict.verified = true;
            return;
        }
    }
    auto found = locate_capture(capture, streams, settings_.max_read_begin, settings_.format, source_);
    if (!found || !found->compared.matches()) {
        const comparison* nearest = found ? &found->compared : (at_log ? &*at_log : nullptr);
        verdict.problem = "no window of capture streams " + list_of(streams) + " matches";
        if (found) verdict.problem += "; nearest " + place_text(found->place, settings_.format);
        if (nearest) verdict.problem += ": " + describe_difference(*nearest);
        return;
    }
    verdict.place = found->place;
    verdict.logged_read_begin = capture_read_begin(log_.stream(found->place.stream), settings_.format);
    if (!verdict.logged_read_begin) {
        verdict.problem = "stream " + std::to_string(found->place.stream) + " has no complete select pulse in the log";
        return;
    }
    std::int64_t off = static_cast<std::int64_t>(found->place.read_begin) - *verdict.logged_read_begin;
    std::string where = "read began at " + std::to_string(found->place.read_begin) + ", " +
                        std::to_string(std::abs(off)) + " bytes " + (off < 0 ? "before" : "after") +
                        " the log's stamps (" + std::to_string(*verdict.logged_read_begin) + ")";
    if (std::abs(off) > settings_.tolerance) {
        verdict.problem = where;
        return;
    }
    verdict.verified = true;
    verdict.note = where + ", within the tolerance of " + std::to_string(settings_.tolerance);
}

void capture_verifier::verify_by_search(const bytes& capture, const std::vector<std::uint64_t>& streams,
                                        capture_verdict& verdict) {
    auto found = locate_capture(capture, streams, settings_.max_read_begin, settings_.format, source_);
    if (found && found->compared.matches()) {
        verdict.place = found->place;
        verdict.verified = true;
        return;
    }
    verdict.problem = "no window of streams " + std::to_string(streams.front()) + ".." +
                      std::to_string(streams.back()) + " matches";
    if (found) {
        verdict.problem += "; nearest " + place_text(found->place, settings_.format) + ": " +
                           describe_difference(found->compared);
    }
}

// A capture that fits no later stream may be an old one again.
void capture_verifier::explain_unplaced(const bytes& capture, capture_verdict& verdict) {
    if (!last_stream_) return;
    std::vector<std::uint64_t> older;
    for (std::uint64_t number = *last_stream_; number >= 1 && older.size() < 8; --number) {
        const logged_stream* logged = log_.stream(number);
        if (!log_.attached() || (logged && pic_log::is_capture(*logged))) older.push_back(number);
    }
    auto found = locate_capture(capture, older, settings_.max_read_begin, settings_.format, source_);
    if (found && found->compared.matches()) {
        verdict.problem += "; it is " + place_text(found->place, settings_.format) + ", not later than stream " +
                           std::to_string(*last_stream_) + " of the packet before";
    }
}

void capture_verifier::check_order(capture_verdict& verdict, const std::vector<std::uint64_t>& streams) {
    std::uint64_t stream = verdict.place->stream;
    // Without the log, streams in between may have carried commands.
    for (std::uint64_t number : streams) {
        if (log_.attached() && number < stream) verdict.skipped.push_back(number);
    }
    if (!verdict.skipped.empty()) {
        std::string what = "capture streams " + list_of(verdict.skipped) + " never arrived";
        if (gap_forgiven_) {
            verdict.note += (verdict.note.empty() ? "" : "; ") + what + " (lost with a cut connection)";
        } else {
            verdict.verified = false;
            verdict.problem += (verdict.problem.empty() ? "" : "; ") + what;
        }
    }
    if (const logged_stream* logged = log_.stream(stream); logged && logged->lost != 0) {
        verdict.note += (verdict.note.empty() ? "" : "; ") + std::string("the line lost ") +
                        std::to_string(logged->lost) + " bytes of this stream";
    }
    last_stream_ = stream;
    gap_forgiven_ = false;
    // Older streams are only searched again to name a repeated capture.
    if (stream > 8) source_.forget_before(stream - 8);
}

std::optional<capture_place> capture_verifier::identify_partial(const bytes& beginning) {
    follow_log();
    auto found = locate_capture(beginning, candidates(), settings_.max_read_begin, settings_.format, source_);
    if (!found || !found->compared.matches() || found->compared.compared_bytes == 0) return std::nullopt;
    return found->place;
}

}  // namespace refserver
