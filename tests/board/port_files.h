// Memory files stand in for the port devices: pread and pwrite at offsets 0
// and 4 behave on them as on the board's driver.
#pragma once

#include "board/gpio.h"

#include <sys/types.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>

class GpioLines : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override { gpio_close(); }

    // Through a descriptor of their own, whatever the port's one allows.
    std::uint32_t data(const unique_fd& port) const { return word(port, 0); }
    std::uint32_t direction(const unique_fd& port) const { return word(port, 4); }
    void set_data(const unique_fd& port, std::uint32_t value) const { set_word(port, 0, value); }
    void set_direction(const unique_fd& port, std::uint32_t value) const { set_word(port, 4, value); }

    // Reopens the port's file write-only: its reads fail, its writes land.
    void make_write_only(unique_fd& port) const;

private:
    std::uint32_t word(const unique_fd& port, off_t offset) const;
    void set_word(const unique_fd& port, off_t offset, std::uint32_t value) const;
    std::map<const unique_fd*, unique_fd> own_;
};
