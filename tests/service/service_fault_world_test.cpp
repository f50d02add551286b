// The service under faults: producers killed mid-claim, files and IPC
// objects removed under it, stops that come while it starts or waits for a
// line. Each scenario is a script run in a world; its results are checked
// right below it.
#include "support/world_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The script with its logs in $L and the service's log in $L/service.err;
// the board's lines log follows "--- lines".
process_result fault_world(const std::string& script, const std::vector<std::string>& options = {}) {
    scratch_dir logs;
    std::vector<std::string> all = {"--log", logs.path()};
    all.insert(all.end(), options.begin(), options.end());
    return in_world(all, "L='" + logs.path() + "'\n" + script + R"(
        echo '--- lines'; cat "$L/lines.log")",
                    std::chrono::seconds(90));
}

// The value a line was last set to in the lines log, "-" if never.
std::string last_value(const process_result& run, const std::string& name) {
    auto changes = lines_with(run.out.substr(run.out.find("--- lines")), {"name=" + name + " "});
    return changes.empty() ? "-" : fields_of(changes.back(), {"new"});
}

bool at_rest(const process_result& run, const std::string& name) {
    std::string value = last_value(run, name);
    return value == "0" || value == "-";
}

std::size_t count_of(const std::string& text, const std::string& words) {
    std::size_t count = 0;
    for (std::size_t at = text.find(words); at != std::string::npos; at = text.find(words, at + 1)) ++count;
    return count;
}

class ServiceFaults : public world_test {};

TEST_F(ServiceFaults, SlotOfAProducerKilledBetweenClaimAndPacketIsReclaimed) {
    process_result run = fault_world(R"(
        "$T" i 127.0.0.1 2>"$L/service.err" & S=$!
        sleep 1; "$D" claim_slot
        "$R" 'continuous 3 within 20'; echo refserver=$?
        "$D" sem 6
        "$T" r; wait $S; echo service=$?; cat "$L/service.err")");
    EXPECT_TRUE(said(run, "claim_slot=1 refserver=0 sem6=1 service=0"));
    EXPECT_EQ(count_of(run.out, ", which has ended; slot freed"), 1u) << run.out;
}

// Liveness rests on nothing a file removal or an unwritable /run can change.
TEST_F(ServiceFaults, NoSecondServiceBesideALiveOneWhateverHappensToRun) {
    process_result run = fault_world(R"(
        "$T" i '' 2>"$L/service.err" & S=$!
        sleep 1; rm /run/tovk.pid
        "$T" i '' 2>&1; echo second=$?
        "$T" r; echo stop=$?; wait $S; echo service=$?
        mount -o remount,ro /run
        "$T" i '' 2>>"$L/service.err" & S=$!
        sleep 1; "$T" r; echo stop=$?; wait $S; echo readonly_run=$?
        cat "$L/service.err")");
    EXPECT_TRUE(said(run, "second=1 stop=0|0 service=0 readonly_run=0"));
    EXPECT_EQ(count_of(run.out, "Another service is running"), 1u) << run.out;
    EXPECT_EQ(count_of(run.out, "Cannot write /run/tovk.pid; running without a pid file"), 1u) << run.out;
    EXPECT_EQ(count_of(run.out, "stale"), 0u) << run.out;
}

// A bridge holds the line while the service starts: a stop signal or r then
// ends the start-up as a stop, while the line is still held.
TEST_F(ServiceFaults, StopWhileStartingBehindAHeldLineIsAStop) {
    for (std::string stop : {"kill -TERM $S", R"("$T" r; echo stop=$?)"}) {
        process_result run = fault_world(R"(
            "$D" hold_serial 6 & H=$!
            sleep 0.3; "$T" i '' >/dev/null 2>"$L/service.err" & S=$!
            sleep 1; )" + stop + R"(
            wait $S; echo service=$?; "$D" sem 2
            wait $H; cat "$L/service.err")");
        EXPECT_TRUE(said(run, "hold_serial=1 service=0 sem2=0")) << stop << "; sem2=0: the line was still held";
        EXPECT_EQ(count_of(run.out, "PIC communication failed!"), 0u) << stop << run.out;
    }
}

