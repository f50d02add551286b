// The world: the process that is PID 1 inside boardsim's namespaces. It
// composes the board, its /dev entries, the verbs, the control socket and
// the supervisor of its processes, and tears all down when the command ends.
#pragma once

#include "control_server.h"
#include "device_binder.h"
#include "event_log.h"
#include "interpreter.h"
#include "simulated_board.h"
#include "supervisor.h"

#include <string>
#include <vector>

namespace boardsim {

struct world_options {
    std::string control_path;  // absolute; empty: a private one is made
    std::string log_dir;
    std::string vcd_path;  // the lines log as a Value Change Dump, written at the end
    std::string script;
    std::string shim_path;
    bool fixture = false;
    bool textfile_dir = false;  // the node exporter's directory exists
    std::vector<std::string> verbs;  // run at start, before the script
    std::vector<std::string> also;   // shell commands started before the command
    std::vector<std::string> command;
};

class world {
public:
    explicit world(world_options options);
    ~world() { tear_down(); }
    world(const world&) = delete;
    world& operator=(const world&) = delete;

    // Runs as PID 1 of fresh namespaces; returns the command's exit status.
    int run();

private:
    bool build(std::string& error);
    bool build_filesystems(std::string& error);
    bool start_devices(std::string& error);
    bool start_serving();
    void tear_down();
    bool write_vcd();

    world_options options_;
    // Declared in the order they may be built; destroyed users first.
    event_log log_;
    simulated_board board_;
    device_binder devices_;
    supervisor processes_;
    verb_interpreter verbs_;
    control_server control_;
};

}  // namespace boardsim
