// The reference server against a fake service over loopback: script steps,
// the words they put on the wire, acknowledgements, cut connections and the
// resend that must follow, and the program's own output and exit status.
#include "refserver_fakes.h"
#include "report.h"
#include "server.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

using namespace refserver;
using namespace std::chrono_literals;
using refserver_fakes::ack_packet;
using refserver_fakes::capture_from;
using refserver_fakes::contains;
using refserver_fakes::data_packet;
using refserver_fakes::fake_service;

namespace {

constexpr std::uint64_t seed = 11;

// A session on a free port, run in a thread; every step bounds its own waits.
class running_server {
public:
    explicit running_server(const std::string& script_text) {
        script_result parsed = parse_script(script_text);
        EXPECT_EQ(parsed.error, "");
        server_options options;
        options.port = 0;
        options.verify.seed = seed;
        run_ = std::make_unique<session>(options, parsed.steps, report_);
        std::string error;
        EXPECT_TRUE(run_->listen(error)) << error;
        thread_ = std::thread([this] { run_->run(); });
    }
    ~running_server() { finish(); }

    std::uint16_t port() const { return run_->port(); }
    const run_counts& finish() {
        if (thread_.joinable()) thread_.join();
        return run_->counts();
    }

    std::ostringstream out, err;

private:
    reporter report_{out, err, nullptr};
    std::unique_ptr<session> run_;
    std::thread thread_;
};

const bytes plain_word{0, 0, 1, 0};

TEST(RefserverSession, ContinuousRequestsOnePacketAtATimeAndPlacesEach) {
    running_server server("continuous 3 within 20");
    fake_service service;
    ASSERT_TRUE(service.connect_to(server.port()));
    for (std::uint64_t n = 1; n <= 3; ++n) {
        auto word = service.read_word();
        ASSERT_TRUE(word) << n;
        EXPECT_EQ(*word, plain_word);
        if (n == 1) {
            EXPECT_FALSE(service.read_word(300ms)) << "a second word while the request is open";
        }
        ASSERT_TRUE(service.send_all(data_packet(capture_from(seed, 2 * n, 100 + n), n == 2 ? '1' : '0')));
    }
    EXPECT_TRUE(service.wait_closed());
    const run_counts& counts = server.finish();
    EXPECT_EQ(counts.data, 3u);
    EXPECT_EQ(counts.verified, 3u);
    EXPECT_EQ(counts.words, 3u);
    EXPECT_TRUE(counts.passed()) << server.out.str();
    EXPECT_PRED2(contains, server.out.str(), "#1 TC status=0 size=8192 compressed=");
    EXPECT_PRED2(contains, server.out.str(), "#2 TC status=1");
    EXPECT_PRED2(contains, server.out.str(), "stream=6 window=218 verified");
}

TEST(RefserverSession, StepsPutTheirWordsOnTheWire) {
    running_server server(
        "pause; resume; reset; scan; mode 2 1 route; mode 1 1; command 1 3 20 mode 1; command 2 5 1 mode 2 route; "
        "word 07 02 05 01; raw 0102; wait 0.2; raw 03 04; request 2 every 0.1");
    fake_service service;
    ASSERT_TRUE(service.connect_to(server.port()));
    // Raw bytes need not make a word on their own: the two halves make one.
    std::vector<bytes> expected{{0xFF, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 0}, {0, 0, 0, 1},
                                {0x06, 1, 0, 0}, {0x01, 1, 0, 0},         {0x01, 1, 3, 20}, {0x06, 2, 5, 1},
                                {7, 2, 5, 1},    {1, 2, 3, 4},            plain_word,       plain_word};
    for (const bytes& want : expected) {
        auto word = service.read_word();
        ASSERT_TRUE(word);
        EXPECT_EQ(*word, want);
    }
    EXPECT_TRUE(service.wait_closed());
    EXPECT_TRUE(server.finish().passed());
}

TEST(RefserverSession, AcknowledgementsAreCheckedAndCounted) {
    running_server server("command 1 3 20; expect ack 1 within 5; command 1 3 20; expect ack 1 within 5");
    fake_service service;
    ASSERT_TRUE(service.connect_and_read_word(server.port()));
    ASSERT_TRUE(service.send_all(ack_packet()));
    ASSERT_TRUE(service.read_word());
    bytes wrong = ack_packet();
    wrong[14] = 1;
    ASSERT_TRUE(service.send_all(wrong));
    EXPECT_TRUE(service.wait_closed());
    const run_counts& counts = server.finish();
    EXPECT_EQ(counts.acks, 2u);
    EXPECT_EQ(counts.verified, 1u);
    EXPECT_EQ(counts.mismatches, 1u);
    EXPECT_EQ(counts.expectations_failed, 0u);
    EXPECT_FALSE(counts.passed());
    EXPECT_EQ(server.err.str().rfind("MISMATCH #2 TE status=3 size=10", 0), 0u) << server.err.str();
    EXPECT_PRED2(contains, server.err.str(), "byte 14 is 01, expected 00");
}

// The server cuts a packet; the service comes back and sends it again: from
// byte 0 (right) or from where it was (wrong).
TEST(RefserverSession, CutPacketMustComeAgainFromByteZero) {
    for (bool from_start : {true, false}) {
        running_server server("request 1; cut 1000; expect connect within 5; request 1; expect data 1 within 3");
        bytes packet = data_packet(capture_from(seed, 3, 90));
        {
            fake_service first;
            ASSERT_TRUE(first.connect_and_read_word(server.port()));
            ASSERT_TRUE(first.send_all(packet, 0, 600));
            std::this_thread::sleep_for(100ms);
            first.send_all(packet, 600);  // the server stops reading at byte 1000
            EXPECT_TRUE(first.wait_closed());
        }
        fake_service again;
        ASSERT_TRUE(again.connect_and_read_word(server.port()));
        again.send_all(packet, from_start ? 0 : 1000);
        again.wait_closed();
        const run_counts& counts = server.finish();
        std::string out = server.out.str(), err = server.err.str();
        EXPECT_PRED2(contains, out,
                     "cut after 1000 of " + std::to_string(packet.size()) + " bytes of a data packet (stream 3)");
        EXPECT_EQ(counts.resends, from_start ? 1u : 0u);
        EXPECT_EQ(counts.passed(), from_start) << out << err;
        if (from_start) {
            EXPECT_EQ(counts.verified, 1u);
            EXPECT_PRED2(contains, out, "stream=3 window=205 resend verified (sent again from byte 0 after 1000 bytes");
        } else {
            EXPECT_GE(counts.mismatches, 1u);
            EXPECT_PRED2(contains, err, "MISMATCH connection 2: unknown packet type");
        }
    }
}

// What the service left unfinished must come again from its first byte on a
// later connection, also when it comes among what the script's close throws
// away (held unread here).
TEST(RefserverSession, PacketTheServiceLeftUnfinishedMustBeRepeated) {
    struct example {
        std::uint64_t in_the_close;  // the stream of what the second connection carries; 0: nothing
        std::uint64_t resends, mismatches;
        const char* problem;
    };
    for (const example& each : std::vector<example>{
             {0, 0, 1, "MISMATCH #1 TC"},
             {3, 1, 0, ""},
             {5, 0, 1, "MISMATCH connection 2: after the script's close: "}}) {
        running_server server("request 1; expect closed within 5; " +
                              std::string(each.in_the_close ? "hold; request 1; wait 0.5; disconnect; release; " : "") +
                              "request 1; expect data 1 within 5");
        bytes unfinished = data_packet(capture_from(seed, 3, 90));
        {
            fake_service first;
            ASSERT_TRUE(first.connect_and_read_word(server.port()));
            ASSERT_TRUE(first.send_all(unfinished, 0, 500));
        }
        if (each.in_the_close) {
            fake_service closed;
            ASSERT_TRUE(closed.connect_and_read_word(server.port()));
            ASSERT_TRUE(closed.send_all(data_packet(capture_from(seed, each.in_the_close, 90))));
            closed.wait_closed();
        }
        fake_service again;
        ASSERT_TRUE(again.connect_and_read_word(server.port()));
        again.send_all(data_packet(capture_from(seed, 4, 90)));
        again.wait_closed();
        const run_counts& counts = server.finish();
        std::string context = std::to_string(each.in_the_close) + "\n" + server.out.str() + server.err.str();
        EXPECT_EQ(counts.expectations_failed, 0u) << context;
        EXPECT_EQ(counts.resends, each.resends) << context;
        EXPECT_EQ(counts.mismatches, each.mismatches) << context;
        EXPECT_PRED2(contains, server.err.str(), each.problem);
        if (each.mismatches > 0) {
            EXPECT_PRED2(contains, server.err.str(),
                         "the packet left unfinished after 500 bytes on connection 1 was not sent again");
        }
    }
}

TEST(RefserverSession, HoldQuietAndDeadlines) {
    running_server server(
        "expect quiet 0.3; hold; request 1; expect quiet 1; release; expect data 1 within 5; "
        "request 1; expect quiet 2; expect data 1 within 1; expect data 1 within 0.3");
    fake_service service;
    ASSERT_TRUE(service.connect_and_read_word(server.port()));
    // Sent at once, but held unread until the script releases it.
    ASSERT_TRUE(service.send_all(data_packet(capture_from(seed, 1, 80))));
    ASSERT_TRUE(service.read_word());
    ASSERT_TRUE(service.send_all(data_packet(capture_from(seed, 2, 80))));
    EXPECT_TRUE(service.wait_closed(10s));
    const run_counts& counts = server.finish();
    EXPECT_EQ(counts.verified, 2u);
    EXPECT_EQ(counts.expectations, 6u);
    EXPECT_EQ(counts.expectations_failed, 2u);  // the second quiet, the last deadline
    EXPECT_PRED2(contains, server.err.str(), "EXPECTATION FAILED: expect quiet 2 (packet #2 arrived)");
    EXPECT_PRED2(contains, server.err.str(), "EXPECTATION FAILED: expect data 1 within 0.3 (0 of 1 data packets");
}

// At 1000 bytes a second a packet of about 4.7 kB cannot be whole within a
// second; the server's own disconnect then lets the service come back.
TEST(RefserverSession, SlowReadingAndTheServersDisconnect) {
    running_server server(
        "slowread 1000; request 1; expect quiet 1; expect data 1 within 15; slowread 0; disconnect; "
        "expect connect within 5; request 1; expect data 1 within 5");
    bytes packet = data_packet(capture_from(seed, 1, 80));
    ASSERT_GT(packet.size(), 3000u);
    {
        fake_service first;
        ASSERT_TRUE(first.connect_and_read_word(server.port()));
        ASSERT_TRUE(first.send_all(packet));
        EXPECT_TRUE(first.wait_closed(20s));
    }
    fake_service again;
    ASSERT_TRUE(again.connect_and_read_word(server.port()));
    ASSERT_TRUE(again.send_all(data_packet(capture_from(seed, 2, 80))));
    again.wait_closed();
    const run_counts& counts = server.finish();
    EXPECT_EQ(counts.verified, 2u);
    EXPECT_EQ(counts.connections, 2u);
    EXPECT_TRUE(counts.passed()) << server.out.str();
    EXPECT_PRED2(contains, server.out.str(), "-- disconnect: connection 1 disconnected by the script");
}

std::uint16_t free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The program itself: the failure is loud on standard error and in the exit status.
TEST(RefserverProgram, ExitStatusSummaryAndJsonFollowTheVerdict) {
    for (bool flip : {false, true}) {
        std::uint16_t port = free_port();
        std::string json = ::testing::TempDir() + "refserver_" + std::to_string(port) + ".json";
        child_process program(REFSERVER_PATH, {"refserver", "--port", std::to_string(port), "--seed",
                                               std::to_string(seed), "--json", json, "request 1",
                                               "expect data 1 within 5"});
        fake_service service;
        ASSERT_TRUE(service.connect_and_read_word(port));
        bytes capture = capture_from(seed, 2, 150);
        if (flip) capture[4000] ^= 0x01;
        ASSERT_TRUE(service.send_all(data_packet(capture)));
        EXPECT_TRUE(service.wait_closed());
        auto result = program.finish(10s);
        ASSERT_TRUE(result);
        std::ostringstream log;
        log << std::ifstream(json).rdbuf();
        EXPECT_TRUE(std::regex_search(log.str(), std::regex("\\{\"t\":[0-9]+\\.[0-9]{6},\"event\":\"summary\"")))
            << log.str();
        EXPECT_EQ(result->status, flip ? 1 : 0) << result->out << result->err;
        if (flip) {
            EXPECT_EQ(result->err.rfind("MISMATCH #1 TC", 0), 0u) << result->err;
            EXPECT_PRED2(contains, result->out, "result=FAILED");
            EXPECT_PRED2(contains, log.str(), "\"verified\":false");
        } else {
            EXPECT_EQ(result->err, "");
            EXPECT_PRED2(contains, result->out,
                         "summary: packets=1 data=1 ack=0 verified=1 mismatches=0 expectations=1/1");
            EXPECT_PRED2(contains, log.str(), "\"stream\":2,\"read_begin\":150,\"window\":265");
        }
        std::remove(json.c_str());
    }
}

}  // namespace
