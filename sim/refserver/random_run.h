// The world a random run makes beside the service: the tovk commands it
// starts (random_script.h), small socket buffers and a server address that
// never answers.
#pragma once

#include "script.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace refserver {

struct side_command {
    std::vector<std::string> words;  // after "tovk"
    double at = 0;
    pid_t pid = -1;
    bool ended = false;
    int status = -1;  // exit status, or 128 + signal

    std::string text() const;  // "tovk" and the words
};

// The side commands, the socket buffers and the black hole of one run.
class random_run {
public:
    using clock = std::chrono::steady_clock;

    random_run();
    ~random_run();
    random_run(const random_run&) = delete;
    random_run& operator=(const random_run&) = delete;

    void set_tovk(std::string path) { tovk_ = std::move(path); }
    void schedule(const step& side);
    // Starts the side commands that are due and collects those that ended.
    void tick();
    bool sides_running() const;
    std::string running_text() const;
    const std::vector<side_command>& sides() const { return sides_; }

    // Small buffers: the world's TCP send buffers (the namespace is private)
    // and the receive buffer of the connections accepted from `listener` on.
    bool set_small_buffers(bool small, int listener, std::string& error);
    // A listener on ADDR:port whose accept queue is full, so SYNs are dropped.
    bool open_blackhole(const std::string& address, std::uint16_t port, std::string& error);

private:
    void start(side_command& side);

    std::string tovk_;
    clock::time_point began_ = clock::now();
    std::vector<side_command> sides_;
    std::string saved_wmem_;
    int saved_rcvbuf_ = -1;
    std::vector<int> blackhole_fds_;
};

}  // namespace refserver
