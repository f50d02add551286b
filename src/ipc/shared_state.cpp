#include "ipc/shared_state.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

key_t ipc_key = -1;

namespace {

int shared_state_id = -1;
int semaphore_set_id = -1;

bool semaphore_op(semaphore_index index, short change, short flags, const timespec* timeout = nullptr) {
    sembuf op{};
    op.sem_num = index;
    op.sem_op = change;
    op.sem_flg = flags;
    return semtimedop(semaphore_set_id, &op, 1, timeout) == 0;
}

}  // namespace

shared_state* attach_shared_state() {
    int id = shmget(ipc_key, sizeof(shared_state), IPC_CREAT | IPC_EXCL | 0666);
    if (id == -1) {
        id = shmget(ipc_key, sizeof(shared_state), IPC_CREAT | 0666);
        if (id == -1) return nullptr;
    }
    shared_state_id = id;
    void* address = shmat(id, nullptr, 0);
    if (reinterpret_cast<std::intptr_t>(address) == -1) return nullptr;
    return static_cast<shared_state*>(address);
}

void detach_shared_state(shared_state* block) {
    if (block != nullptr) shmdt(block);
}

bool open_semaphores() {
    int id = semget(ipc_key, semaphore_count, IPC_CREAT | IPC_EXCL | 0666);
    if (id != -1) {
        semaphore_set_id = id;
        for (int index = 0; index < semaphore_count; ++index) {
            if (semctl(id, index, SETVAL, 1) == -1) return false;
        }
        return true;
    }
    semaphore_set_id = semget(ipc_key, semaphore_count, IPC_CREAT | 0666);
    return semaphore_set_id != -1;
}

bool sem_lock(semaphore_index index) { return semaphore_op(index, -1, SEM_UNDO); }
bool sem_lock_within(semaphore_index index, int timeout_ms) {
    timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    return semaphore_op(index, -1, SEM_UNDO, &timeout);
}
bool sem_lock_through_signals(semaphore_index index) {
    for (;;) {
        if (sem_lock(index)) return true;
        if (errno != EINTR) return false;
    }
}
bool sem_trylock(semaphore_index index) { return semaphore_op(index, -1, SEM_UNDO | IPC_NOWAIT); }
bool sem_unlock(semaphore_index index) { return semaphore_op(index, +1, SEM_UNDO); }
bool sem_take(semaphore_index index) { return semaphore_op(index, -1, 0); }
bool sem_trytake(semaphore_index index) { return semaphore_op(index, -1, IPC_NOWAIT); }
bool sem_give(semaphore_index index) { return semaphore_op(index, +1, 0); }

int sem_value(semaphore_index index) { return semctl(semaphore_set_id, index, GETVAL); }
pid_t sem_last_pid(semaphore_index index) { return semctl(semaphore_set_id, index, GETPID); }

bool ipc_still_current(const char*& what) {
    if (semget(ipc_key, 0, 0) != semaphore_set_id) {
        what = "semaphore set";
        return false;
    }
    if (shared_state_id != -1 && shmget(ipc_key, 0, 0) != shared_state_id) {
        what = "shared record";
        return false;
    }
    return true;
}

std::uint8_t load_shared(const std::uint8_t& field) {
    return std::atomic_ref<std::uint8_t>(const_cast<std::uint8_t&>(field)).load(std::memory_order_acquire);
}

void store_shared(std::uint8_t& field, std::uint8_t value) {
    std::atomic_ref<std::uint8_t>(field).store(value, std::memory_order_release);
}

std::uint8_t exchange_shared(std::uint8_t& field, std::uint8_t value) {
    return std::atomic_ref<std::uint8_t>(field).exchange(value, std::memory_order_acq_rel);
}
