// Any byte stream from a service, in any cuts: the reference server's framer
// never faults, and the packets it frames do not depend on how the bytes
// arrived.
#include "upstream_packet.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

// The packets and whether the framer broke, the stream fed in pieces of the
// sizes cut, then the rest.
std::pair<std::vector<refserver::bytes>, bool> frame(const refserver::bytes& stream, std::vector<std::size_t> cuts) {
    refserver::packet_framer framer;
    std::vector<refserver::bytes> packets;
    cuts.push_back(stream.size());
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        std::size_t count = std::min(cut, stream.size() - at);
        framer.feed(stream.data() + at, count);
        at += count;
        while (auto packet = framer.next()) {
            if (packet->raw.size() != packet->header.total_length()) std::abort();
            packets.push_back(packet->raw);
        }
    }
    return {packets, framer.broken()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<std::size_t> cuts;
    for (int i = input.ConsumeIntegralInRange(0, 8); i > 0; --i) cuts.push_back(input.ConsumeIntegralInRange<std::size_t>(0, 64));
    refserver::bytes stream = input.ConsumeRemainingBytes<std::uint8_t>();
    auto whole = frame(stream, {});
    if (whole != frame(stream, cuts)) std::abort();
    if (!whole.first.empty()) refserver::check_ack(whole.first.front());
    return 0;
}