// r returns once the old service has given up its claim, so a new one
// started right after never finds it.
TEST_F(ServiceFaults, StopThenStartAlwaysStarts) {
    process_result run = fault_world(R"(
        for round in 1 2 3 4; do
            "$T" i '' >/dev/null 2>>"$L/service.err" & S=$!
            sleep 0.5; "$T" r; wait $S; echo round=$?
        done
        cat "$L/service.err")");
    EXPECT_TRUE(said(run, "round=0|0|0|0"));
    EXPECT_EQ(count_of(run.out, "Another service is running"), 0u) << run.out;
}

TEST_F(ServiceFaults, RemovedRecordOrSemaphoresEndTheServiceWithAFailure) {
    for (auto [option, what] : {std::pair{"-s", "semaphore set"}, std::pair{"-m", "shared record"}}) {
        process_result run = fault_world("O=" + std::string(option) + R"sh(
            "$T" i '' >/dev/null 2>"$L/service.err" & S=$!
            sleep 1; ipcrm $O "$(ipcs $O | awk '/^0x/ { print $2 }')"
            wait $S; echo service=$?; cat "$L/service.err")sh");
        EXPECT_TRUE(said(run, "service=1")) << what;
        EXPECT_EQ(count_of(run.out, std::string("The ") + what + " was removed; stopping"), 1u) << run.out;
    }
}

TEST_F(ServiceFaults, StopSignalFailsTheLineWaitOfAOneShotCommand) {
    process_result run = fault_world(R"(
        "$D" hold_gpio 4 & H=$!
        sleep 0.3; "$T" x 1 >/dev/null 2>&1 & X=$!
        sleep 0.5; kill -TERM $X; wait $X; echo x=$?
        wait $H)");
    EXPECT_TRUE(said(run, "hold_gpio=1 x=1"));
    EXPECT_EQ(last_value(run, "auxpwrdis"), "-") << "the power was never switched";
}

// The packet's route is set before its exchange waits for the line.
TEST_F(ServiceFaults, StopWhileASlotPacketWaitsForTheLineLeavesTheLinesAtRest) {
    process_result run = fault_world(R"(
        "$T" i '' >/dev/null 2>&1 & S=$!
        sleep 1.5; "$D" hold_serial 5 & H=$!
        sleep 0.3; "$T" p 2 AB; sleep 1
        kill -TERM $S; wait $S; echo service=$?
        wait $H)");
    EXPECT_TRUE(said(run, "hold_serial=1 service=0"));
    EXPECT_FALSE(lines_with(run.out, {"name=route_enable ", "new=1"}).empty()) << "the packet's route was driven";
    for (const char* line : {"route_enable", "route_select", "route_flag", "route_mode", "channel_select"})
        EXPECT_TRUE(at_rest(run, line)) << line << run.out;
}

// The stream ends inside the capture's select pulse, which opens the stream
// and lasts 82 stream bytes: the exchange fails, and the select lines still
// fall.
TEST_F(ServiceFaults, StreamEndingInsideTheSelectPulseLeavesTheSelectLinesLow) {
    process_result run = fault_world(R"("$T" i '' >/dev/null 2>&1; echo service=$?)", {"--do", "pic fault stop 40"});
    EXPECT_TRUE(said(run, "service=1"));
    EXPECT_EQ(last_value(run, "channel_select"), "0") << run.out;
}

// The settings and the readings are copied under the state lock: while
// another process holds it for 2 s, f and d wait (alone they take a few ms).
TEST_F(ServiceFaults, SettingsAndDumpWaitForTheStateLock) {
    process_result run = fault_world(R"(
        "$T" i '' >/dev/null 2>&1 & S=$!
        sleep 2
        for command in "f 1 9600 8 N 1" d; do
            "$D" hold_state 2 >"$L/hold" & H=$!
            until grep -q hold_state=1 "$L/hold"; do sleep 0.05; done
            start=$(date +%s%N); "$T" $command >/dev/null; echo done=$?
            echo waited_ms=$((($(date +%s%N) - start) / 1000000))
            wait $H
        done
        "$T" r; wait $S)");
    EXPECT_TRUE(said(run, "done=0|0"));
    for (const std::string& waited : values_of(run.out, "waited_ms")) EXPECT_GE(std::stoi(waited), 1000) << run.out;
    EXPECT_EQ(values_of(run.out, "waited_ms").size(), 2u);
}

