// The service end to end: the real tovk in a simulated board world, the
// reference server as its concentrator, the PIC model's and the board's logs
// as witnesses of what reached the hardware.
#include "commands/info_dump.h"
#include "support/world_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <tuple>
#include <vector>

namespace {

// A world with its log in $L; the script's own output, then "--- lines",
// "--- pic" and the logs.
process_result service_world(const std::vector<std::string>& options, const std::string& script,
                             std::chrono::milliseconds timeout = std::chrono::seconds(90)) {
    scratch_dir logs;
    std::vector<std::string> all = {"--log", logs.path()};
    all.insert(all.end(), options.begin(), options.end());
    return in_world(all, "L='" + logs.path() + "'\n" + script + R"(
        echo '--- lines'; cat "$L/lines.log"; echo '--- pic'; cat "$L/pic.log")",
                    timeout);
}

std::string section(const std::string& text, const std::string& name) {
    std::size_t start = text.find("--- " + name);
    if (start == std::string::npos) return "";
    std::size_t end = text.find("\n--- ", start + 1);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The PIC's packets, in order, as "payload dir pulses".
std::vector<std::string> pic_packets(const process_result& run) {
    std::vector<std::string> packets;
    for (const std::string& line : lines_with(section(run.out, "pic"), {" packet t="}))
        packets.push_back(fields_of(line, {"payload", "dir", "pulses"}));
    return packets;
}

std::size_t count_of(const std::string& text, const std::string& word) {
    std::size_t count = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
    return count;
}

// The service in the background with its log in $L/service.err; its exit
// status lands in "service=N" once the script has stopped it.
const std::string start_service = R"(
    "$T" i 127.0.0.1 >"$L/service.out" 2>"$L/service.err" & S=$!)";
const std::string stop_service = R"(
    "$T" r; wait $S; echo service=$?
    cat "$L/service.out"; echo '--- service.err'; cat "$L/service.err")";

// Seconds between the one rise and the one fall of a line in the lines log.
double high_for(const std::string& lines, const std::string& name) {
    auto rise = lines_with(lines, {"name=" + name + " ", "new=1"});
    auto fall = lines_with(lines, {"name=" + name + " ", "old=1", "new=0"});
    if (rise.size() != 1 || fall.size() != 1) {
        ADD_FAILURE() << name << " did not rise and fall once:\n" << lines;
        return -1;
    }
    return std::stod(fields_of(fall[0], {"t"})) - std::stod(fields_of(rise[0], {"t"}));
}

class ServiceWorld : public world_test {};

TEST_F(ServiceWorld, CapturesVerifiedCommandsCarriedOutReadingsPublished) {
    process_result run = service_world(
        {"--do", "set diode 0.66", "--do", "set module1 24.5", "--do", "set module2 21.5", "--do", "aux on"},
        start_service + R"(
        "$R" --pic-log "$L" 'continuous 3' pause 'expect quiet 2' resume 'expect data 1' \
            'command 1 3 20 mode 1' 'expect ack 1 within 10' \
            'command 1 2 24 mode 2' 'expect ack 1 within 10' reset 'expect data 1'; echo refserver=$?
        "$T" d; echo dump=$?)" + stop_service);
    EXPECT_TRUE(said(run, "refserver=0 service=0"));
    EXPECT_NE(run.out.find("Signal caught..."), std::string::npos);
    std::string log = section(run.out, "service.err");
    EXPECT_EQ(count_of(log, "PICv3"), 2u) << log;
    EXPECT_EQ(count_of(log, "Generated packet: 1 3 20"), 1u) << log;
    EXPECT_EQ(count_of(log, "Legacy command: 1 2 24"), 1u) << log;
    EXPECT_EQ(pic_packets(run), std::vector<std::string>{"5F02024014A8 1 1"}) << run.out;
    EXPECT_FALSE(lines_with(section(run.out, "lines"), {"name=route_mode", "new=1"}).empty()) << "mode 2 drives route mode";

    // The dump: keys in order, numbers as a stream prints them, the check code.
    std::smatch dump;
    std::regex format(
        "diode=([-0-9.e]+?)([0-9]{2})\ntemp=([-0-9.e]+)\nbatt=[-0-9.e]+\nauxpwr=1\nauxpwrdis=0\n"
        "mod_vol0=([-0-9.e]+)\nmod_vol1=([-0-9.e]+)\ndump=0\n");
    ASSERT_TRUE(std::regex_search(run.out, dump, format)) << run.out;
    EXPECT_EQ(diode_check_code(dump[1].str()), std::stoi(dump[2].str()));
    // The diode's temperature line: 20.9 at 0.657756 V, falling 0.086592 V per 42.5 degrees.
    EXPECT_NEAR(std::stod(dump[3].str()), (std::stod(dump[1].str()) - 0.657756) * 42.5 / -0.086592 + 20.9, 0.01);
    EXPECT_NEAR(std::stod(dump[4].str()), 24.5, 0.01);
    EXPECT_NEAR(std::stod(dump[5].str()), 21.5, 0.01);
}

