// The server list as another process or an older build may have left it:
// any list text, length and position. Parsing, stepping and reading the
// current entry stay inside the list, and an entry is only digits and dots.
#include "commands/server_list.h"
#include "ipc/shared_state.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Only a parsed list is known to hold nothing but digits and dots; a foreign
// one may hold anything, which a connection attempt then refuses.
void check_entry(const shared_state& block, bool parsed) {
    const char* entry = current_server(block);
    std::size_t length = std::strlen(entry);
    bool inside = entry[0] == '\0' || (entry >= block.servers && entry + length < block.servers + server_list_size);
    if (!inside) std::abort();
    for (std::size_t i = 0; i < length && parsed; ++i) {
        if ((entry[i] < '0' || entry[i] > '9') && entry[i] != '.') std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    // On the heap at its exact size, so that a read past the record faults.
    auto block = std::make_unique<shared_state>();
    block->servers_len = input.ConsumeIntegral<std::int32_t>();
    block->server_pos = input.ConsumeIntegral<std::int32_t>();
    bool parse_first = input.ConsumeBool();
    std::string text = input.ConsumeRandomLengthString(2 * server_list_size);
    std::memcpy(block->servers, text.data(), std::min(text.size(), sizeof block->servers));
    if (parse_first) {
        parse_server_list(*block);
        if (block->servers_len < 1 || block->server_pos < 0 || block->server_pos >= block->servers_len) std::abort();
    }
    for (int step = 0; step <= 4; ++step, next_server(*block)) check_entry(*block, parse_first);
    return 0;
}
