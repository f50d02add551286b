#include "user_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace boardsim {

namespace {

bool write_file(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd == -1) return false;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

}  // namespace

bool become_root_in_user_namespace(std::string& error) {
    if (geteuid() == 0) return true;
    uid_t uid = getuid();
    gid_t gid = getgid();
    const char* failed = nullptr;
    if (unshare(CLONE_NEWUSER) != 0) {
        failed = "cannot create a user namespace";
    } else if (!write_file("/proc/self/setgroups", "deny") ||
               !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
               !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        failed = "cannot map the user into its namespace";
    }
    if (failed == nullptr) return true;
    error = std::string(failed) + ": " + std::generic_category().message(errno);
    return false;
}

}  // namespace boardsim