TEST_F(ServiceWorld, SlotPacketsFromOtherProcessesReachThePicDuringCaptures) {
    process_result run = service_world(
        {}, start_service + R"(
        ("$R" --pic-log "$L" 'continuous 2' 'expect ack 1 within 15' 'continuous 2'; echo refserver=$?) & Q=$!; sleep 2
        "$T" p 2 AB; echo p1=$?
        "$T" p 1 %41%4a; echo p2=$?
        wait $Q; "$D" take_within 6)" + stop_service,
        std::chrono::seconds(120));
    EXPECT_TRUE(said(run, "p1=0 p2=0 refserver=0 taken6=1")) << "taken6: the slot is free again";
    EXPECT_EQ(pic_packets(run), (std::vector<std::string>{"5F41427D 2 1", "5F414A75 1 1"})) << run.out;
}

// Mixed behaviours the service once wedged on or lied about: a device command
// while paused, a disconnect while paused, a slot length no packet can have.
TEST_F(ServiceWorld, NothingWedgesBehindAPauseAndNoDropIsAcknowledged) {
    process_result run = service_world(
        {}, start_service + R"(
        "$R" 'continuous 1' pause 'command 2 5 1' 'expect ack 1 within 10' disconnect \
            'expect connect within 10' resume 'expect data 1 within 10'; echo paused=$?
        "$D" slot_length 200
        "$R" 'request 1' 'expect data 1' 'expect quiet 3'; echo dropped=$?
        "$D" take_within 6)" + stop_service);
    EXPECT_TRUE(said(run, "paused=0 dropped=0 taken6=1 service=0")) << "taken6: the slot is free again";
    EXPECT_EQ(count_of(run.out, "Packet slot length 200 out of range"), 1u) << run.out;
    EXPECT_EQ(count_of(run.out, " TE "), 1u) << "one acknowledgement: the command's, not the drop's";
}

// A slow reader with small buffers gets a device command while a data packet
// is on its way: the acknowledgement waits for the end of the packet, and
// the connection and the packet survive.
TEST_F(ServiceWorld, AcknowledgementWaitsForTheDataPacketOnTheWire) {
    process_result run = service_world(
        {}, start_service + R"(
        "$R" --pic-log "$L" --tolerance 24 'sndbuf small' accept 'slowread 1500' request 'wait 0.2' \
            'command 2 5 1' 'wait 7' 'slowread 0' 'expect ack 1 within 10' 'expect data 1 within 10'
        echo refserver=$?)" + stop_service);
    EXPECT_TRUE(said(run, "refserver=0"));
    EXPECT_EQ(count_of(run.out, "connections=1 "), 1u) << "one connection throughout";
}

// A server whose SYNs are dropped delays nobody: the settings command returns
// and a new list set meanwhile takes the service to a server that answers.
TEST_F(ServiceWorld, UnansweringServerDelaysNobodyAndANewListTakesEffect) {
    process_result run = service_world(
        {}, R"(
        ("$D" unanswering_server 127.0.0.2 80 >/dev/null &); sleep 0.5
        "$T" i 127.0.0.2 >"$L/service.out" 2>"$L/service.err" & S=$!; sleep 3
        "$T" f >/dev/null; "$T" s 127.0.0.1
        "$R" 'continuous 2 within 30'; echo refserver=$?)" + stop_service,
        std::chrono::seconds(80));
    EXPECT_TRUE(said(run, "refserver=0 service=0"));
}

