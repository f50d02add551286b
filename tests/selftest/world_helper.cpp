// Small steps a self test scenario takes inside a world:
//   world_helper take-line TOVK   holds the serial line lock while TOVK z
//       starts, interrupts z once it waits for the lock, and prints
//       "z_status=<exit status> serial_value=<semaphore value>"
//   world_helper wait-running     returns once a service has set running
#include "ipc/shared_state.h"

#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

namespace {

bool within_ten_seconds(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

int take_line(const char* tovk) {
    if (!open_semaphores() || !sem_lock(sem_serial)) return 3;
    int semaphores = semget(ipc_key, 0, 0);
    pid_t z = fork();
    if (z == 0) {
        execl(tovk, "tovk", "z", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (!within_ten_seconds([&] { return semctl(semaphores, sem_serial, GETNCNT) > 0; })) {
        kill(z, SIGKILL);
        waitpid(z, nullptr, 0);
        return 4;
    }
    kill(z, SIGINT);
    int status = 0;
    waitpid(z, &status, 0);
    std::printf("z_status=%d serial_value=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                semctl(semaphores, sem_serial, GETVAL));
    return 0;
}

int wait_running() {
    bool running = within_ten_seconds([] {
        shared_state* block = attach_shared_state();
        if (block == nullptr) return false;
        bool set = load_shared(block->running) != 0;
        detach_shared_state(block);
        return set;
    });
    return running ? 0 : 5;
}

}  // namespace

int main(int argc, char** argv) {
    ipc_key = ftok("/", 101);
    if (argc == 3 && std::strcmp(argv[1], "take-line") == 0) return take_line(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "wait-running") == 0) return wait_running();
    return 2;
}
