// What the simulated PIC's log says about its streams: each start frame opens
// a stream, each select pulse is stamped in the stream bytes the host had
// consumed. Lines may carry the world's own "seq=... t=..." prefix; the kind
// word is the first word without "=".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace refserver {

struct logged_pulse {
    unsigned mask = 0;
    std::int64_t start = 0;
    std::optional<std::int64_t> width;  // none when the stream was replaced mid-pulse

    std::optional<std::int64_t> end() const {
        if (!width) return std::nullopt;
        return start + *width;
    }
};

struct logged_stream {
    std::uint64_t number = 0;
    bool sampling = false;  // sampling start (captures, legacy commands), not packet start
    unsigned channels = 0;
    std::vector<logged_pulse> pulses;
    std::uint64_t lost = 0;  // bytes the line could not deliver
    bool ended = false;
    std::optional<std::int64_t> closed_at;  // consumed when PIC attention first rose: the host ended the exchange
};

class pic_log {
public:
    pic_log() = default;
    explicit pic_log(std::string path) : path_(std::move(path)) {}

    bool attached() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

    // Reads the lines appended since the last call; a line still being
    // written waits for its end.
    void refresh();
    void add_line(const std::string& line);

    std::optional<std::uint64_t> seed() const { return seed_; }
    std::optional<unsigned> channels() const { return channels_; }
    const std::map<std::uint64_t, logged_stream>& streams() const { return streams_; }
    const logged_stream* stream(std::uint64_t number) const;

    // A stream the service captured from: a sampling stream with exactly one
    // select pulse (a pulse-coded command has three).
    static bool is_capture(const logged_stream& stream);

private:
    std::string path_;
    std::uint64_t offset_ = 0;
    std::string unfinished_;
    std::optional<std::uint64_t> seed_;
    std::optional<unsigned> channels_;
    std::map<std::uint64_t, logged_stream> streams_;
};

}  // namespace refserver
