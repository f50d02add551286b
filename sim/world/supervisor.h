// PID 1's duties: starts the world's processes with its environment, reaps
// every child and orphan, and tells whoever waits on a child how it ended.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace boardsim {

// Exit status of a process as a shell reports it.
int exit_status_of(int wait_status);

struct child_record {
    bool done = false;
    int status = -1;
    int connection = -1;  // a run request's socket, woken when the child ends
};

class supervisor {
public:
    // The world's environment: the host's, with the preload shim and the
    // world's control socket and consumed counter named.
    void prepare_environment(const std::string& shim_path, const std::string& control_path,
                             const std::string& consumed_counter_path);

    // Starts argv with the world's environment; stdio replaces 0..2 when given.
    // Registered before the child can end, so the reaper always finds its record.
    pid_t spawn(const std::vector<std::string>& argv, const std::vector<int>& stdio, const std::string& cwd,
                const std::shared_ptr<child_record>& record);
    void spawn_shell(const std::string& command);

    // Runs the command, forwarding the world's stop signals to it, and reaps
    // until it ends; its exit status, or -1 when it cannot start.
    int run_command(const std::vector<std::string>& argv);

    // Hangs up on the child unless it has ended; its exit status once it has.
    int hang_up_and_wait(pid_t pid, const std::shared_ptr<child_record>& record);

    // Kills every process of the world and reaps them all.
    void reap_all();

private:
    int reap_until_ends(pid_t command);
    std::shared_ptr<child_record> settle(pid_t pid, int wait_status);

    std::mutex lock_;
    std::condition_variable child_ended_;
    std::map<pid_t, std::shared_ptr<child_record>> children_;
    std::vector<std::string> environment_;
};

}  // namespace boardsim
