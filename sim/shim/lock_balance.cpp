// Locks are taken with SEM_UNDO, so the kernel gives back whatever a process
// still holds when it ends: a missing or doubled unlock leaves no trace in the
// values seen afterwards. The shim keeps each process's own balance of undo
// operations and tells the world when one gives back more than it took, or
// ends normally with a lock still taken.
#include <pthread.h>
#include <stdio.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <dlfcn.h>

#include "world_request.h"

namespace {

constexpr int tracked = 8;
int held[tracked];
int set_id = -1;  // the set the balance is of

void tell_world(int index, int balance) {
    char request[96];
    snprintf(request, sizeof request, "shim undo index=%d held=%d pid=%d\n", index, balance,
             static_cast<int>(getpid()));
    ask_world(request, nullptr, 0);
}

void account(const sembuf* ops, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (!(ops[i].sem_flg & SEM_UNDO) || ops[i].sem_num >= tracked) continue;
        int now = __atomic_sub_fetch(&held[ops[i].sem_num], ops[i].sem_op, __ATOMIC_RELAXED);
        if (now < 0) tell_world(ops[i].sem_num, now);
    }
}

// A child starts with no undo of its own.
void forget_held() {
    for (int& balance : held) balance = 0;
}

__attribute__((constructor)) void watch_forks() { pthread_atfork(nullptr, nullptr, forget_held); }

// A set removed under the process (ipcrm) holds nothing any more.
__attribute__((destructor)) void report_held() {
    int saved = errno;
    bool set_gone = set_id != -1 && semctl(set_id, 0, GETVAL) == -1 && (errno == EINVAL || errno == EIDRM);
    for (int index = 0; index < tracked && !set_gone; ++index) {
        if (held[index] > 0) tell_world(index, held[index]);
    }
    errno = saved;
}

}  // namespace

extern "C" int semtimedop(int id, sembuf* ops, size_t count, const timespec* timeout) {
    using semtimedop_function = int (*)(int, sembuf*, size_t, const timespec*);
    static auto real = reinterpret_cast<semtimedop_function>(dlsym(RTLD_NEXT, "semtimedop"));
    int result = real(id, ops, count, timeout);
    if (result == 0) {
        int saved = errno;
        set_id = id;
        account(ops, count);
        errno = saved;
    }
    return result;
}

extern "C" int semop(int id, sembuf* ops, size_t count) { return semtimedop(id, ops, count, nullptr); }
