#include "commands/server_list.h"

#include "ipc/shared_state.h"

#include <cstring>

namespace {

bool is_address_byte(char byte) { return (byte >= '0' && byte <= '9') || byte == '.'; }

// Another process (or an older build) may have left anything in the record.
bool list_length_valid(const shared_state& block) {
    return block.servers_len >= 1 && block.servers_len <= static_cast<int>(server_list_size);
}

bool list_position_valid(const shared_state& block) {
    return list_length_valid(block) && block.server_pos >= 0 && block.server_pos < block.servers_len;
}

}  // namespace

bool set_server(const char* text) {
    attached_state block;
    if (!block) return false;
    if (text == nullptr) return true;
    store_shared(block->reconnect, 1);
    held_lock lock = held_lock::acquire(sem_state);
    if (!lock) return false;
    std::strncpy(block->servers, text, server_list_size);
    block->servers[server_list_size - 1] = '\0';
    parse_server_list(*block);
    // Again once the list is in place: a service that consumed the first
    // request and copied the old list meanwhile must come back for this one.
    store_shared(block->reconnect, 1);
    return true;
}

void parse_server_list(shared_state& block) {
    block.servers[server_list_size - 1] = '\0';
    block.server_pos = 0;
    block.servers_len = static_cast<int>(std::strlen(block.servers)) + 1;
    for (int index = 0; index < block.servers_len; ++index) {
        if (!is_address_byte(block.servers[index])) block.servers[index] = '\0';
    }
    while (block.server_pos < block.servers_len && block.servers[block.server_pos] == '\0') {
        ++block.server_pos;
    }
    block.server_pos %= block.servers_len;
}

void next_server(shared_state& block) {
    if (!list_length_valid(block)) return;
    if (!list_position_valid(block)) block.server_pos = 0;
    bool seen_gap = false;
    for (int remaining = block.servers_len; remaining > 0; --remaining) {
        block.server_pos = (block.server_pos + 1) % block.servers_len;
        if (block.servers[block.server_pos] == '\0') {
            seen_gap = true;
        } else if (seen_gap) {
            return;
        }
    }
}

const char* current_server(const shared_state& block) {
    if (!list_position_valid(block)) return "";
    const char* entry = block.servers + block.server_pos;
    std::size_t room = server_list_size - static_cast<std::size_t>(block.server_pos);
    return std::memchr(entry, '\0', room) != nullptr ? entry : "";
}
