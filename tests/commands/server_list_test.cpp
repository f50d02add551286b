#include "commands/server_list.h"
#include "ipc/shared_state.h"
#include "support/process.h"
#include "support/raw_record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

shared_state stored_list(const std::string& text) {
    shared_state block{};
    std::strncpy(block.servers, text.c_str(), server_list_size);
    block.servers[server_list_size - 1] = '\0';
    parse_server_list(block);
    return block;
}

TEST(ServerList, SplitsIntoEntriesAndStepsRoundRobin) {
    struct example {
        std::string text, current;
        std::vector<int> positions;  // after the parse, then after each step
    };
    for (const example& each : std::vector<example>{
             {"10.0.0.1,10.0.0.2", "10.0.0.1", {0, 9, 0, 9}},
             {",,1.1.1.1 ;2.2.2.2  3.3.3.3,", "1.1.1.1", {2, 11, 20, 2, 11}},
             {" 192.168.1.5", "192.168.1.5", {1, 1, 1}},
             {"", "", {0, 0, 0}},
             {"abc,def", "", {0, 0}},
             // Only the full stops of a host name survive, each an entry of its own.
             {"my.host.example", ".", {2, 7, 2}}}) {
        shared_state block = stored_list(each.text);
        EXPECT_STREQ(current_server(block), each.current.c_str()) << each.text;
        std::vector<int> visited{block.server_pos};
        while (visited.size() < each.positions.size()) {
            next_server(block);
            visited.push_back(block.server_pos);
        }
        EXPECT_EQ(visited, each.positions) << each.text;
    }
}

// A bad length leaves the position alone; a bad position restarts the steps.
TEST(ServerList, IndexesFromABrokenRecordNeverReachOutsideTheList) {
    for (auto [length, position, stepped] : std::vector<std::array<int, 3>>{
             {-5, 3, 3}, {0, 3, 3}, {258, 3, 3}, {100000, 3, 3}, {16, -1, 8}, {16, 16, 8}, {16, 257, 8}, {16, 1 << 30, 8}}) {
        shared_state block = stored_list("1.2.3.4,5.6.7.8");
        block.servers_len = length;
        block.server_pos = position;
        EXPECT_STREQ(current_server(block), "") << length << " " << position;
        next_server(block);
        EXPECT_EQ(block.server_pos, stepped) << length << " " << position;
    }
    shared_state unterminated{};
    std::memset(unterminated.servers, '1', server_list_size);
    unterminated.servers_len = 257;
    EXPECT_STREQ(current_server(unterminated), "");
}

// A list asks a running service to reconnect; a bare s changes nothing.
TEST(ServerList, LongTextIsCutAndBareCommandChangesNothing) {
    ASSERT_EQ(run_tovk({"s", std::string(300, '7')}).status, 0);
    raw_record record;
    ASSERT_TRUE(record.attached());
    EXPECT_EQ(record.i32(raw_offset::servers_len), 257);
    EXPECT_EQ(record.u8(raw_offset::servers + 255), '7');
    EXPECT_EQ(record.u8(raw_offset::servers + 256), 0);
    EXPECT_EQ(record.u8(raw_offset::reconnect), 1);

    record.set_u8(raw_offset::reconnect, 0);
    record.set_i32(raw_offset::server_pos, 5);
    for (const auto& words : std::vector<std::vector<std::string>>{{"s"}, {"s", "1.1.1.1", "2.2.2.2"}}) {
        process_result bare = run_tovk(words);
        EXPECT_EQ(bare.status, 0);
        EXPECT_EQ(bare.out, "");
    }
    EXPECT_EQ(record.u8(raw_offset::reconnect), 0);
    EXPECT_EQ(record.i32(raw_offset::server_pos), 5);
    EXPECT_EQ(record.i32(raw_offset::servers_len), 257);
}

}  // namespace
