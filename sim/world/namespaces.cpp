// Entering the namespaces and building /dev, /proc and the loopback inside them.
#include "namespaces.h"

#include "device_binder.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace boardsim {

namespace {

bool write_file(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd == -1) return false;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

std::string failure(const std::string& what) { return what + ": " + std::generic_category().message(errno); }

// Holds the node exporter's textfile directory.
constexpr char textfile_parent[] = "/var/lib/prometheus";

const char* const host_nodes[] = {"null", "zero", "full", "random", "urandom", "tty", "fuse"};

}  // namespace

bool enter_namespaces(std::string& error) {
    if (geteuid() != 0) {
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER) != 0) {
            error = failure("cannot create a user namespace");
            return false;
        }
        if (!write_file("/proc/self/setgroups", "deny") ||
            !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            error = failure("cannot map the user into its namespace");
            return false;
        }
    }
    if (unshare(CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWNET | CLONE_NEWPID) != 0) {
        error = failure("cannot create the world's namespaces");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        error = failure("cannot make the mounts private");
        return false;
    }
    return true;
}

bool build_dev(const std::string& board_dir, std::string& error) {
    // Held open so the nodes can still be bound once /dev is covered.
    std::vector<int> nodes;
    for (const char* name : host_nodes) nodes.push_back(open(("/dev/" + std::string(name)).c_str(), O_PATH | O_CLOEXEC));
    bool ok = mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=1m") == 0;
    if (!ok) error = failure("cannot mount a tmpfs on /dev");
    for (std::size_t i = 0; ok && i < nodes.size(); ++i) {
        if (nodes[i] == -1) continue;  // a host without it
        ok = bind_file("/proc/self/fd/" + std::to_string(nodes[i]), "/dev/" + std::string(host_nodes[i]));
        if (!ok) error = failure("cannot bind /dev/" + std::string(host_nodes[i]));
    }
    for (int fd : nodes) {
        if (fd != -1) close(fd);
    }
    if (!ok) return false;
    if (mkdir("/dev/pts", 0755) != 0 ||
        mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") != 0 ||
        symlink("pts/ptmx", "/dev/ptmx") != 0) {
        error = failure("cannot mount a new devpts");
        return false;
    }
    if (mkdir("/dev/shm", 01777) != 0 || mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        error = failure("cannot mount /dev/shm");
        return false;
    }
    for (auto [target, name] : {std::pair{"/proc/self/fd", "/dev/fd"}, std::pair{"/proc/self/fd/0", "/dev/stdin"},
                                std::pair{"/proc/self/fd/1", "/dev/stdout"}, std::pair{"/proc/self/fd/2", "/dev/stderr"}}) {
        if (symlink(target, name) != 0) {
            error = failure(std::string("cannot link ") + name);
            return false;
        }
    }
    if (mkdir(board_dir.c_str(), 0755) != 0) {
        error = failure("cannot create " + board_dir);
        return false;
    }
    return true;
}

bool mount_private_run(std::string& error) {
    if (mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755,size=1m") == 0) return true;
    error = failure("cannot mount a tmpfs on /run");
    return false;
}

bool mount_textfile_dir(bool present, std::string& error) {
    struct stat parent {};
    if (stat(textfile_parent, &parent) != 0 || !S_ISDIR(parent.st_mode)) {
        if (!present) return true;
        error = std::string("no ") + textfile_parent + " to mount the textfile directory in (prometheus-node-exporter makes it)";
        return false;
    }
    if (mount("tmpfs", textfile_parent, "tmpfs", MS_NOSUID | MS_NODEV, "mode=755,size=1m") != 0) {
        error = failure(std::string("cannot mount a tmpfs on ") + textfile_parent);
        return false;
    }
    if (present && mkdir((std::string(textfile_parent) + "/node-exporter").c_str(), 0755) != 0) {
        error = failure("cannot create the textfile directory");
        return false;
    }
    return true;
}

bool mount_proc() { return mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0; }

bool loopback_up() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

}  // namespace boardsim
