// Starting a world from the host and passing its end back.
#include "launcher.h"

#include "namespaces.h"
#include "stop_signals.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace boardsim {

namespace {

void end_on_abort(int) { _exit(128 + SIGABRT); }

int run_as_init(const world_options& options) {
    // An init ignores its own abort(); a failed check must still end the world.
    signal(SIGABRT, end_on_abort);
    // A launcher killed outright takes its world along.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int status = 125;
    {
        world init(options);
        status = init.run();
    }
    return status;
}

}  // namespace

int launch_world(const world_options& options) {
    std::string error;
    if (!enter_namespaces(error)) {
        std::fprintf(stderr, "boardsim: %s\n", error.c_str());
        return 125;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == -1) {
        std::perror("boardsim: fork");
        return 125;
    }
    if (pid == 0) std::exit(run_as_init(options));  // NOLINT(concurrency-mt-unsafe): forked before any thread starts
    forward_stop_signals_to(pid);
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) == -1) {
        if (errno != EINTR) _exit(125);
    }
    // This process left its PID namespace behind and can make no threads, so
    // leak checkers that need one at exit must not run here.
    std::fflush(nullptr);
    _exit(exit_status_of(wait_status));
}

}  // namespace boardsim
