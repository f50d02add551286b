// Wiring of the board's models to each other and to the UART.
#include "simulated_board.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace boardsim {

simulated_board::simulated_board(event_log& log)
    : log_(log),
      pic_(settings_, [this](const std::string& line) { note_pic_line(line); }),
      uart_(log),
      board_(log, board_hooks{
                      [this](port_id port, std::uint32_t old_level, std::uint32_t new_level) {
                          before_change(port, old_level, new_level);
                      },
                      [this](port_id port, std::uint32_t level) { after_write(port, level); },
                      [this](port_id port) { return stamp(port); },
                  }) {}

simulated_board::~simulated_board() {
    stop();
    if (host_consumed_ != nullptr) munmap(host_consumed_, counters_size);
}

void simulated_board::note_pic_line(const std::string& line) {
    if (line.rfind("stream_start", 0) == 0 && host_consumed_ != nullptr) {
        consumed_at_stream_start_ = host_consumed_->load();
    }
    log_.add("pic", line);
}

void simulated_board::before_change(port_id port, std::uint32_t old_level, std::uint32_t new_level) {
    if (port == port_id::h && ((old_level ^ new_level) & 0x0C)) {
        uart_.select((new_level >> 2) & 3, event_log::now());
    }
}

void simulated_board::after_write(port_id port, std::uint32_t level) {
    if (port != port_id::b) return;
    bool counted = pic_.status().streaming && uart_.selected() == 0;
    port_b_unread_ = counted ? host_unread() : uart_.unread();
    pic_.port_b_changed(static_cast<std::uint8_t>(level), port_b_unread_, event_log::now());
}

std::string simulated_board::stamp(port_id port) const {
    if (port != port_id::b) return {};
    pic_status status = pic_.status();
    std::uint64_t consumed = status.sent > port_b_unread_ ? status.sent - port_b_unread_ : 0;
    return "stream=" + std::to_string(status.stream_number) + " consumed=" + std::to_string(consumed);
}

// What the host has not read of the stream: exact from the shim's count,
// or, without it, the line's queue once the terminal has settled.
std::size_t simulated_board::host_unread() const {
    if (host_consumed_ == nullptr) return uart_.settled_unread();
    std::uint64_t sent = pic_.status().sent;
    std::uint64_t consumed = host_consumed_->load() - consumed_at_stream_start_;
    return sent > consumed ? static_cast<std::size_t>(sent - consumed) : 0;
}

std::unique_ptr<channel_device> simulated_board::pic_device() {
    return make_pic_device(pic_, [this] { return host_unread(); });
}

bool simulated_board::share_consumed_counter(std::string& error) {
    int fd = ::open(consumed_counter_path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1 || fchmod(fd, 0666) != 0 || ftruncate(fd, counters_size) != 0) {
        if (fd != -1) close(fd);
        error = std::string("cannot make ") + consumed_counter_path;
        return false;
    }
    void* mapped = mmap(nullptr, counters_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) {
        error = std::string("cannot map ") + consumed_counter_path;
        return false;
    }
    host_consumed_ = static_cast<std::atomic<std::uint64_t>*>(mapped);
    uart_.count_written_in(host_consumed_ + 1);
    return true;
}

bool simulated_board::open(bool fixture, std::string& error) {
    if (!uart_.open(error)) return false;
    board_.set_fixture(fixture);
    uart_.attach(0, fixture ? make_answer_device(answer_kind::bit7) : pic_device());
    for (unsigned channel = 1; channel < 3 && fixture; ++channel) {
        uart_.attach(channel, make_answer_device(answer_kind::bit7));
    }
    return true;
}

void simulated_board::start() {
    pump_ = std::thread([this] { uart_.run(lock_, stopping_); });
}

void simulated_board::stop() {
    stopping_ = true;
    if (pump_.joinable()) pump_.join();
}

}  // namespace boardsim
