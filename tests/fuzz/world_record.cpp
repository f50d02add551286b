#include "world_record.h"

#include <sys/ipc.h>
#include <sys/sem.h>

#include <algorithm>
#include <cstring>

shared_state* world_record() {
    static shared_state* block = [] () -> shared_state* {
        ipc_key = ftok("/", 101);
        return open_semaphores() ? attach_shared_state() : nullptr;
    }();
    return block;
}

void scramble_record(const std::uint8_t* data, std::size_t size) {
    shared_state* block = world_record();
    if (block == nullptr) return;
    std::memset(block, 0, sizeof *block);
    if (data != nullptr) std::memcpy(block, data, std::min(size, sizeof *block));
    int set = semget(ipc_key, semaphore_count, 0);
    for (int index = 0; index < semaphore_count; ++index) semctl(set, index, SETVAL, 1);
}