// 127.0.0.2 refuses (the server listens on 127.0.0.1 only); with an interval
// of 3 s the service tries it for those 3 seconds before the next entry.
TEST_F(ServiceWorld, RoundRobinOverRefusedAddresses) {
    for (auto [interval, fewest, most] : std::vector<std::tuple<std::string, std::size_t, std::size_t>>{
             {"", 1, 1}, {" 3", 3, 1000}}) {
        process_result run = service_world(
            {}, R"("$T" i 127.0.0.2,127.0.0.1)" + interval + R"( >/dev/null 2>"$L/service.err" & S=$!
            "$R" 'continuous 1 within 20'; echo refserver=$?
            "$T" r; wait $S; cat "$L/service.err")");
        EXPECT_TRUE(said(run, "refserver=0")) << interval;
        std::size_t refused = count_of(run.out, "Error (111) connecting to 127.0.0.2");
        EXPECT_GE(refused, fewest) << interval << run.out;
        EXPECT_LE(refused, most) << interval << run.out;
    }
}

TEST_F(ServiceWorld, EmptyServerListCapturesOnceAndKeepsMeasuring) {
    process_result run = service_world(
        {}, R"(
        "$T" i '' >"$L/service.out" 2>"$L/service.err" & S=$!; sleep 4
        "$T" d >/dev/null; echo dump=$?)" + stop_service);
    EXPECT_TRUE(said(run, "dump=0"));
    EXPECT_EQ(lines_with(section(run.out, "pic"), {"stream_start", "kind=sampling"}).size(), 1u);
    EXPECT_EQ(count_of(run.out, "connecting to"), 0u);
}

TEST_F(ServiceWorld, EveryStopRequestEndsTheServiceInOrder) {
    for (std::string stop : {R"("$T" r)", "kill -TERM $S", "kill -INT $S", "kill -HUP $S"}) {
        process_result run = service_world({}, R"("$T" i '' >"$L/service.out" & S=$!; sleep 2
            )" + stop + R"(
            wait $S; echo service=$?; cat "$L/service.out")");
        EXPECT_TRUE(said(run, "service=0")) << stop;
        EXPECT_NE(run.out.find("Signal caught..."), std::string::npos) << stop;
    }
}

// A silent version query keeps the service in its start-up for 250 ms. The
// semaphore set appears once the stop signals are caught, which a slow
// (sanitized) start may take longer than that to reach.
TEST_F(ServiceWorld, StopSignalDuringStartUpIsKept) {
    process_result run = service_world(
        {"--do", "pic reply silence"},
        R"("$T" i '' >"$L/service.out" & S=$!
        i=0; until ipcs -s | grep -q '^0x' || [ $i -ge 500 ]; do i=$((i+1)); sleep 0.01; done
        kill -TERM $S; wait $S; echo service=$?; cat "$L/service.out")");
    EXPECT_TRUE(said(run, "service=0"));
    EXPECT_NE(run.out.find("Signal caught..."), std::string::npos);
    EXPECT_TRUE(lines_with(section(run.out, "pic"), {"stream_start"}).empty()) << "no capture after the stop";
}

// The daemon's log lines reach syslog (a listener at the world's own
// /dev/log) with a priority by kind.
TEST_F(ServiceWorld, DaemonLogsToSyslogAndIsStoppedByTheStopCommand) {
    process_result run = service_world(
        {}, R"(
        socat -u UNIX-RECV:/dev/log OPEN:"$L/syslog",creat,append & Y=$!; sleep 0.3
        "$T" m 127.0.0.1 x; echo daemon=$?
        "$R" 'continuous 2' 'command 1 3 20 mode 1' 'expect ack 1 within 10'; echo refserver=$?
        "$T" r; echo stop=$?
        sleep 0.5; pgrep -x tovk; echo running=$?
        kill $Y; echo '--- syslog'; cat "$L/syslog")");
    EXPECT_TRUE(said(run, "daemon=0 refserver=0 stop=0 running=1")) << "running=1: no tovk process is left";
    std::string syslog = section(run.out, "syslog");
    for (const char* line : {"<27>[^<]*tovk\\[[0-9]+\\]: Invalid address round-robin interval!",
                             "<30>[^<]*tovk\\[[0-9]+\\]: PICv3", "<30>[^<]*tovk\\[[0-9]+\\]: Generated packet: 1 3 20"}) {
        EXPECT_TRUE(std::regex_search(syslog, std::regex(line))) << line << "\n" << syslog;
    }
}

