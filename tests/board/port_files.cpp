#include "board/port_files.h"

#include "ipc/shared_state.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

namespace {

// A new open of the same file, with an access of its own.
unique_fd reopened(const unique_fd& file, int access) {
    return unique_fd(open(("/proc/self/fd/" + std::to_string(file.get())).c_str(), access | O_CLOEXEC));
}

}  // namespace

void GpioLines::SetUp() {
    ipc_key = ftok("/", 101);  // this test process's private IPC world
    ASSERT_TRUE(open_semaphores());
    for (unique_fd* port : {&porta_fd, &portb_fd, &portc_fd, &portf_fd, &porth_fd}) {
        unique_fd& own = own_[port];
        own.reset(memfd_create("port", MFD_CLOEXEC));
        ASSERT_EQ(ftruncate(own.get(), 8), 0);
        *port = reopened(own, O_RDWR);
    }
}

std::uint32_t GpioLines::word(const unique_fd& port, off_t offset) const {
    std::uint32_t value = 0;
    EXPECT_EQ(pread(own_.at(&port).get(), &value, sizeof value, offset), 4);
    return value;
}

void GpioLines::set_word(const unique_fd& port, off_t offset, std::uint32_t value) const {
    EXPECT_EQ(pwrite(own_.at(&port).get(), &value, sizeof value, offset), 4);
}

void GpioLines::make_write_only(unique_fd& port) const {
    port = reopened(own_.at(&port), O_WRONLY);
    ASSERT_TRUE(port.valid());
}
