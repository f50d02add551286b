// The board's models wired together: port H switches the UART between its
// channels, port B feeds the PIC, the PIC answers on channel 0. One lock
// guards the models, the UART and the PIC's settings.
#pragma once

#include "board_model.h"
#include "event_log.h"
#include "pic_model.h"
#include "uart.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace boardsim {

class simulated_board {
public:
    // Two words: the bytes the host took off the line, counted by the
    // preload shim, then the bytes the world wrote to it.
    static constexpr const char* consumed_counter_path = "/dev/.uart-consumed";

    explicit simulated_board(event_log& log);
    ~simulated_board();
    simulated_board(const simulated_board&) = delete;
    simulated_board& operator=(const simulated_board&) = delete;

    // Makes the counters the shim shares; the world's /dev must exist.
    bool share_consumed_counter(std::string& error);
    // Opens the UART with the PIC, or the fixture's answers, behind it.
    bool open(bool fixture, std::string& error);
    // Pumps the UART on a thread of its own until stop.
    void start();
    void stop();

    // Every accessor below expects the lock to be held.
    std::mutex& lock() { return lock_; }
    board_model& board() { return board_; }
    pic_model& pic() { return pic_; }
    // Changes take effect through pic().configure(settings()).
    pic_settings& settings() { return settings_; }
    uart_switch& uart() { return uart_; }
    std::unique_ptr<channel_device> pic_device();

private:
    void note_pic_line(const std::string& line);
    void before_change(port_id port, std::uint32_t old_level, std::uint32_t new_level);
    void after_write(port_id port, std::uint32_t level);
    std::string stamp(port_id port) const;
    std::size_t host_unread() const;

    event_log& log_;
    std::mutex lock_;
    pic_settings settings_;
    std::size_t port_b_unread_ = 0;  // the host's unread stream at the last port B write
    // Bytes the host has taken off the line, then the bytes written to it.
    std::atomic<std::uint64_t>* host_consumed_ = nullptr;
    static constexpr std::size_t counters_size = 2 * sizeof(std::uint64_t);
    std::uint64_t consumed_at_stream_start_ = 0;
    pic_model pic_;
    uart_switch uart_;
    board_model board_;
    std::atomic<bool> stopping_{false};
    std::thread pump_;
};

}  // namespace boardsim
