#include "world_record.h"

#include <sys/ipc.h>
#include <sys/sem.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

shared_state& world_record() {
    static shared_state* block = [] {
        ipc_key = ftok("/", 101);
        shared_state* attached = open_semaphores() ? attach_shared_state() : nullptr;
        if (attached == nullptr) std::abort();
        return attached;
    }();
    return *block;
}

void scramble_record(const std::uint8_t* data, std::size_t size) {
    shared_state& block = world_record();
    std::memset(&block, 0, sizeof block);
    if (data != nullptr) std::memcpy(&block, data, std::min(size, sizeof block));
    int set = semget(ipc_key, semaphore_count, 0);
    for (int index = 0; index < semaphore_count; ++index) semctl(set, index, SETVAL, 1);
}
