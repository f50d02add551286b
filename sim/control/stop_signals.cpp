#include "stop_signals.h"

#include <signal.h>

#include <initializer_list>

namespace boardsim {

namespace {

volatile sig_atomic_t forward_pid = 0;

void forward(int signal_number) {
    if (forward_pid > 0) kill(forward_pid, signal_number);
}

}  // namespace

void on_stop_signals(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaction(signal_number, &action, nullptr);
}

void forward_stop_signals_to(pid_t pid) {
    forward_pid = pid;
    on_stop_signals(forward);
}

}  // namespace boardsim
