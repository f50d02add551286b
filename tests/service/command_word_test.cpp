// Every kind of server word against what the service must do with it.
#include "service/command_word.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

struct word_case {
    command_bytes bytes;
    int pic_version;
    word_kind kind;
    std::optional<route_request> route;
    std::optional<device_request> device;
};

constexpr int in_channels = 2;

route_request route(std::uint8_t channel, bool mode_two, bool flag) { return {channel, mode_two, flag}; }
device_request device(std::uint8_t channel, std::uint8_t address, std::uint8_t code, delivery how) {
    return {channel, address, code, how};
}

const word_case cases[] = {
    // Control words are whole-word matches; anything near them is not.
    {{0xFF, 0x00, 0x00, 0x00}, 3, word_kind::pause, {}, {}},
    {{0xFF, 0xFF, 0xFF, 0xFF}, 3, word_kind::resume, {}, {}},
    {{0x00, 0x00, 0x00, 0x00}, 3, word_kind::reset, {}, {}},
    {{0xFF, 0x00, 0x00, 0x01}, 3, word_kind::scan_on, {}, {}},
    {{0x01, 0x02, 0x00, 0x01}, 3, word_kind::scan_on, {}, {}},
    {{0xFF, 0xFF, 0xFF, 0xFE}, 2, word_kind::device, {}, {}},
    // Firmware 3 and a mode byte: 16..32 but 24 travel as packets.
    {{0x01, 0x01, 0x03, 0x14}, 3, word_kind::device, route(1, false, false), device(1, 3, 20, delivery::packet)},
    {{0x01, 0x01, 0x03, 0x14}, 2, word_kind::device, route(1, false, false), device(1, 3, 20, delivery::legacy)},
    {{0x00, 0x01, 0x03, 0x14}, 3, word_kind::device, {}, device(1, 3, 20, delivery::legacy)},
    {{0x01, 0x01, 0x03, 0x18}, 3, word_kind::device, route(1, false, false), device(1, 3, 24, delivery::legacy)},
    {{0x01, 0x02, 0x01, 0x0F}, 3, word_kind::device, route(2, false, false), device(2, 1, 15, delivery::legacy)},
    {{0x01, 0x02, 0x01, 0x10}, 3, word_kind::device, route(2, false, false), device(2, 1, 16, delivery::packet)},
    {{0x01, 0x02, 0x01, 0x20}, 3, word_kind::device, route(2, false, false), device(2, 1, 32, delivery::packet)},
    {{0x01, 0x02, 0x01, 0x21}, 3, word_kind::device, route(2, false, false), device(2, 1, 33, delivery::legacy)},
    // Above 64 always a packet; 64 itself a pulse; 0 nothing to send.
    {{0x00, 0x01, 0x20, 0x41}, 0, word_kind::device, {}, device(1, 32, 65, delivery::packet)},
    {{0x00, 0x01, 0x20, 0x40}, 9, word_kind::device, {}, device(1, 32, 64, delivery::legacy)},
    {{0x03, 0x01, 0x05, 0x00}, 3, word_kind::device, {}, device(1, 5, 0, delivery::none)},
    // Mode byte: bit 2 is the route flag, only 1 and 2 are modes.
    {{0x07, 0x02, 0x05, 0x01}, 2, word_kind::device, {}, device(2, 5, 1, delivery::legacy)},
    {{0x06, 0x02, 0x05, 0x14}, 3, word_kind::device, route(2, true, true), device(2, 5, 20, delivery::packet)},
    {{0x05, 0x01, 0x03, 0x02}, 3, word_kind::device, route(1, false, true), device(1, 3, 2, delivery::legacy)},
    // Out of range: no device, the route still applies.
    {{0x02, 0x00, 0x05, 0x03}, 3, word_kind::device, route(0, true, false), {}},
    {{0x01, 0x03, 0x05, 0x03}, 3, word_kind::device, route(3, false, false), {}},
    {{0x01, 0x01, 0x00, 0x03}, 3, word_kind::device, route(1, false, false), {}},
    {{0x01, 0x01, 0x21, 0x03}, 3, word_kind::device, route(1, false, false), {}},
    {{0x08, 0xFF, 0x21, 0x41}, 3, word_kind::device, {}, {}},
};

bool same(const std::optional<route_request>& a, const std::optional<route_request>& b) {
    if (!a || !b) return a.has_value() == b.has_value();
    return a->channel == b->channel && a->mode_two == b->mode_two && a->flag == b->flag;
}

bool same(const std::optional<device_request>& a, const std::optional<device_request>& b) {
    if (!a || !b) return a.has_value() == b.has_value();
    return a->channel == b->channel && a->address == b->address && a->code == b->code && a->how == b->how;
}

}  // namespace

TEST(CommandWord, EveryKindOfWordDecodesToWhatTheServiceMustDo) {
    for (const word_case& row : cases) {
        SCOPED_TRACE(testing::PrintToString(row.bytes) + " firmware " + std::to_string(row.pic_version));
        decoded_word word = command_word_decode(row.bytes, row.pic_version, in_channels);
        EXPECT_EQ(word.kind, row.kind);
        EXPECT_TRUE(same(word.route, row.route));
        EXPECT_TRUE(same(word.device, row.device));
    }
}
