#include "board/port_files.h"

#include "ipc/shared_state.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

namespace {

const std::pair<unique_fd*, const char*> port_names[] = {
    {&porta_fd, "a"}, {&portb_fd, "b"}, {&portc_fd, "c"}, {&portf_fd, "f"}, {&porth_fd, "h"}};

std::uint32_t read_word(const std::string& path, off_t offset) {
    unique_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::uint32_t word = 0;
    EXPECT_EQ(pread(file.get(), &word, sizeof word, offset), 4) << path;
    return word;
}

void write_word(const std::string& path, off_t offset, std::uint32_t word) {
    unique_fd file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    EXPECT_EQ(pwrite(file.get(), &word, sizeof word, offset), 4) << path;
}

}  // namespace

port_files::port_files() {
    folder_ = testing::TempDir() + "ports-" + std::to_string(getpid());
    std::filesystem::create_directories(folder_);
    for (auto [port, name] : port_names) {
        port->reset(open(path(*port).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        set_data(*port, 0);
        set_direction(*port, 0);
    }
}

port_files::~port_files() {
    gpio_close();
    std::filesystem::remove_all(folder_);
}

std::string port_files::path(const unique_fd& port) const {
    for (auto [each, name] : port_names) {
        if (each == &port) return folder_ + "/port" + name;
    }
    return folder_;  // no port's: every access to it fails
}

std::uint32_t port_files::data(const unique_fd& port) const { return read_word(path(port), 0); }
std::uint32_t port_files::direction(const unique_fd& port) const { return read_word(path(port), 4); }
void port_files::set_data(const unique_fd& port, std::uint32_t word) const { write_word(path(port), 0, word); }
void port_files::set_direction(const unique_fd& port, std::uint32_t word) const { write_word(path(port), 4, word); }

void port_files::make_write_only(unique_fd& port) const {
    port.reset(open(path(port).c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(port.valid());
}

void open_test_semaphores() {
    ipc_key = ftok("/", 101);
    ASSERT_TRUE(open_semaphores());
}
