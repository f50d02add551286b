// The reference server against a fake service over loopback: script steps,
// the words they put on the wire, acknowledgements, the resend a packet left
// unfinished is owed, and the program's own output and exit status. The
// server's own cut and its resend are the RefserverInWorld test's.
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
using namespace refserver_fakes;

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
    ~running_server() { summary(); }

    std::uint16_t port() const { return run_->port(); }
    // The finished session's counts as the program's summary says them.
    std::string summary() {
        if (thread_.joinable()) thread_.join();
        std::ostringstream line;
        reporter(line, line, nullptr).summary(run_->counts(), 0, false);
        return line.str();
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
        EXPECT_EQ(service.read_word(), plain_word) << n;
        EXPECT_TRUE(n > 1 || !service.read_word(300ms)) << "a second word while the request is open";
        ASSERT_TRUE(service.send_all(data_packet(capture_from(seed, 2 * n, 100 + n), n == 2 ? '1' : '0')));
    }
    EXPECT_TRUE(service.wait_closed());
    EXPECT_PRED2(contains, server.summary(), "data=3 ack=0 verified=3 mismatches=0 expectations=1/1 connections=1");
    // Each packet's status, inflated size and window.
    std::regex packets("#1 TC status=0 .*\n#2 TC status=1 size=8192 compressed=[0-9]+ ratio=[0-9.]+ stream=4 "
                       "window=217 verified");
    EXPECT_TRUE(std::regex_search(server.out.str(), packets)) << server.out.str();
}

// The service answers with a good acknowledgement and one wrong in its last byte.
TEST(RefserverSession, StepsPutTheirWordsOnTheWireAndAcknowledgementsAreChecked) {
    running_server server(
        "pause; resume; reset; scan; mode 2 1 route; mode 1 1; command 1 3 20 mode 1; command 2 5 1 mode 2 route; "
        "word 07 02 05 01; raw 0102; wait 0.2; raw 03 04; request 2 every 0.1; expect ack 2 within 5");
    fake_service service;
    ASSERT_TRUE(service.connect_to(server.port()));
    // Raw bytes need not make a word on their own: the two halves make one.
    for (const bytes& want : std::vector<bytes>{{0xFF, 0, 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 0}, {0, 0, 0, 1},
                                                {0x06, 1, 0, 0}, {0x01, 1, 0, 0}, {0x01, 1, 3, 20}, {0x06, 2, 5, 1},
                                                {7, 2, 5, 1}, {1, 2, 3, 4}, plain_word, plain_word}) {
        ASSERT_EQ(service.read_word(), want);
    }
    bytes wrong = ack_packet();
    wrong[14] = 1;
    ASSERT_TRUE(service.send_all(ack_packet()) && service.send_all(wrong));
    EXPECT_TRUE(service.wait_closed());
    EXPECT_PRED2(contains, server.summary(), "data=0 ack=2 verified=1 mismatches=1 expectations=1/1");
    EXPECT_EQ(server.err.str(),
              "MISMATCH #2 TE status=3 size=10 MISMATCH: acknowledgement byte 14 is 01, expected 00\n");
}

