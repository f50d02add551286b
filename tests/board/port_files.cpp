#include "board/port_files.h"

#include "ipc/shared_state.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::uint32_t read_word(const unique_fd& port, off_t offset) {
    std::uint32_t word = 0;
    EXPECT_EQ(pread(port.get(), &word, sizeof word, offset), 4);
    return word;
}

void write_word(const unique_fd& port, off_t offset, std::uint32_t word) {
    EXPECT_EQ(pwrite(port.get(), &word, sizeof word, offset), 4);
}

}  // namespace

port_files::port_files() {
    folder_ = testing::TempDir() + "ports-" + std::to_string(getpid());
    std::filesystem::create_directories(folder_);
    for (auto [port, name] : {std::pair{&porta_fd, "a"}, {&portb_fd, "b"}, {&portc_fd, "c"}, {&portf_fd, "f"},
                              {&porth_fd, "h"}}) {
        port->reset(open((folder_ + "/port" + name).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        std::uint32_t zero[2] = {0, 0};
        EXPECT_EQ(pwrite(port->get(), zero, sizeof zero, 0), 8);
    }
}

port_files::~port_files() {
    gpio_close();
    std::filesystem::remove_all(folder_);
}

std::uint32_t port_files::data(const unique_fd& port) const { return read_word(port, 0); }
std::uint32_t port_files::direction(const unique_fd& port) const { return read_word(port, 4); }
void port_files::set_data(const unique_fd& port, std::uint32_t word) const { write_word(port, 0, word); }
void port_files::set_direction(const unique_fd& port, std::uint32_t word) const { write_word(port, 4, word); }

void open_test_semaphores() {
    ipc_key = ftok("/", 101);
    ASSERT_TRUE(open_semaphores());
}
