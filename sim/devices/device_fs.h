// One userspace filesystem serving the port and ADC files. Direct I/O, so
// every read and write reaches the board model, under the world's lock.
#pragma once

#include "board_model.h"

#include <sys/stat.h>

#include <mutex>
#include <string>
#include <thread>

struct fuse;

namespace boardsim {

class device_fs {
public:
    device_fs(board_model& board, std::mutex& world_lock) : board_(board), lock_(world_lock) {}
    ~device_fs();
    device_fs(const device_fs&) = delete;
    device_fs& operator=(const device_fs&) = delete;

    // Mounts on `directory` and starts serving; false with `error` set on failure.
    bool start(const std::string& directory, std::string& error);
    void stop();

    // Handlers, called on the filesystem's threads.
    int attributes(const std::string& name, struct stat& info);
    int open_file(const std::string& name);
    int read_file(const std::string& name, char* buffer, std::size_t size, off_t offset);
    int write_file(const std::string& name, const char* buffer, std::size_t size, off_t offset);

private:
    int read_port(port_id port, char* buffer, std::size_t size, off_t offset);
    int read_adc(unsigned channel, char* buffer, std::size_t size);

    board_model& board_;
    std::mutex& lock_;
    struct fuse* fuse_ = nullptr;
    std::thread loop_;
};

}  // namespace boardsim
