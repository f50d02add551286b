// The readings and the stream parameters of any record: the dump prints
// whatever numbers it finds, and the capture is sized only from parameters
// it accepts, its re-pack staying inside the buffers it sized.
#include "commands/info_dump.h"
#include "pic/pic_operations.h"
#include "world_record.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    shared_state& block = world_record();
    scramble_record(data, size);
    block.measurements_ready = 1;
    if (!dump_info()) std::abort();

    pic_parameters parameters{};
    if (!pic_parameters_from(block, parameters)) return 0;
    std::size_t out_size = pic_capture_size(parameters);
    // A rate of a few samples a second fills no whole byte: an empty capture.
    if (out_size > 65536 * 8 / 8) std::abort();
    std::size_t in_size = (static_cast<std::size_t>(parameters.rate) * parameters.in_channels + 7) / 8;
    std::vector<std::uint8_t> stream(data, data + std::min(size, in_size));
    stream.resize(in_size);
    std::vector<std::uint8_t> out(out_size);
    pic_repack(stream, parameters.in_channels, out, parameters.out_channels, parameters.rate);
    return 0;
}
