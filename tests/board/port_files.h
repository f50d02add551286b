// Plain files standing in for the port devices in unit tests: pread and
// pwrite at offsets 0 and 4 behave on them as on the board's driver.
#pragma once

#include "board/gpio.h"

#include <cstdint>
#include <string>

class port_files {
public:
    port_files();
    ~port_files();
    port_files(const port_files&) = delete;
    port_files& operator=(const port_files&) = delete;

    // Through a descriptor of their own, whatever the port's one allows.
    std::uint32_t data(const unique_fd& port) const;
    std::uint32_t direction(const unique_fd& port) const;
    void set_data(const unique_fd& port, std::uint32_t word) const;
    void set_direction(const unique_fd& port, std::uint32_t word) const;

    // Reopens the port's file write-only: its reads fail, its writes land.
    void make_write_only(unique_fd& port) const;

private:
    std::string path(const unique_fd& port) const;
    std::string folder_;
};

// The semaphore set of this test process's private IPC world.
void open_test_semaphores();
