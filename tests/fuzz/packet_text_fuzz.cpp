// Any direction and packet text for p: either refused, or a framed packet
// in the slot whose checksum holds and whose length fits the slot.
#include "commands/packet_command.h"
#include "pic/packet_slot.h"
#include "world_record.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <span>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    shared_state& block = world_record();
    FuzzedDataProvider input(data, size);
    std::string direction = input.ConsumeRandomLengthString(16);
    std::string text = input.ConsumeRemainingBytesAsString();
    scramble_record(nullptr, 0);
    if (!send_packet(direction.c_str(), text.c_str())) return 0;
    std::size_t length = block.pkt_len;
    if (length < 2 || length > packet_slot_size || block.pkt[0] != packet_start_byte) std::abort();
    if (block.pkt[length - 1] != packet_checksum(std::span(block.pkt + 1, length - 2))) std::abort();
    if (length - 2 > text.size()) std::abort();  // an escape never makes bytes out of nothing
    return 0;
}
