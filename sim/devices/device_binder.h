// The board's entries in the world's /dev: the UART's terminal at /dev/ttyAM1,
// and the port and ADC files of one device filesystem, each bound in while the
// board model says it exists.
#pragma once

#include "board_model.h"
#include "device_fs.h"

#include <mutex>
#include <string>

namespace boardsim {

// Makes `target` (created empty if absent) show `source`.
bool bind_file(const std::string& source, const std::string& target);

class device_binder {
public:
    // Where the device filesystem is mounted, inside the world's /dev.
    static constexpr const char* board_dir = "/dev/.board";

    device_binder(board_model& board, std::mutex& board_lock)
        : board_(board), board_lock_(board_lock), fs_(board, board_lock) {}
    ~device_binder() { stop(); }
    device_binder(const device_binder&) = delete;
    device_binder& operator=(const device_binder&) = delete;

    bool bind_uart(const std::string& terminal, std::string& error);
    bool start_filesystem(std::string& error);
    // Binds every device the board has at start.
    bool bind_present(std::string& error);

    // Without the board's lock: binding looks the file up in the filesystem,
    // whose handlers take it.
    bool bind(const std::string& name);
    void unbind(const std::string& name);

    // Unbinds everything, then ends the filesystem.
    void stop();

private:
    board_model& board_;
    std::mutex& board_lock_;
    device_fs fs_;
};

}  // namespace boardsim
