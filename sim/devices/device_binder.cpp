// Binding the board's device files into the world's /dev.
#include "device_binder.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace boardsim {

namespace {

const char* const device_names[] = {"porta", "portb", "portc", "portf", "porth",
                                    "adc0",  "adc1",  "adc2",  "adc3",  "adc4"};

}  // namespace

bool bind_file(const std::string& source, const std::string& target) {
    int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1) return false;
    close(fd);
    return mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

bool device_binder::bind_uart(const std::string& terminal, std::string& error) {
    if (bind_file(terminal, "/dev/ttyAM1")) return true;
    error = std::string("cannot bind /dev/ttyAM1: ") + std::generic_category().message(errno);
    return false;
}

bool device_binder::start_filesystem(std::string& error) { return fs_.start(board_dir, error); }

bool device_binder::bind_present(std::string& error) {
    for (const char* name : device_names) {
        bool present = false;
        {
            std::lock_guard guard(board_lock_);
            present = board_.device(name) != device_state::missing;
        }
        if (present && !bind(name)) {
            error = "cannot bind /dev/" + std::string(name) + ": " + std::generic_category().message(errno);
            return false;
        }
    }
    return true;
}

bool device_binder::bind(const std::string& name) {
    return bind_file(std::string(board_dir) + "/" + name, "/dev/" + name);
}

void device_binder::unbind(const std::string& name) {
    std::string path = "/dev/" + name;
    umount2(path.c_str(), MNT_DETACH);
    unlink(path.c_str());
}

// The filesystem's connection ends only once nothing is bound from it.
void device_binder::stop() {
    for (const char* name : device_names) unbind(name);
    fs_.stop();
}

}  // namespace boardsim
