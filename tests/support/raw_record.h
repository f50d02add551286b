// Reads and writes the shared record and semaphores by the key and by byte
// offsets alone, as another program would: independent of the record's
// declaration in the code under test.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace raw_offset {
constexpr size_t measurements_ready = 0, diode = 8, batt = 16, auxpwr = 24, running = 25,
                 stopped = 26, zlevel = 44, servers = 48, servers_len = 308, server_pos = 312,
                 reconnect = 320, pkt = 344, pkt_len = 424, pkt_dir = 425, size = 432;
}

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
    void set_bytes(size_t offset, const std::string& text);
    size_t segment_size() const;
    int attach_count() const;

private:
    int id_ = -1;
    unsigned char* base_ = nullptr;
};

// Semaphore values by index; empty when the set does not exist.
std::vector<int> semaphore_values();
bool semaphore_change(int index, int change);
