#include "ipc/service_pid.h"

#include "base/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace {

// The locked file is still the one the path names: a service that ended
// meanwhile may have removed the file this one opened.
bool still_at_path(int fd) {
    struct stat opened {}, named {};
    return fstat(fd, &opened) == 0 && stat(service_pid_path, &named) == 0 && opened.st_ino == named.st_ino &&
           opened.st_dev == named.st_dev;
}

unique_fd locked_pid_file() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        unique_fd file(open(service_pid_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!file) {
            log_failure() << "Cannot open " << service_pid_path;
            return {};
        }
        if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
            log_failure() << "Another service is running";
            return {};
        }
        if (still_at_path(file.get())) return file;
    }
    return {};
}

}  // namespace

service_pid_claim::service_pid_claim() {
    unique_fd file = locked_pid_file();
    if (!file) return;
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(file.get(), 0) != 0 ||
        pwrite(file.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        log_failure() << "Cannot write " << service_pid_path;
        unlink(service_pid_path);
        return;
    }
    file_ = std::move(file);
}

// Removed while still locked, so no other service's fresh file is removed.
service_pid_claim::~service_pid_claim() {
    if (file_) unlink(service_pid_path);
}

bool service_alive() {
    unique_fd file(open(service_pid_path, O_RDONLY | O_CLOEXEC));
    if (!file) return false;
    return flock(file.get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}
