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
    std::string program;             // "tovk" or "driver"
    std::vector<std::string> words;  // after the program
    double at = 0;
    double kill_after = 0;  // SIGKILL this long after the start; 0: never
    pid_t pid = -1;
    double started = 0;
    bool ended = false;
    int status = -1;  // exit status, or 128 + signal

    bool is_tovk(const char* command) const { return program == "tovk" && !words.empty() && words[0] == command; }
    std::string text() const;  // the program and the words
};

// The service when the run starts and stops it itself: `tovk i 127.0.0.1`,
// its log stream appended to the service log.
class service_child {
public:
    ~service_child();
    bool start(const std::string& tovk, const std::string& log_path);
    bool running();  // reaps it once it has ended
    void kill_now();
    void signal(int number);
    int status() const { return status_; }  // exit status, or 128 + signal; -1 while it runs

private:
    pid_t pid_ = -1;
    int status_ = -1;
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
    void set_driver(std::string path) { driver_ = std::move(path); }
    void schedule(const step& side);
    // Starts the side commands that are due and collects those that ended.
    void tick();
    bool sides_running() const;
    std::string running_text() const;
    const std::vector<side_command>& sides() const { return sides_; }
    // Starts `tovk WORDS` now; it ends like any side command. Its index in sides().
    std::size_t start_now(const std::vector<std::string>& words);
    // Processes the run killed: the service, or side commands cut short.
    std::uint64_t kills() const;
    void count_service_kill() { ++service_kills_; }

    // Small buffers: the world's TCP send buffers (the namespace is private)
    // and the receive buffer of the connections accepted from `listener` on.
    bool set_small_buffers(bool small, int listener, std::string& error);
    // A listener on ADDR:port whose accept queue is full, so SYNs are dropped.
    bool open_blackhole(const std::string& address, std::uint16_t port, std::string& error);

private:
    void start(side_command& side);

    std::string tovk_;
    std::string driver_;
    std::uint64_t service_kills_ = 0;
    clock::time_point began_ = clock::now();
    std::vector<side_command> sides_;
    std::string saved_wmem_;
    int saved_rcvbuf_ = -1;
    std::vector<int> blackhole_fds_;
};

}  // namespace refserver
