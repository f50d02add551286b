#include "ipc/shared_state.h"
#include "support/process.h"
#include "support/raw_record.h"

#include <sys/sem.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

struct slot {
    bytes packet;
    int direction;
};

slot read_slot() {
    raw_record record;
    if (!record.attached()) return {};
    std::uint8_t length = record.u8(raw_offset::pkt_len);
    return {record.bytes(raw_offset::pkt, length), record.u8(raw_offset::pkt_dir)};
}

// What the service does once it has sent the slot's packet.
void act_as_service_after_sending() {
    raw_record record;
    record.set_u8(raw_offset::pkt_len, 0);
    ASSERT_TRUE(semaphore_change(sem_packet, +1));
}

int packet_token() { return semaphore_values().at(sem_packet); }

// Bounded: a slow start (under an emulator, say) must not be taken for a wait.
bool someone_waits_for_the_token() {
    for (int tries = 0; tries < 1000; ++tries) {
        int id = semget(board_key(), 0, 0);
        if (id != -1 && semctl(id, sem_packet, GETNCNT) > 0) return true;
        usleep(10000);
    }
    return false;
}

TEST(PacketCommand, FramesTextEscapesAndChecksumIntoTheSlot) {
    struct example {
        std::string direction, text;
        bytes packet;
        int direction_byte;
    };
    for (const example& each : std::vector<example>{
             {"2", "AB", {0x5F, 0x41, 0x42, 0x7D}, 2},
             {"1", "%41%4a", {0x5F, 0x41, 0x4A, 0x75}, 1},
             {"3", "", {0x5F, 0x00}, 3},
             {"2x", "%G1%1G", {0x5F, 0xF1, 0x0F, 0x00}, 2},
             {" +257", "%00", {0x5F, 0x00, 0x00}, 1},
             {"-1", "%ff", {0x5F, 0xFF, 0x01}, 255},
             // Digits and letters at the edges of their ranges; ':', '/', '@' and '`' are no digits.
             {"1", "%9A%Fa%:/%@`", {0x5F, 0x9A, 0xFA, 0xEF, 0xEF, 0x8E}, 1}}) {
        process_result result = run_tovk({"p", each.direction, each.text});
        EXPECT_EQ(result.status, 0) << each.text;
        slot written = read_slot();
        EXPECT_EQ(written.packet, each.packet) << each.text;
        EXPECT_EQ(written.direction, each.direction_byte) << each.text;
        EXPECT_EQ(packet_token(), 0) << "the service gives the token back, not the command";
        act_as_service_after_sending();
    }
}

TEST(PacketCommand, SeventyEightDataBytesFitAndSeventyNineFailWithTheSlotFree) {
    ASSERT_EQ(run_tovk({"p", "1", std::string(78, 'z')}).status, 0);
    slot full = read_slot();
    ASSERT_EQ(full.packet.size(), 80u);
    EXPECT_EQ(full.packet[79], static_cast<std::uint8_t>(-78 * 'z'));
    act_as_service_after_sending();

    for (const std::string& text : {std::string(79, 'z'), std::string(78, 'z') + "%41", std::string(200, 'q')}) {
        process_result result = run_tovk({"p", "1", text});
        EXPECT_EQ(result.status, 1) << text.size();
        EXPECT_NE(result.err.find("too long"), std::string::npos);
        EXPECT_EQ(read_slot().packet.size(), 0u);
        EXPECT_EQ(packet_token(), 1);
    }
}

TEST(PacketCommand, RejectedWordsLeaveTheSlotFree) {
    for (const auto& words : std::vector<std::vector<std::string>>{
             {"p", "1", "AB%"}, {"p", "1", "AB%4"}, {"p", "x", "AB"}, {"p", "", "AB"}, {"p", "99999999999", "A"}}) {
        process_result result = run_tovk(words);
        EXPECT_EQ(result.status, 1) << words[1] << " " << words[2];
        EXPECT_EQ(result.out, "") << "no usage text for a failed p";
        EXPECT_EQ(read_slot().packet.size(), 0u);
        EXPECT_EQ(packet_token(), 1);
    }
}

TEST(PacketCommand, SecondPacketWaitsUntilTheServiceHasSentTheFirst) {
    ASSERT_EQ(run_tovk({"p", "2", "AB"}).status, 0);
    child_process second(tovk_path(), {"tovk", "p", "3", "CD"});
    EXPECT_FALSE(second.finish(std::chrono::milliseconds(500))) << "second p must wait for the token";
    EXPECT_EQ(read_slot().packet, (bytes{0x5F, 0x41, 0x42, 0x7D}));

    act_as_service_after_sending();
    std::optional<process_result> done = second.finish(std::chrono::seconds(10));
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, 0);
    slot next = read_slot();
    EXPECT_EQ(next.packet, (bytes{0x5F, 0x43, 0x44, 0x79}));
    EXPECT_EQ(next.direction, 3);
}

TEST(PacketCommand, InterruptedWaitFailsAndLeavesThePendingPacket) {
    ASSERT_EQ(run_tovk({"p", "2", "AB"}).status, 0);
    child_process waiting(tovk_path(), {"tovk", "p", "3", "CD"});
    ASSERT_TRUE(someone_waits_for_the_token());
    waiting.signal(SIGINT);
    std::optional<process_result> done = waiting.finish(std::chrono::seconds(10));
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, 1);
    EXPECT_EQ(read_slot().packet, (bytes{0x5F, 0x41, 0x42, 0x7D}));
    EXPECT_EQ(packet_token(), 0);
}

}  // namespace
