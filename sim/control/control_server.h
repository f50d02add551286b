// The world's control socket: accepts connections, one thread each, and hands
// every request line to the world; a run request takes over its connection.
#pragma once

#include "control_protocol.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace boardsim {

struct control_handlers {
    // One request; reply lines are appended. False: an error reply.
    std::function<bool(const std::vector<std::string>& words, std::vector<std::string>& reply)> execute;
    // A run request; owns the connection until it returns.
    std::function<void(int fd, line_reader& reader, const std::vector<std::string>& words)> run;
};

class control_server {
public:
    control_server() = default;
    ~control_server();
    control_server(const control_server&) = delete;
    control_server& operator=(const control_server&) = delete;

    // Listens on `path`, or on a socket in a private directory when it is empty.
    bool open(const std::string& path, std::string& error);
    const std::string& path() const { return path_; }
    // Serves until stop, on threads of its own.
    bool start(control_handlers handlers);
    // Ends every connection and removes the socket.
    void stop();
    bool stopping() const { return stopping_; }

private:
    struct connection {
        int fd = -1;
        std::thread thread;
    };

    bool make_private_path(std::string& error);
    void accept_loop();
    void serve(std::uint64_t id, int fd);
    void answer(int fd, line_reader& reader);
    void join_finished();
    void end_connections();
    void remove_socket();

    std::string path_;
    std::string private_dir_;
    control_handlers handlers_;
    std::atomic<bool> stopping_{false};
    int listener_ = -1;
    int wake_pipe_[2] = {-1, -1};
    std::thread acceptor_;
    std::mutex connections_lock_;
    std::uint64_t next_connection_ = 0;
    std::map<std::uint64_t, connection> connections_;
    std::vector<std::uint64_t> finished_;
};

}  // namespace boardsim
