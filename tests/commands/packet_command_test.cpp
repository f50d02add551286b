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

bytes slot_packet() {
    raw_record record;
    return record.attached() ? record.bytes(raw_offset::pkt, record.u8(raw_offset::pkt_len)) : bytes{};
}

// What the service does once it has sent the slot's packet.
void act_as_service_after_sending() {
    raw_record().set_u8(raw_offset::pkt_len, 0);
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
             {"2", "AB", {0x5F, 0x41, 0x42, 0x7D}, 2}, {"1", "%41%4a", {0x5F, 0x41, 0x4A, 0x75}, 1},
             {"3", "", {0x5F, 0x00}, 3}, {"2x", "%G1%1G", {0x5F, 0xF1, 0x0F, 0x00}, 2},
             {" +257", "%00", {0x5F, 0x00, 0x00}, 1}, {"-1", "%ff", {0x5F, 0xFF, 0x01}, 255},
             // Digits and letters at the edges of their ranges; ':', '/', '@' and '`' are no digits.
             {"1", "%9A%Fa%:/%@`", {0x5F, 0x9A, 0xFA, 0xEF, 0xEF, 0x8E}, 1}}) {
        process_result result = run_tovk({"p", each.direction, each.text});
        ASSERT_EQ(result.status, 0) << each.text;
        EXPECT_EQ(slot_packet(), each.packet) << each.text;
        EXPECT_EQ(raw_record().u8(raw_offset::pkt_dir), each.direction_byte) << each.text;
        EXPECT_EQ(packet_token(), 0) << "the service gives the token back, not the command";
        act_as_service_after_sending();
    }
}

// A failed p prints no usage text and leaves the slot and its token free.
TEST(PacketCommand, SeventyEightDataBytesFitAndSeventyNineFailWithTheSlotFree) {
    ASSERT_EQ(run_tovk({"p", "1", std::string(78, 'z')}).status, 0);
    ASSERT_EQ(slot_packet().size(), 80u);
    act_as_service_after_sending();

    const std::string too_long = "too long", malformed = "inside a % escape";
    for (const auto& [words, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"1", std::string(79, 'z')}, too_long}, {{"1", std::string(78, 'z') + "%41"}, too_long},
             {{"1", "AB%"}, malformed}, {{"1", "AB%4"}, malformed}, {{"x", "AB"}, ""}, {{"", "AB"}, ""}}) {
        process_result result = run_tovk({"p", words[0], words[1]});
        EXPECT_EQ(result.status, 1) << words[0] << " " << words[1].size();
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(slot_packet().size(), 0u);
        EXPECT_EQ(packet_token(), 1);
    }
}

// A p waits for the token while a packet is pending (the service world has
// the service free it); one interrupted in that wait fails and leaves the
// pending packet as it was.
TEST(PacketCommand, InterruptedWaitFailsAndLeavesThePendingPacket) {
    ASSERT_EQ(run_tovk({"p", "2", "AB"}).status, 0);
    const bytes pending = slot_packet();
    child_process waiting(tovk_path(), {"tovk", "p", "3", "CD"});
    ASSERT_TRUE(someone_waits_for_the_token());
    waiting.signal(SIGINT);
    std::optional<process_result> done = waiting.finish(std::chrono::seconds(10));
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, 1);
    EXPECT_EQ(slot_packet(), pending);
    EXPECT_EQ(packet_token(), 0);
}

}  // namespace
