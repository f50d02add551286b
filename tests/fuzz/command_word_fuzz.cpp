// Any word from the server, under any firmware and channel count the record
// may hold: the decoder never faults, and what it asks of the board stays
// within the board. Input: the four bytes, then the firmware version and
// the input channel count as signed bytes.
#include "service/command_word.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    command_bytes word{data[0], data[1], data[2], data[3]};
    int version = static_cast<std::int8_t>(data[4]);
    int channels = static_cast<std::int8_t>(data[5]);
    decoded_word decoded = command_word_decode(word, version, channels);
    if (decoded.kind != word_kind::device && (decoded.device || decoded.route)) std::abort();
    if (decoded.device) {
        const device_request& device = *decoded.device;
        if (device.channel < 1 || device.channel > channels || device.address < 1 || device.address > 32) std::abort();
        if (device.code > 64 && device.how != delivery::packet) std::abort();
        if (device.code == 0 && device.how == delivery::legacy) std::abort();
    }
    return 0;
}
