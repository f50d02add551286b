// Every test process gets its own System V IPC and mount namespace (inside a
// user namespace when not root), so tests never meet the machine's record or
// each other, and may run in parallel. Each test in it starts with a fresh
// IPC namespace, network namespace and /run as well, so a whole binary run alone behaves as
// ctest's one process per test.
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool write_file(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd == -1) return false;
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

bool enter_private_namespaces() {
    int flags = CLONE_NEWIPC | CLONE_NEWNS;
    if (geteuid() == 0) return unshare(flags) == 0;
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(flags | CLONE_NEWUSER) != 0) return false;
    return write_file("/proc/self/setgroups", "deny") &&
           write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

// A new network namespace has its loopback down.
bool loopback_up() {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = sock != -1 && ioctl(sock, SIOCGIFFLAGS, &request) == 0 &&
              (request.ifr_flags |= IFF_UP, ioctl(sock, SIOCSIFFLAGS, &request) == 0);
    if (sock != -1) close(sock);
    return up;
}

class fresh_ipc_per_test : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        // A /run and a network of its own too: the service's pid file and
        // its liveness socket are the test's alone.
        if (unshare(CLONE_NEWIPC | CLONE_NEWNET) != 0 || !loopback_up() ||
            mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0) {
            std::fprintf(stderr, "cannot give the test fresh IPC and network namespaces and /run: %s\n",
                         std::strerror(errno));
            std::exit(1);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!enter_private_namespaces() || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "cannot enter private IPC and mount namespaces: %s\n", std::strerror(errno));
        return 1;
    }
    testing::UnitTest::GetInstance()->listeners().Append(new fresh_ipc_per_test);
    return RUN_ALL_TESTS();
}
