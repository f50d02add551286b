// The world: the process that is PID 1 inside boardsim's namespaces. It builds
// the private /dev, serves the board's devices, runs the control socket,
// starts the command (and helpers), reaps every orphan, and tears all down
// when the command ends.
#pragma once

#include "board_model.h"
#include "control_protocol.h"
#include "device_fs.h"
#include "event_log.h"
#include "pic_model.h"
#include "uart.h"

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace boardsim {

struct world_options {
    std::string control_path;  // absolute; empty: a private one is made
    std::string log_dir;
    std::string script;
    std::string shim_path;
    bool fixture = false;
    std::vector<std::string> verbs;  // run at start, before the script
    std::vector<std::string> also;   // shell commands started before the command
    std::vector<std::string> command;
};

// Exit status of a process as a shell reports it.
int exit_status_of(int wait_status);

class world {
public:
    explicit world(world_options options);
    ~world();
    world(const world&) = delete;
    world& operator=(const world&) = delete;

    // Runs as PID 1 of fresh namespaces; returns the command's exit status.
    int run();

    // One control request; reply lines are appended. False: an error reply.
    bool execute(const std::vector<std::string>& words, std::vector<std::string>& reply);

private:
    struct child_box {
        bool done = false;
        int status = -1;
        int connection = -1;  // a run request's socket, woken when the child ends
    };

    bool build(std::string& error);
    bool start_devices(std::string& error);
    bool bind_device(const std::string& name);
    void unbind_device(const std::string& name);
    bool apply_start_verbs(std::string& error);
    void prepare_environment();
    pid_t spawn(const std::vector<std::string>& argv, const std::vector<int>& stdio, const std::string& cwd,
                const std::shared_ptr<child_box>& box);
    int reap_until_command_ends(pid_t command);
    void reap_all();
    void tear_down();

    void serve_control();
    void serve_connection(std::uint64_t id, int fd);
    void join_finished_connections();
    void serve_run(int fd, line_reader& reader, const std::vector<std::string>& words);

    bool execute_locked(const std::vector<std::string>& words, std::vector<std::string>& reply);
    bool execute_device(const std::vector<std::string>& words, std::vector<std::string>& reply);
    bool execute_pic(const std::vector<std::string>& words, std::vector<std::string>& reply);
    bool execute_fixture(const std::vector<std::string>& words, std::vector<std::string>& reply);
    bool execute_channel(const std::vector<std::string>& words, std::vector<std::string>& reply);
    bool execute_log(const std::vector<std::string>& words, std::vector<std::string>& reply);
    bool execute_shim(const std::vector<std::string>& words, std::vector<std::string>& reply);
    void report_registers(std::vector<std::string>& reply) const;
    void report_status(std::vector<std::string>& reply) const;
    std::string pic_stamp() const;
    bool share_consumed_counter(std::string& error);
    std::size_t host_unread() const;

    world_options options_;
    std::string private_dir_;
    event_log log_;
    std::mutex lock_;  // guards the models, the UART and the settings
    pic_settings pic_settings_;
    std::size_t port_b_unread_ = 0;  // the host's unread stream at the last port B write
    // Bytes the host has taken off the line, counted by the preload shim.
    std::atomic<std::uint64_t>* host_consumed_ = nullptr;
    std::uint64_t consumed_at_stream_start_ = 0;
    pic_model pic_;
    uart_switch uart_;
    board_model board_;
    device_fs fs_;

    std::atomic<bool> stopping_{false};
    std::thread uart_thread_;
    std::thread control_thread_;
    int control_listener_ = -1;
    int wake_pipe_[2] = {-1, -1};
    struct connection {
        int fd = -1;
        std::thread thread;
    };
    std::mutex connections_lock_;
    std::uint64_t next_connection_ = 0;
    std::map<std::uint64_t, connection> connections_;
    std::vector<std::uint64_t> finished_connections_;

    std::mutex children_lock_;
    std::condition_variable child_ended_;
    std::map<pid_t, std::shared_ptr<child_box>> children_;
    std::vector<std::string> environment_;
};

// Host side: enters the namespaces, runs a world as PID 1, waits for it and
// ends this process with its status (returns only when it cannot start one).
int launch_world(const world_options& options);

}  // namespace boardsim
