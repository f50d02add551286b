// The board's one UART: a pseudo-terminal whose slave is the host's
// "/dev/ttyAM1", switched between four channels by port H bits 2-3. Each
// channel has a device behind it: the PIC, the fixture's answers, an echo, or
// a Unix socket a test talks to. Every method except run expects the world's
// lock to be held.
#pragma once

#include "pic_model.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace boardsim {

class event_log;

class channel_device {
public:
    virtual ~channel_device() = default;
    virtual std::string describe() const = 0;
    // Bytes the host sent while this channel was selected.
    virtual void from_host(const std::uint8_t* data, std::size_t count, double now) = 0;
    // Appends what the device sends by `now`.
    virtual void to_host(double now, std::vector<std::uint8_t>& out) = 0;
    // The last `count` bytes of to_host never reached the host.
    virtual void undelivered(std::size_t count, double now);
    // Picks up input from outside the world without blocking.
    virtual void service() {}
    virtual int wake_fd() const { return -1; }
    // Stream bytes are too many to log one by one.
    virtual bool log_output() const { return true; }
};

enum class answer_kind { bit7, bit6, none, echo };

// `unread` tells what the host has not yet read of the line's input.
std::unique_ptr<channel_device> make_pic_device(pic_model& pic, std::function<std::size_t()> unread);
std::unique_ptr<channel_device> make_answer_device(answer_kind kind);
std::unique_ptr<channel_device> make_silent_device();
// Listens on `path`; nullptr with `error` set when it cannot.
std::unique_ptr<channel_device> make_socket_device(const std::string& path, std::string& error);

class uart_switch {
public:
    explicit uart_switch(event_log& log);
    ~uart_switch();

    // Opens a pseudo-terminal in the world's devpts; its slave stays open
    // here, raw, so the line never hangs up and nothing echoes.
    bool open(std::string& error);
    std::string slave_path() const { return slave_path_; }
    std::size_t unread() const;
    // The same once bytes the world just wrote have reached the host's queue.
    std::size_t settled_unread() const;

    void attach(unsigned channel, std::unique_ptr<channel_device> device);
    std::string describe(unsigned channel) const;
    unsigned selected() const { return selected_; }
    // Bytes already written by the host still go to the old channel.
    void select(unsigned channel, double now);

    void pump(double now);
    // Adds every byte written to the host to `counter`.
    void count_written_in(std::atomic<std::uint64_t>* counter) { written_ = counter; }

    std::uint32_t serial_flags() const { return serial_flags_; }
    void set_serial_flags(std::uint32_t flags) { serial_flags_ = flags; }

    // Pumps about every millisecond until `stop` is set.
    void run(std::mutex& world_lock, const std::atomic<bool>& stop);

private:
    void drain_host(double now);
    void deliver(unsigned channel, double now);
    std::size_t write_to_host(const std::vector<std::uint8_t>& bytes);

    event_log& log_;
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    unsigned selected_ = 0;
    std::uint32_t serial_flags_ = 0;
    std::array<std::unique_ptr<channel_device>, 4> devices_;
    std::atomic<std::uint64_t>* written_ = nullptr;
};

}  // namespace boardsim
