#include "main/front_end.h"

#include "base/error_report.h"
#include "base/stop_flag.h"
#include "ipc/shared_state.h"
#include "main/command_table.h"

#include <sys/ipc.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

void print_usage(const char* name) {
    std::cout << "Concentrator hardware management daemon\nUsage: " << name
              << " <cmd> [param]\nCommands are:\n";
    for (const command_entry& entry : command_table()) {
        std::cout << entry.letter << entry.usage;
    }
}

namespace {

const char* invocation_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

void install_stop_signals() {
    for (int signal_number : stop_signals) {
        if (std::signal(signal_number, on_stop_signal) == SIG_ERR) fatal_error("signal");
    }
}

}  // namespace

int run_front_end(int argc, char** argv, char** envp) {
    const char* name = invocation_name(argc > 0 ? argv[0] : "");
    if (std::strcmp(name, "tovk") != 0) {
        execve("/bin/busybox", argv, envp);
        return 1;
    }
    if (argc < 2) {
        print_usage(name);
        return 0;
    }
    install_stop_signals();
    ipc_key = ftok("/", 101);
    if (ipc_key == -1) fatal_error("ftok");
    if (!open_semaphores()) fatal_error("semopen");

    const command_entry* command = find_command(argv[1][0]);
    if (command == nullptr) {
        print_usage(name);
        return 1;
    }
    return command->run(invocation{name, argc - 2, argv + 2});
}
