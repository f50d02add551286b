// The world's observation record: every entry has a kind (lines, pic, serial,
// lowlat, uart, world), a sequence number that marks refer to, and a time in
// seconds since the world started. Optionally mirrored to one file per kind.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace boardsim {

struct log_entry {
    std::uint64_t seq = 0;
    double time = 0.0;
    std::string kind;
    std::string text;
};

class event_log {
public:
    // Seconds since the world started, from the monotonic clock.
    static double now();

    // Mirrors every later entry to DIR/<kind>.log; false if DIR is unusable.
    bool write_to(const std::string& directory);

    void add(const std::string& kind, const std::string& text);
    void add(const std::string& kind, const std::string& text, double time);

    // Sequence number of the last entry; entries after it are "since" it.
    std::uint64_t mark() const;

    // Entries of `kind` after `since`; `first_word` keeps only those whose
    // text starts with that word (empty keeps all).
    std::vector<log_entry> read(const std::string& kind, const std::string& first_word, std::uint64_t since) const;

    static std::string format(const log_entry& entry);

private:
    mutable std::mutex mutex_;
    std::vector<log_entry> entries_;
    std::string directory_;
    std::map<std::string, std::ofstream> files_;
};

}  // namespace boardsim
