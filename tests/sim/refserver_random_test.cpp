// The random run's parts that decide a verdict on their own: the script
// generator, the packet oracle and the audit (its logs in the test's own /run).
#include "packet_oracle.h"
#include "random_script.h"
#include "run_audit.h"
#include "script.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace refserver;

namespace {

TEST(RandomScript, EverySeedGivesOneScriptThatParsesWithAndWithoutKills) {
    std::size_t faults = 0;
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        std::string text = random_script(seed, 30), killing = random_script(seed, 30, true);
        EXPECT_EQ(text, random_script(seed, 30)) << "seed " << seed;
        EXPECT_EQ(parse_script(text).error, "") << "seed " << seed << ":\n" << text;
        EXPECT_EQ(parse_script(killing).error, "") << "seed " << seed << ":\n" << killing;
        faults += parse_script(killing).steps.size() - parse_script(text).steps.size();
    }
    EXPECT_NE(random_script(1, 30), random_script(2, 30));
    EXPECT_GT(faults, 40u * 5) << "each kill run holds several faults";
}

// Byte values worked out by hand from the packet format, not from tovk.
TEST(PacketOracle, TextBecomesTheFramedSlotPacket) {
    const struct {
        const char* text;
        const char* framed;
    } cases[] = {
        {"AB", "5F41427D"}, {"%41%4a", "5F414A75"}, {"", "5F00"}, {"%G1", "5FF10F"}, {"%1G", "5F0FF1"},
    };
    for (const auto& c : cases) EXPECT_EQ(hex_text(framed_packet(packet_text_bytes(c.text))), c.framed) << c.text;
}

side_command ended_side(std::vector<std::string> words, int status) {
    side_command side;
    side.program = "tovk";
    side.words = std::move(words);
    side.pid = 42;
    side.ended = true;
    side.status = status;
    return side;
}

struct audit_case {
    const char* name;
    std::string pic_log;
    const char* service_log;
    std::uint64_t acks;
    int p_status;  // exit status of the one side command `tovk p 2 AB`
    const char* problem;  // "" for none
    bool kills = false;
};

// One pulse-coded command (three pulses in one sampling stream), the
// packet generated for address 3 code 20, and the `p` packet AB.
constexpr const char* legacy_stream =
    "stream_start stream=1 kind=sampling channels=2\n"
    "pulse stream=1 mask=2 start=10 width=5\npulse stream=1 mask=2 start=40 width=5\n"
    "pulse stream=1 mask=2 start=90 width=5\n";
constexpr const char* both_packets =
    "packet stream=2 len=6 payload=5F02024014A8 dir=1\npacket stream=3 len=4 payload=5F41427D dir=2\n";
constexpr const char* logged = "Legacy command: 1 9 4\nGenerated packet: 1 3 20\n";

TEST(RunAudit, AcknowledgementsAndPacketsAreCountedAgainstThePic) {
    const std::string full = std::string(legacy_stream) + both_packets;
    const audit_case cases[] = {
        {"everything once", full, logged, 3, 0, ""},
        {"an acknowledgement short", full, logged, 2, 0, "2 acknowledgements for 1 pulse-coded commands and 2 packets"},
        {"a packet never sent", legacy_stream, logged, 1, 0, "packet 5F41427D queued 1x, reached the PIC 0x"},
        {"a packet sent twice", full + "packet stream=4 payload=5F41427D\n", logged, 4, 0,
         "packet 5F41427D reached the PIC 2x, queued 1x"},
        {"a failed p queues nothing", std::string(legacy_stream) + "packet stream=2 payload=5F02024014A8\n",
         logged, 2, 1, "tovk p 2 AB exited with 1"},
        {"a legacy command logged, never pulsed", both_packets, logged, 2, 0, "1 legacy commands logged, 0 reached"},
        {"a killed service owes an acknowledgement", full, logged, 2, 0, "", true},
        {"a killed service's packet sent again", full + "packet stream=4 payload=5F41427D\n", logged, 3, 0, "", true},
        {"a killed service's legacy command never pulsed", both_packets, logged, 2, 0, "", true},
        {"a packet lost in spite of kills", legacy_stream, logged, 1, 0, "packet 5F41427D queued 1x, reached the PIC 0x",
         true},
        {"a pulse outside a stream", full + "seq=9 t=2.5 stray_pulse stream=3 mask=1\n", logged, 3, 0,
         "1 select pulses began while the PIC sent no stream"},
    };
    for (const audit_case& c : cases) {
        std::ofstream("/run/pic.log") << c.pic_log;
        std::ofstream("/run/service.err") << c.service_log;
        std::vector<side_command> sides{ended_side({"p", "2", "AB"}, c.p_status)};
        std::string summary;
        std::vector<std::string> problems =
            audit_run({c.acks, "/run/pic.log", "/run/service.err", &sides, c.kills}, summary);
        std::string all;
        for (const std::string& problem : problems) all += problem + "\n";
        if (*c.problem == '\0') {
            EXPECT_EQ(all, "") << c.name;
        } else {
            EXPECT_NE(all.find(c.problem), std::string::npos) << c.name << ":\n" << all;
        }
    }
}

TEST(RunAudit, ASideCommandThatNeverEndedIsAProblem) {
    std::vector<side_command> sides{ended_side({"d"}, -1)};
    sides[0].ended = false;
    std::string summary;
    std::vector<std::string> problems = audit_run({0, "/run/none.log", "/run/none.err", &sides}, summary);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], "tovk d never ended");
    EXPECT_EQ(summary, "acks=0 legacy=0 packets=0 generated=0 queued_by_p=0");
}

}  // namespace
