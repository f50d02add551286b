#include "commands/server_list.h"
#include "ipc/shared_state.h"
#include "support/process.h"
#include "support/raw_record.h"

#include <gtest/gtest.h>

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

std::vector<int> positions_visited(shared_state& block, int steps) {
    std::vector<int> visited;
    for (int step = 0; step < steps; ++step) {
        next_server(block);
        visited.push_back(block.server_pos);
    }
    return visited;
}

TEST(ServerList, SplitsIntoEntriesAndStepsRoundRobin) {
    shared_state two = stored_list("10.0.0.1,10.0.0.2");
    EXPECT_EQ(two.servers_len, 18);
    EXPECT_EQ(two.server_pos, 0);
    EXPECT_STREQ(current_server(two), "10.0.0.1");
    EXPECT_EQ(positions_visited(two, 3), (std::vector<int>{9, 0, 9}));
    EXPECT_STREQ(current_server(two), "10.0.0.2");

    shared_state three = stored_list(",,1.1.1.1 ;2.2.2.2  3.3.3.3,");
    EXPECT_EQ(three.server_pos, 2);
    EXPECT_EQ(positions_visited(three, 4), (std::vector<int>{11, 20, 2, 11}));

    shared_state blank_first = stored_list(" 192.168.1.5");
    EXPECT_EQ(blank_first.server_pos, 1);
    EXPECT_EQ(positions_visited(blank_first, 2), (std::vector<int>{1, 1}));
}

TEST(ServerList, ListsWithoutEntries) {
    shared_state empty = stored_list("");
    EXPECT_EQ(empty.servers_len, 1);
    EXPECT_EQ(empty.server_pos, 0);
    EXPECT_STREQ(current_server(empty), "");
    EXPECT_EQ(positions_visited(empty, 2), (std::vector<int>{0, 0}));

    shared_state letters = stored_list("abc,def");
    EXPECT_EQ(letters.servers_len, 8);
    EXPECT_EQ(letters.server_pos, 0);
    EXPECT_STREQ(current_server(letters), "");

    // Only the full stops of a host name survive, each an entry of its own.
    shared_state host = stored_list("my.host.example");
    EXPECT_EQ(host.server_pos, 2);
    EXPECT_STREQ(current_server(host), ".");
    EXPECT_EQ(positions_visited(host, 2), (std::vector<int>{7, 2}));

    shared_state never_set{};
    EXPECT_EQ(positions_visited(never_set, 1), (std::vector<int>{0}));
    EXPECT_STREQ(current_server(never_set), "");
}

TEST(ServerList, IndexesFromABrokenRecordNeverReachOutsideTheList) {
    for (int length : {-5, 0, 258, 100000}) {
        shared_state block = stored_list("1.2.3.4");
        block.servers_len = length;
        block.server_pos = 3;
        next_server(block);
        EXPECT_EQ(block.server_pos, 3) << "servers_len " << length;
        EXPECT_STREQ(current_server(block), "") << "servers_len " << length;
    }
    for (int position : {-1, 16, 257, 1 << 30}) {
        shared_state block = stored_list("1.2.3.4,5.6.7.8");
        block.server_pos = position;
        EXPECT_STREQ(current_server(block), "") << "server_pos " << position;
        next_server(block);
        EXPECT_EQ(block.server_pos, 8) << "server_pos " << position;
    }
    shared_state unterminated{};
    std::memset(unterminated.servers, '1', server_list_size);
    unterminated.servers_len = 257;
    unterminated.server_pos = 0;
    EXPECT_STREQ(current_server(unterminated), "");
}

TEST(ServerList, CommandStoresListForOtherProcesses) {
    process_result result = run_tovk({"s", "10.0.0.1,10.0.0.2"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");

    raw_record record;
    ASSERT_TRUE(record.attached());
    std::vector<std::uint8_t> expected(257, 0);
    std::memcpy(expected.data(), "10.0.0.1\0" "10.0.0.2", 17);
    EXPECT_EQ(record.bytes(raw_offset::servers, 257), expected);
    EXPECT_EQ(record.i32(raw_offset::servers_len), 18);
    EXPECT_EQ(record.i32(raw_offset::server_pos), 0);
    EXPECT_EQ(record.u8(raw_offset::reconnect), 1);
    EXPECT_EQ(semaphore_values()[sem_state], 1);
}

TEST(ServerList, LongTextIsCutAndBareCommandChangesNothing) {
    ASSERT_EQ(run_tovk({"s", std::string(300, '7')}).status, 0);
    raw_record record;
    ASSERT_TRUE(record.attached());
    EXPECT_EQ(record.i32(raw_offset::servers_len), 257);
    EXPECT_EQ(record.u8(raw_offset::servers + 255), '7');
    EXPECT_EQ(record.u8(raw_offset::servers + 256), 0);

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
