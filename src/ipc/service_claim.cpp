#include "ipc/service_claim.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr char claim_name[] = "tovk-service";

struct claim_address {
    sockaddr_un address{};
    socklen_t length = 0;

    claim_address() {
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, claim_name, sizeof claim_name - 1);  // sun_path[0] = 0: abstract
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof claim_name);
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address); }
};

unique_fd claim_socket() { return unique_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)); }

bool write_pid_file() {
    unique_fd file(open(service_pid_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    std::string pid = std::to_string(getpid()) + "\n";
    return file && write(file.get(), pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
}

}  // namespace

service_claim::service_claim() {
    unique_fd listener = claim_socket();
    claim_address address;
    if (!listener || bind(listener.get(), address.get(), address.length) != 0 || listen(listener.get(), 16) != 0) {
        if (errno == EADDRINUSE) {
            std::clog << "Another service is running" << std::endl;
        } else {
            std::clog << "Cannot claim the service: " << std::strerror(errno) << std::endl;
        }
        return;
    }
    listener_ = std::move(listener);
    pid_file_written_ = write_pid_file();
    if (!pid_file_written_) {
        std::clog << "Cannot write " << service_pid_path << "; running without a pid file" << std::endl;
        unlink(service_pid_path);
    }
}

void service_claim::answer_checks() {
    if (!listener_) return;
    for (int check; (check = accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) close(check);
}

// The pid file goes while the claim is still held, so a successor's file is
// never removed.
void service_claim::release() {
    if (!listener_) return;
    if (pid_file_written_) unlink(service_pid_path);
    listener_.reset();
}

// A full queue of checks still means a listener.
bool service_alive() {
    unique_fd check = claim_socket();
    claim_address address;
    if (!check) return true;
    return connect(check.get(), address.get(), address.length) == 0 || errno != ECONNREFUSED;
}
