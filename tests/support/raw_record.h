// Reads and writes the shared record and semaphores by the key and by byte
// offsets alone, as another program would, never through the code under
// test; the offsets are the record's own.
#pragma once

#include "ipc/shared_state.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace raw_offset {
#define TOVK_RAW_OFFSET(field) constexpr size_t field = offsetof(shared_state, field)
TOVK_RAW_OFFSET(running);
TOVK_RAW_OFFSET(stopped);
TOVK_RAW_OFFSET(ser_ch);
TOVK_RAW_OFFSET(ser_baud);
TOVK_RAW_OFFSET(ser_parity);
TOVK_RAW_OFFSET(ser_odd);
TOVK_RAW_OFFSET(zlevel);
TOVK_RAW_OFFSET(servers);
TOVK_RAW_OFFSET(servers_len);
TOVK_RAW_OFFSET(server_pos);
TOVK_RAW_OFFSET(rr_interval);
TOVK_RAW_OFFSET(reconnect);
TOVK_RAW_OFFSET(pkt);
TOVK_RAW_OFFSET(pkt_len);
TOVK_RAW_OFFSET(pkt_dir);
#undef TOVK_RAW_OFFSET
constexpr size_t size = sizeof(shared_state);
}  // namespace raw_offset

key_t board_key();

class raw_record {
public:
    // Attaches the existing record, or creates one of the given size.
    explicit raw_record(size_t create_size = 0);
    ~raw_record();
    raw_record(const raw_record&) = delete;
    raw_record& operator=(const raw_record&) = delete;

    bool attached() const { return base_ != nullptr; }
    std::uint8_t u8(size_t offset) const;
    std::int32_t i32(size_t offset) const;
    std::vector<std::uint8_t> bytes(size_t offset, size_t count) const;
    void set_u8(size_t offset, std::uint8_t value);
    void set_i32(size_t offset, std::int32_t value);
    size_t segment_size() const;

private:
    int id_ = -1;
    unsigned char* base_ = nullptr;
};

// Semaphore values by index; empty when the set does not exist.
std::vector<int> semaphore_values();
bool semaphore_change(int index, int change);
