// Any byte stream from a service, in any cuts: the reference server's framer
// never faults, and the packets it frames do not depend on how the bytes
// arrived.
#include "upstream_packet.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <vector>

namespace {

struct framed {
    std::vector<refserver::bytes> packets;
    bool broken;
};

framed frame(const refserver::bytes& stream, const std::vector<std::size_t>& cuts) {
    refserver::packet_framer framer;
    framed result{{}, false};
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        std::size_t count = std::min(cut, stream.size() - at);
        framer.feed(stream.data() + at, count);
        at += count;
        while (auto packet = framer.next()) {
            if (packet->raw.size() != packet->header.total_length()) std::abort();
            result.packets.push_back(packet->raw);
        }
    }
    framer.feed(stream.data() + at, stream.size() - at);
    while (auto packet = framer.next()) result.packets.push_back(packet->raw);
    result.broken = framer.broken();
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<std::size_t> cuts;
    for (int i = input.ConsumeIntegralInRange(0, 8); i > 0; --i) cuts.push_back(input.ConsumeIntegralInRange<std::size_t>(0, 64));
    refserver::bytes stream = input.ConsumeRemainingBytes<std::uint8_t>();
    framed whole = frame(stream, {});
    framed pieces = frame(stream, cuts);
    if (whole.packets != pieces.packets || whole.broken != pieces.broken) std::abort();
    if (!whole.packets.empty()) refserver::check_ack(whole.packets.front());
    return 0;
}
