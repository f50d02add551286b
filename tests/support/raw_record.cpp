#include "support/raw_record.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <atomic>
#include <cstring>

key_t board_key() { return ftok("/", 101); }

raw_record::raw_record(size_t create_size) {
    id_ = create_size != 0 ? shmget(board_key(), create_size, IPC_CREAT | 0666) : shmget(board_key(), 0, 0);
    if (id_ == -1) return;
    void* address = shmat(id_, nullptr, 0);
    if (address != reinterpret_cast<void*>(-1)) base_ = static_cast<unsigned char*>(address);
}

raw_record::~raw_record() {
    if (base_ != nullptr) shmdt(base_);
}

std::uint8_t raw_record::u8(size_t offset) const { return bytes(offset, 1)[0]; }

std::int32_t raw_record::i32(size_t offset) const {
    std::int32_t value;
    std::memcpy(&value, bytes(offset, sizeof value).data(), sizeof value);
    return value;
}

std::vector<std::uint8_t> raw_record::bytes(size_t offset, size_t count) const {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return {base_ + offset, base_ + offset + count};
}

void raw_record::set_u8(size_t offset, std::uint8_t value) {
    base_[offset] = value;
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void raw_record::set_i32(size_t offset, std::int32_t value) {
    std::memcpy(base_ + offset, &value, sizeof value);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

size_t raw_record::segment_size() const {
    shmid_ds status{};
    return shmctl(id_, IPC_STAT, &status) == 0 ? status.shm_segsz : 0;
}

std::vector<int> semaphore_values() {
    int id = semget(board_key(), 0, 0);
    std::vector<int> values;
    // Past the last semaphore of the set, GETVAL fails.
    for (int value; id != -1 && (value = semctl(id, static_cast<int>(values.size()), GETVAL)) != -1;)
        values.push_back(value);
    return values;
}

bool semaphore_change(int index, int change) {
    int id = semget(board_key(), 0, 0);
    sembuf op{static_cast<unsigned short>(index), static_cast<short>(change), 0};
    return id != -1 && semop(id, &op, 1) == 0;
}