TEST_F(ServiceWorld, PicFailureEndsTheServiceWithFailureAndFreesTheLine) {
    process_result run = service_world({"--do", "pic fault stop 3000"}, R"(
        "$T" i '' 2>"$L/service.err"; echo service=$?
        cat "$L/service.err")");
    EXPECT_TRUE(said(run, "service=1"));
}

TEST_F(ServiceWorld, RefusedCompressionLevelFallsBackToTheDefault) {
    process_result run = service_world(
        {}, start_service + R"(
        ("$R" --pic-log "$L" 'continuous 4'; echo refserver=$?) & Q=$!; sleep 2
        "$T" l 42; wait $Q)" + stop_service);
    EXPECT_TRUE(said(run, "refserver=0"));
    EXPECT_EQ(count_of(run.out, "Compression level 42 refused"), 1u) << run.out;
}

// The two periodic pulses take a minute of wall time to show. Whole-second
// stamps: a pulse ends at the first pass of the second after the one it began
// in, so it is a second long less how late in its second it began. A pass
// here is short, even in a loaded sanitized run.
TEST_F(ServiceWorld, PulseLineAndUndervoltagePulses) {
    process_result run = service_world({"--do", "set module1 21.0", "--do", "set module2 20.0"},
                                       R"("$T" i '' >/dev/null & S=$!; sleep 67; "$T" r; wait $S)",
                                       std::chrono::seconds(120));
    std::string lines = section(run.out, "lines");
    EXPECT_NEAR(high_for(lines, "pulse_line"), 1.0, 0.5);
    EXPECT_NEAR(high_for(lines, "undervoltage"), 5.0, 0.5);
}

// The PIC still sends a packet for a while after its end byte: a stop signal
// in that wait must not raise attention early.
TEST_F(ServiceWorld, StopDuringThePacketsLastWaitLetsThePicFinish) {
    process_result run = service_world(
        {}, R"("$T" i '' >/dev/null 2>&1 & S=$!; sleep 2
        "$T" p 1 )" + std::string(78, 'A') + R"( &
        i=0; until grep -q ' packet t=' "$L/pic.log" || [ $i -ge 800 ]; do i=$((i+1)); sleep 0.01; done
        kill -TERM $S; wait $S; echo service=$?)");
    EXPECT_TRUE(said(run, "service=0"));
    auto packets = lines_with(section(run.out, "pic"), {" packet t="});
    ASSERT_EQ(packets.size(), 1u) << run.out;
    double end_byte = std::stod(fields_of(packets[0], {"t"})), rise = -1;
    for (const std::string& line : lines_with(section(run.out, "lines"), {"name=pic_attention", "new=1"}))
        if (double at = std::stod(fields_of(line, {"t"})); at > end_byte && rise < 0) rise = at;
    EXPECT_GE(rise - end_byte, 1.2) << "80 bytes take 1.26 s after the end byte";
}

// A stop signal while the packet's select pulse waits for the line lock must
// not lose the pulse: the PIC still gets the packet for its channel.
TEST_F(ServiceWorld, StopWhileThePulseWaitsForTheLinesKeepsThePulse) {
    process_result run = service_world(
        {}, R"("$T" i '' >/dev/null 2>&1 & S=$!; sleep 2
        "$T" p 1 AB
        i=0; until grep -q 'kind=packet_start' "$L/pic.log" || [ $i -ge 800 ]; do i=$((i+1)); sleep 0.01; done
        "$D" hold_gpio 2 & sleep 1; kill -TERM $S; wait $S; echo service=$?; wait)");
    EXPECT_TRUE(said(run, "hold_gpio=1 service=0"));
    EXPECT_EQ(pic_packets(run), std::vector<std::string>{"5F41427D 1 1"}) << run.out;
}

}  // namespace