// What the service left unfinished must come again from its first byte on a
// later connection, also when it comes among what the script's close throws
// away (held unread here).
TEST(RefserverSession, PacketTheServiceLeftUnfinishedMustBeRepeated) {
    struct example {
        std::uint64_t in_the_close;  // the stream of what the second connection carries; 0: nothing
        const char *counts, *problem;
    };
    for (const example& each : std::vector<example>{
             {0, "data=1 ack=0 verified=0 mismatches=1 expectations=2/2 connections=2 resends=0", "MISMATCH #1 TC"},
             {3, "data=1 ack=0 verified=1 mismatches=0 expectations=2/2 connections=3 resends=1", ""},
             {5, "data=1 ack=0 verified=1 mismatches=1 expectations=2/2 connections=3 resends=0",
              "MISMATCH connection 2: after the script's close: "}}) {
        running_server server("request 1; expect closed within 5; " +
                              std::string(each.in_the_close ? "hold; request 1; wait 0.5; disconnect; release; " : "") +
                              "request 1; expect data 1 within 5");
        // The first connection ends with the service's close.
        ASSERT_TRUE(fake_service().answer(server.port(), data_packet(capture_from(seed, 3, 90)), 500));
        if (each.in_the_close) {
            fake_service closed;
            ASSERT_TRUE(closed.answer(server.port(), data_packet(capture_from(seed, each.in_the_close, 90))));
            closed.wait_closed();
        }
        fake_service again;
        ASSERT_TRUE(again.answer(server.port(), data_packet(capture_from(seed, 4, 90))));
        again.wait_closed();
        EXPECT_PRED2(contains, server.summary(), each.counts) << server.out.str() << server.err.str();
        EXPECT_PRED2(contains, server.err.str(), each.problem);
        EXPECT_EQ(contains(server.err.str(), "the packet left unfinished after 500 bytes on connection 1 was not sent "
                                             "again"), each.in_the_close != 3);
    }
}

// Held unread, then read at 1000 bytes a second: a packet of about 4.7 kB
// cannot be whole within a second either way.
TEST(RefserverSession, HoldSlowReadQuietAndDeadlines) {
    running_server server(
        "expect quiet 0.3; hold; request 1; expect quiet 1; release; expect data 1 within 5; "
        "slowread 1000; request 1; expect quiet 1; expect data 1 within 15; slowread 0; "
        "request 1; expect quiet 2; expect data 1 within 1; expect data 1 within 0.3");
    fake_service service;
    ASSERT_TRUE(service.connect_to(server.port()));
    for (std::uint64_t stream = 1; stream <= 3; ++stream) {
        ASSERT_TRUE(service.read_word(20s) && service.send_all(data_packet(capture_from(seed, stream, 80)))) << stream;
    }
    EXPECT_TRUE(service.wait_closed(10s));
    // The third quiet and the last deadline fail.
    EXPECT_PRED2(contains, server.summary(), "data=3 ack=0 verified=3 mismatches=0 expectations=6/8 connections=1");
    EXPECT_PRED2(contains, server.err.str(), "EXPECTATION FAILED: expect quiet 2 (packet #3 arrived)");
    EXPECT_PRED2(contains, server.err.str(), "EXPECTATION FAILED: expect data 1 within 0.3 (0 of 1 data packets");
}

std::uint16_t free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// The program itself: a failure is loud on standard error, in the summary,
// in the JSON log and in the exit status, which every world test reads (they
// all pass with status 0).
TEST(RefserverProgram, AFailureShowsInTheExitStatusSummaryAndJson) {
    std::uint16_t port = free_port();
    std::string json = ::testing::TempDir() + "refserver_" + std::to_string(port) + ".json";
    child_process program(REFSERVER_PATH, {"refserver", "--port", std::to_string(port), "--seed", std::to_string(seed),
                                           "--json", json, "request 1", "expect data 1 within 5"});
    fake_service service;
    bytes capture = capture_from(seed, 2, 150);
    capture[4000] ^= 0x01;
    ASSERT_TRUE(service.answer(port, data_packet(capture)));
    process_result result = finished(program, 10s, "refserver");
    std::ostringstream log;
    log << std::ifstream(json).rdbuf();
    std::remove(json.c_str());
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_EQ(result.err.rfind("MISMATCH #1 TC", 0), 0u) << result.err;
    EXPECT_PRED2(contains, result.out,
                 "summary: packets=1 data=1 ack=0 verified=0 mismatches=1 expectations=1/1 connections=1 resends=0 "
                 "words=1 window=searched_without_log result=FAILED");
    EXPECT_TRUE(std::regex_search(log.str(), std::regex("\\{\"t\":[0-9]+\\.[0-9]{6},\"event\":\"summary\"")))
        << log.str();
    EXPECT_PRED2(contains, log.str(), "\"verified\":false,\"resend\":false,\"problem\":\"no window of streams 1..64 "
                                      "matches; nearest stream 2 window 265: 1 of 65536 bits differ");
}

}  // namespace
