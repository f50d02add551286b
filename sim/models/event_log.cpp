// The world's log: entries in memory, mirrored to one file per kind.
#include "event_log.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>

namespace boardsim {

double event_log::now() {
    static const auto start = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool event_log::write_to(const std::string& directory) {
    mkdir(directory.c_str(), 0755);
    struct stat info {};
    if (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    std::lock_guard lock(mutex_);
    directory_ = directory;
    return true;
}

void event_log::add(const std::string& kind, const std::string& text) { add(kind, text, now()); }

void event_log::add(const std::string& kind, const std::string& text, double time) {
    std::lock_guard lock(mutex_);
    log_entry entry{entries_.size() + 1, time, kind, text};
    if (!directory_.empty()) {
        auto [file, created] = files_.try_emplace(kind);
        if (created) file->second.open(directory_ + "/" + kind + ".log", std::ios::app);
        file->second << format(entry) << '\n' << std::flush;
    }
    entries_.push_back(std::move(entry));
}

std::uint64_t event_log::mark() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::vector<log_entry> event_log::read(const std::string& kind, const std::string& first_word,
                                       std::uint64_t since) const {
    std::lock_guard lock(mutex_);
    std::vector<log_entry> found;
    for (std::size_t i = since; i < entries_.size(); ++i) {
        const log_entry& entry = entries_[i];
        if (entry.kind != kind) continue;
        if (!first_word.empty() && entry.text.compare(0, first_word.size() + 1, first_word + " ") != 0 &&
            entry.text != first_word) {
            continue;
        }
        found.push_back(entry);
    }
    return found;
}

std::string event_log::format(const log_entry& entry) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "seq=%llu t=%.6f ", static_cast<unsigned long long>(entry.seq), entry.time);
    return stamp + entry.text;
}

}  // namespace boardsim
