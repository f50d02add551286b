// The control socket's listener and its connections.
#include "control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace boardsim {

namespace {

int listen_unix(const std::string& path, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = "control socket path too long: " + path;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(path.c_str());
    if (fd == -1 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
        error = "cannot listen on " + path + ": " + std::generic_category().message(errno);
        if (fd != -1) close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

control_server::~control_server() { stop(); }

bool control_server::make_private_path(std::string& error) {
    char pattern[] = "/tmp/boardsim.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error = std::string("cannot make a private directory: ") + std::generic_category().message(errno);
        return false;
    }
    private_dir_ = pattern;
    path_ = private_dir_ + "/control";
    return true;
}

bool control_server::open(const std::string& path, std::string& error) {
    path_ = path;
    if (path_.empty() && !make_private_path(error)) return false;
    listener_ = listen_unix(path_, error);
    return listener_ != -1;
}

bool control_server::start(control_handlers handlers) {
    if (pipe2(wake_pipe_, O_CLOEXEC) != 0) return false;
    handlers_ = std::move(handlers);
    acceptor_ = std::thread([this] { accept_loop(); });
    return true;
}

void control_server::accept_loop() {
    while (!stopping_) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        join_finished();
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd == -1) continue;
        std::lock_guard guard(connections_lock_);
        std::uint64_t id = next_connection_++;
        connections_[id].fd = fd;
        connections_[id].thread = std::thread([this, id, fd] { serve(id, fd); });
    }
}

void control_server::serve(std::uint64_t id, int fd) {
    {
        line_reader reader(fd);
        answer(fd, reader);
    }
    std::lock_guard guard(connections_lock_);
    close(fd);
    connections_[id].fd = -1;
    finished_.push_back(id);
}

void control_server::answer(int fd, line_reader& reader) {
    std::string line;
    while (reader.next(line)) {
        std::vector<std::string> words = decode_words(line);
        if (!words.empty() && words[0] == "run") {
            handlers_.run(fd, reader, words);
            return;
        }
        std::vector<std::string> reply;
        bool ok = handlers_.execute(words, reply);
        std::string text;
        for (const std::string& reply_line : reply) text += reply_line + "\n";
        text += ok ? "ok\n" : "";
        if (!write_all(fd, text)) return;
    }
}

void control_server::join_finished() {
    std::vector<std::thread> done;
    {
        std::lock_guard guard(connections_lock_);
        for (std::uint64_t id : finished_) {
            auto found = connections_.find(id);
            if (found == connections_.end()) continue;
            done.push_back(std::move(found->second.thread));
            connections_.erase(found);
        }
        finished_.clear();
    }
    for (std::thread& thread : done) thread.join();
}

void control_server::stop() {
    stopping_ = true;
    if (wake_pipe_[1] != -1) (void)!write(wake_pipe_[1], "x", 1);
    if (acceptor_.joinable()) acceptor_.join();
    end_connections();
    remove_socket();
    for (int& fd : wake_pipe_) {
        if (fd != -1) close(fd);
        fd = -1;
    }
}

void control_server::end_connections() {
    {
        std::lock_guard guard(connections_lock_);
        for (auto& [id, open] : connections_) shutdown(open.fd, SHUT_RDWR);
    }
    for (;;) {
        std::thread finished;
        {
            std::lock_guard guard(connections_lock_);
            if (connections_.empty()) return;
            finished = std::move(connections_.begin()->second.thread);
            connections_.erase(connections_.begin());
        }
        if (finished.joinable()) finished.join();
    }
}

void control_server::remove_socket() {
    if (listener_ != -1) {
        close(listener_);
        listener_ = -1;
        unlink(path_.c_str());
    }
    if (!private_dir_.empty()) {
        rmdir(private_dir_.c_str());
        private_dir_.clear();
    }
}

}  // namespace boardsim
