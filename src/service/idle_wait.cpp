#include "service/idle_wait.h"

#include "base/stop_flag.h"
#include "ipc/shared_state.h"

#include <poll.h>
#include <pthread.h>

#include <csignal>
#include <ctime>

namespace {

timespec wait_limit() {
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(idle_wait_limit).count();
    return timespec{static_cast<std::time_t>(nanoseconds / 1'000'000'000), static_cast<long>(nanoseconds % 1'000'000'000)};
}

nfds_t watched(const idle_wake_sources& sources, pollfd (&fds)[3]) {
    nfds_t count = 0;
    if (sources.server_sock != 0) {
        short events = 0;
        if (sources.word_wanted) events |= POLLIN;
        if (sources.packet_due) events |= POLLOUT;
        fds[count++] = pollfd{sources.server_sock, events, 0};
    }
    if (sources.connecting_sock != 0) fds[count++] = pollfd{sources.connecting_sock, POLLOUT, 0};
    if (sources.claim_listener >= 0) fds[count++] = pollfd{sources.claim_listener, POLLIN, 0};
    return count;
}

}  // namespace

// The stop signals are held back from the test of running until ppoll lets
// them in: one that came before the test has cleared running, one that comes
// after it ends the wait, so none is slept through.
bool idle_wait(const idle_wake_sources& sources, const std::uint8_t& running) {
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int signal_number : stop_signals) sigaddset(&stops, signal_number);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    bool knocked = false;
    if (load_shared(running) != 0) {
        pollfd fds[3];
        timespec limit = wait_limit();
        nfds_t count = watched(sources, fds);
        knocked = ppoll(fds, count, &limit, &before) > 0 && sources.claim_listener >= 0 &&
                  (fds[count - 1].revents & POLLIN) != 0;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return knocked;
}