// The server sends a command and a request back to back, reads for 0.8 s and
// closes: the command's acknowledgement, due after its two seconds on the
// PIC, must not go into the closed connection but to the next one.
TEST_F(ServiceFaults, AcknowledgementDueAfterTheServerClosedGoesToTheNextConnection) {
    process_result run = fault_world(R"(
        "$T" i 127.0.0.1 >/dev/null 2>&1 & S=$!
        "$R" accept 'word 00 01 05 03' request 'wait 0.8' disconnect 'expect ack 1 within 15'; echo refserver=$?
        "$T" r; wait $S; echo service=$?)");
    EXPECT_TRUE(said(run, "refserver=0 service=0"));
}

// The server stops reading with a small receive buffer, so both data packets
// wait in the service's socket, and more legacy commands than the service
// queues leave words unread when r comes. The stop must not reset that away:
// the server, reading again once r has returned, gets both packets.
TEST_F(ServiceFaults, StopWithWordsUnreadStillDeliversWhatWasSent) {
    process_result run = fault_world(R"(
        "$T" i 127.0.0.1 >/dev/null 2>&1 & S=$!
        set -- accept hold 'request 2' 'wait 3'
        for i in $(seq 35); do set -- "$@" 'word 00 01 05 03'; done
        "$R" --rcvbuf 1024 --tovk "$T" "$@" 'at 6 tovk r' 'sides within 20' release \
            'expect data 2 within 10' 'expect closed within 5'; echo refserver=$?
        wait $S; echo service=$?)");
    EXPECT_TRUE(said(run, "refserver=0 service=0"));
}

// The same on a reconnect asked by s: a word the server sends to the old
// connection while it is being closed must not reset it either.
TEST_F(ServiceFaults, WordSentWhileTheOldConnectionClosesDoesNotResetIt) {
    process_result run = fault_world(R"(
        "$T" i 127.0.0.1 >/dev/null 2>&1 & S=$!
        "$R" --rcvbuf 1024 --tovk "$T" accept hold 'request 2' 'wait 3' 'at 4 tovk s 127.0.0.1' 'sides within 20' \
            'wait 0.3' 'word 00 01 05 03' release 'expect data 2 within 10' 'accept within 5'; echo refserver=$?
        "$T" r; wait $S; echo service=$?)");
    EXPECT_TRUE(said(run, "refserver=0 service=0"));
}

// Paused, a packet in the slot waits for the resume; two commands that need
// the slot wait behind it without holding up the resume; the three packets
// reach the PIC in order and are acknowledged once each, after the resume.
TEST_F(ServiceFaults, PausedSlotWaitsAndACommandNeedingTheSlotWaitsForIt) {
    process_result run = fault_world(R"(
        "$T" i 127.0.0.1 >/dev/null 2>&1 & S=$!
        "$R" --tovk "$T" --pic-log "$L" accept pause 'at 4 tovk p 1 AB' 'wait 5' \
            'command 1 8 70' 'command 1 9 71' 'expect quiet 3' resume 'expect ack 3 within 25'; echo refserver=$?
        "$T" r; wait $S; echo service=$?
        echo '--- pic'; cat "$L/pic.log")");
    EXPECT_TRUE(said(run, "refserver=0 service=0"));
    auto packets = lines_with(run.out.substr(run.out.find("--- pic")), {" packet t="});
    ASSERT_EQ(packets.size(), 3u) << run.out;
    EXPECT_EQ(fields_of(packets[0], {"payload"}), "5F41427D");
    EXPECT_EQ(fields_of(packets[1], {"payload"}), "5F0702404671");
    EXPECT_EQ(fields_of(packets[2], {"payload"}), "5F080240476F");
}

// One module below 22 V is enough for the data packet's status character
// (the first readings are in before the first capture, so every packet).
TEST_F(ServiceFaults, OneLowModuleMarksTheDataPackets) {
    process_result run = fault_world(R"(
        "$T" i 127.0.0.1 >/dev/null 2>&1 & S=$!
        sleep 2; "$R" 'continuous 3'; echo refserver=$?
        "$T" r; wait $S)",
                                     {"--do", "set module1 21.0", "--do", "set module2 24.0"});
    EXPECT_TRUE(said(run, "refserver=0"));
    EXPECT_EQ(count_of(run.out, "TC status=1"), 3u) << run.out;
}

}  // namespace
