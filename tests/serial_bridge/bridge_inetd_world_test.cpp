// The serial-TCP bridge as it runs on the board: started by a real inetd
// from the shipped inetd.conf, once per TCP connection, inside a simulated
// board world whose UART channels stand in for the serial devices.
#include "support/world_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

const std::string client = BRIDGE_CLIENT_PATH;
const std::string inetd_conf = INETD_CONF_PATH;

// The world has no installed tovk: an overlay over /usr/sbin gets a file to
// bind the built one onto, so the shipped line runs unchanged. -E keeps the
// environment, since the world's serial shim comes in LD_PRELOAD; -d keeps
// inetd in the foreground and logs each child's wait status. $INETD_WRAP may
// put a tracer in front of it. The channel select lines are outputs only
// once the service's start-up profile was applied, as at the board's boot.
std::string inetd_started(const std::string& conf, const std::string& flags) {
    return "\"$D\" gpio_setup >/dev/null; O=\"$L/sbin\"; mkdir -p \"$O\" && mount -t tmpfs tovk \"$O\" && mkdir \"$O/up\" \"$O/work\" && "
    "mount -t overlay overlay -o lowerdir=/usr/sbin,upperdir=\"$O/up\",workdir=\"$O/work\" /usr/sbin && "
    ": > /usr/sbin/tovk && mount --bind \"$T\" /usr/sbin/tovk || exit 120; "
    "$INETD_WRAP inetd -d -E -R 100000 " + flags + " '" + conf + "' 2>\"$L/inetd.err\" & "
    "i=0; until grep -q ':0FA1 00000000:0000 0A' /proc/net/tcp; do i=$((i+1)); [ $i -lt 200 ] || exit 121; "
    "sleep 0.02; done; ";
}
const std::string start_inetd = inetd_started(inetd_conf, "");

// Waits (bounded) until no bridge process is left.
const std::string await_bridges_gone =
    "i=0; while pgrep -x tovk >/dev/null && [ $i -lt 100 ]; do i=$((i+1)); sleep 0.05; done; ";

// Waits (bounded) until inetd has logged the exit of N bridges.
std::string await_reaped(int count) {
    return "i=0; until [ \"$(grep -c reaped \"$L/inetd.err\")\" -ge " + std::to_string(count) +
           " ] || [ $i -ge 100 ]; do i=$((i+1)); sleep 0.05; done; ";
}

struct bridge_world {
    scratch_dir dir;
    process_result run;

    // "{L}" in an option stands for the log directory; `before_inetd` runs
    // ahead of inetd's start.
    bridge_world(std::vector<std::string> options, const std::string& script,
                 std::chrono::milliseconds timeout = std::chrono::seconds(90), const std::string& before_inetd = "",
                 const std::string& inetd = start_inetd) {
        for (std::string& option : options) {
            if (std::size_t at = option.find("{L}"); at != std::string::npos) option.replace(at, 3, dir.path());
        }
        options.insert(options.begin(), {"--log", dir.path()});
        run = in_world(options,
                       "L='" + dir.path() + "'; C='" + client + "'; " +
                           before_inetd + inetd + script,
                       timeout);
    }
    std::string file(const std::string& name) const { return file_text(dir.path() + "/" + name); }
    // Exit status of every bridge inetd reaped, in the order it reaped them.
    std::vector<int> bridge_statuses() const {
        std::vector<int> statuses;
        std::regex reaped("reaped, status ([0-9a-f]+)");
        std::string log = file("inetd.err");
        for (std::sregex_iterator it(log.begin(), log.end(), reaped), end; it != end; ++it) {
            auto status = static_cast<int>(std::stoul((*it)[1].str(), nullptr, 16));
            statuses.push_back((status & 0x7f) != 0 ? 128 + (status & 0x7f) : status >> 8);
        }
        return statuses;
    }
    std::string explain() const { return run.out + run.err + "\n--- inetd\n" + file("inetd.err"); }
};

// Bytes the world's UART passed from the host to each channel.
std::vector<long> host_bytes_per_channel(const std::string& uart_log) {
    std::vector<long> counts(4, 0);
    for (const std::string& line : lines_with(uart_log, {" host ch="})) {
        counts.at(std::stoul(values_of(line, "ch").at(0))) += std::stol(values_of(line, "count").at(0));
    }
    return counts;
}

class BridgeUnderInetd : public world_test {};

// A megabyte each way through an echoing device; then bytes a half-close
// leaves to be drained. The tracer shows the bridge's own writes to the
// line, which the world's reads of the pseudo-terminal would merge.
TEST_F(BridgeUnderInetd, EveryByteReachesTheLineInOrderInPiecesOfAtMostOneBuffer) {
    bridge_world world(
        {"--channel", "1=echo", "--channel", "2=unix:{L}/device.sock"},
        "\"$T\" f 1 115200 8 N 1 >/dev/null; \"$C\" echo 1048576; " + await_reaped(1) +
            "socat -u UNIX-CONNECT:\"$L/device.sock\" CREATE:\"$L/line.bin\" & S=$!; sleep 0.2; "
            "\"$T\" f 2 9600 8 N 1 >/dev/null; \"$C\" send 3000 200; " + await_reaped(2) + "sleep 0.2; kill $S",
        std::chrono::seconds(90),
        // The tracer stops the leak checker of a sanitized build, which is not what runs here.
        "INETD_WRAP=\"strace -f -qq -o $L/trace -y -e trace=write\"; "
        "export ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\"; ");
    const std::string& out = world.run.out;
    EXPECT_TRUE(said(out, "intact=1 eof=1|1")) << "each bridge ends after the half-close\n" << world.explain();
    EXPECT_EQ(world.bridge_statuses(), (std::vector<int>{0, 0}));
    EXPECT_EQ(host_bytes_per_channel(world.file("uart.log")).at(1), 1048576);

    std::string line = world.file("line.bin");
    ASSERT_EQ(line.size(), 3000u) << "every byte reaches the device";
    for (std::size_t at = 0; at < line.size(); ++at) {
        ASSERT_EQ(static_cast<unsigned char>(line[at]), at % 256) << "byte " << at;
    }

    // The tracer names each descriptor's file.
    std::string trace = world.file("trace");
    std::regex tty_write(R"(write\(\d+</dev/ttyAM[12]>, [^\n]*= (-?\d+))");
    long total = 0;
    for (std::sregex_iterator it(trace.begin(), trace.end(), tty_write), end; it != end; ++it) {
        long piece = std::stol((*it)[1].str());
        EXPECT_GT(piece, 0);
        EXPECT_LE(piece, 1024);
        total += piece;
    }
    EXPECT_EQ(total, 1048576 + 3000);
}

TEST_F(BridgeUnderInetd, SettingsOfTheRecordReachTheLineAndSelectTheChannel) {
    // Each connection sends as many bytes as its number, so the UART log
    // tells which channel each one reached.
    bridge_world world(
        {},
        "\"$C\" listen 3000; "  // nothing set yet: refused
        "\"$T\" f 1 9600 8 N 1 >/dev/null && \"$C\" send 1 >/dev/null; "
        "\"$T\" f 2 19200 7 E 1 >/dev/null && \"$C\" send 2 >/dev/null; "
        "\"$T\" f 3 57600 8 O 1 >/dev/null && \"$C\" send 4 >/dev/null; "
        "\"$T\" f 0 115200 8 N 2 >/dev/null && \"$C\" send 8 >/dev/null; "
        "\"$T\" f 1 4800 7 O 2 >/dev/null && \"$C\" send 16 >/dev/null; " +
            await_reaped(6));
    const std::string& out = world.run.out;
    EXPECT_EQ(values_of(out, "eof"), std::vector<std::string>{"1"}) << world.explain();
    EXPECT_NE(out.find("text=Serial-TCP settings are not set"), std::string::npos)
        << "under inetd the log stream is the connection too";
    EXPECT_EQ(world.bridge_statuses(), (std::vector<int>{1, 0, 0, 0, 0, 0}));

    // The refused connection touched no line.
    const std::string applied = world.file("serial.log");
    EXPECT_TRUE(said(applied, "speed=9600|19200|57600|115200|4800 ispeed=9600|19200|57600|115200|4800 "
                              "data=8|7|8|8|7 parity=none|even|odd|none|odd stop=1|1|1|2|2"));
    EXPECT_EQ(host_bytes_per_channel(world.file("uart.log")), (std::vector<long>{8, 1 + 16, 2, 4}))
        << world.file("uart.log");
}

// A process that keeps sem_state (a stalled command; once, a service in a
// connection attempt) delays a bridge's start by a moment at most.
TEST_F(BridgeUnderInetd, TakenLineEndsTheConnectionAtOnceAndHeldStateOnlyDelaysIt) {
    // Each refused client listens for less time than the holder keeps the
    // line, so a bridge that waited for it would show eof=0.
    bridge_world world(
        {"--channel", "1=echo"},
        "\"$T\" f 1 115200 8 N 1 >/dev/null; "
        "\"$D\" hold_serial 4 >/dev/null & H=$!; sleep 0.5; echo holder:; \"$C\" listen 2000; \"$D\" sem 2; wait $H; "
        "\"$C\" send 5 3000 >\"$L/first.out\" & F=$!; sleep 0.8; echo second:; \"$C\" listen 2000; wait $F; "
        "echo first:; cat \"$L/first.out\"; "
        "\"$D\" hold_state 30 >/dev/null & H=$!; sleep 0.5; echo state_held:; \"$C\" send 5 3000; kill $H; " +
            await_reaped(4));
    const std::string& out = world.run.out;
    // The first was served; the holder is not disturbed.
    EXPECT_TRUE(said(out, "eof=1|1|1|1 received=0|0|5|5 sem2=0")) << world.explain();
    EXPECT_EQ(world.bridge_statuses(), (std::vector<int>{1, 1, 0, 0})) << world.explain();
    EXPECT_EQ(host_bytes_per_channel(world.file("uart.log")).at(1), 10);
}

// The self test holds the line from its start to its end; an audio device
// whose playback never starts keeps it at its last step for 5 s.
TEST_F(BridgeUnderInetd, SelfTestHoldsTheLineUntilItsEnd) {
    bridge_world world(
        {"--fixture"},
        "printf 'pcm_type.audio_loop {\\n lib \"%s\"\\n}\\npcm.!default {\\n type audio_loop\\n fault never_starts\\n}\\n' "
        "\"$A\" >\"$L/asound.conf\"; \"$T\" f 1 9600 8 N 1 >/dev/null; "
        "ALSA_CONFIG_PATH=\"$L/asound.conf\" \"$T\" z >\"$L/z.out\" 2>&1 & Z=$!; "
        "i=0; until grep -q '^test4851=' \"$L/z.out\" || [ $i -ge 400 ]; do i=$((i+1)); sleep 0.02; done; "
        // The client waits for the fixture's answers before its half-close, which
        // would end the reading of the line.
        "echo during:; \"$C\" listen 1000; \"$D\" sem 2; wait $Z; echo z=$?; echo after:; \"$C\" echo 3; " +
            await_reaped(2),
        std::chrono::seconds(90), "A='" + program_under_test("TOVK_TEST_AUDIO_LOOP", AUDIO_LOOP_PLUGIN) + "'; ");
    const std::string& out = world.run.out;
    // Served only once the test ended, whose audio step timed out.
    EXPECT_TRUE(said(out, "eof=1|1 received=0|3 sem2=0 z=1")) << world.explain() << world.file("z.out");
    EXPECT_NE(world.file("z.out").find("\ntest4851="), std::string::npos) << "the serial checks were done";
    EXPECT_EQ(world.bridge_statuses(), (std::vector<int>{1, 0})) << world.explain();
}

TEST_F(BridgeUnderInetd, ServiceWaitsForTheLineAndResumesItsCapturesUncorrupted) {
    // Connections mid-capture are refused; keep trying until one finds the
    // line free while the server asks for nothing, and holds it for a while.
    bridge_world world(
        {"--channel", "1=echo"},
        "\"$T\" f 1 115200 8 N 1 >/dev/null; "
        "\"$T\" i 127.0.0.1 >/dev/null 2>\"$L/service.err\" & S=$!; "
        "(\"$R\" --pic-log \"$L\" 'continuous 3' 'wait 4' 'continuous 3' >\"$L/refserver.out\" 2>&1; "
        "echo refserver=$?) & Q=$!; sleep 1; "
        "refused=0; served=0; n=0; while [ $n -lt 600 ] && { [ $refused = 0 ] || [ $served = 0 ]; }; do n=$((n+1)); "
        "r=$(\"$C\" send 10 600); case \"$r\" in *received=10*) served=$((served+1));; *received=0*) "
        "refused=$((refused+1));; esac; sleep 0.02; done; echo refused=$refused served=$served; "
        "wait $Q; \"$T\" r; wait $S; echo service=$?",
        std::chrono::seconds(120));
    const std::string& out = world.run.out;
    EXPECT_TRUE(said(out, "served=1 refserver=0 service=0")) << world.explain() << world.file("service.err");
    EXPECT_GE(std::stoi(values_of(out, "refused").at(0)), 1);
    EXPECT_NE(world.file("refserver.out").find("mismatches=0"), std::string::npos) << world.file("refserver.out");
}

TEST_F(BridgeUnderInetd, ResetSilenceAndStopSignalEachEndTheBridgeAndFreeTheLine) {
    bridge_world world(
        {"--channel", "1=echo", "--channel", "2=none"},
        // A silent device does not end the connection; the client's half-close does.
        "\"$T\" f 2 9600 8 N 1 >/dev/null; echo silent:; \"$C\" send 100 1500 >\"$L/silent.out\" & P=$!; "
        "sleep 1; pgrep -x tovk >/dev/null; echo serving=$?; wait $P; cat \"$L/silent.out\"; " +
            await_bridges_gone +
            "\"$T\" f 1 115200 8 N 1 >/dev/null; echo reset:; \"$C\" reset 200000; " + await_bridges_gone +
            "\"$T\" f 1 115200 8 N 1 >/dev/null; echo term:; \"$C\" echo 67108864 10000 >\"$L/term.out\" & P=$!; "
            "i=0; until grep -q streaming \"$L/term.out\" || [ $i -ge 100 ]; do i=$((i+1)); sleep 0.05; done; sleep 1; "
            "kill -TERM $(pgrep -x tovk); wait $P; cat \"$L/term.out\"; " +
            await_reaped(3));
    const std::string& out = world.run.out;
    EXPECT_TRUE(said(out, "reset=1 serving=0 ended=1|1")) << "serving=0: still serving through the silence\n"
                                                          << world.explain();
    // Silent: every byte reached the line, nothing came back, then end-of-file.
    // Stop signal: the client was still sending when the connection ended.
    EXPECT_EQ(values_of(out, "eof").at(0), "1");
    const std::vector<std::string> received = values_of(out, "received");
    EXPECT_EQ(received.at(0), "0");
    EXPECT_GT(std::stol(received.at(1)), 0) << "data flowed before the signal\n" << world.explain();
    EXPECT_LT(std::stol(values_of(out, "sent").at(2)), 64l << 20) << "the bridge ended the connection";
    EXPECT_EQ(host_bytes_per_channel(world.file("uart.log")).at(2), 100);
    EXPECT_EQ(world.bridge_statuses(), (std::vector<int>{0, 0, 0}))
        << "relay errors and signals end with status 0\n" << world.explain();
}

// The shipped TCP-wrappers example, through tcpd under the stock inetd and
// with inetd's own libwrap (-l) and the plain line: a denied address gets
// nothing from the line and sends nothing to it.
TEST_F(BridgeUnderInetd, WrappersKeepADeniedAddressOffTheLine) {
    const std::string bind_hosts = "[ -e /etc/hosts.allow ] && [ -e /etc/hosts.deny ] && "
                                   "mount --bind '" HOSTS_ALLOW_PATH "' /etc/hosts.allow && "
                                   "mount --bind '" HOSTS_DENY_PATH "' /etc/hosts.deny || exit 122; ";
    struct {
        const char* conf;
        const char* flags;
    } setups[] = {{INETD_TCPD_CONF_PATH, ""}, {INETD_CONF_PATH, "-l"}};
    for (const auto& setup : setups) {
        bridge_world world({"--channel", "1=echo"},
                           "\"$T\" f 1 115200 8 N 1 >/dev/null; for from in 127.0.0.2 127.0.0.1; do "
                           "(printf hello; sleep 1) | socat -t 3 - TCP:127.0.0.1:4001,bind=$from >\"$L/got\"; "
                           "echo got=$(wc -c <\"$L/got\"); done; " + await_reaped(2),
                           std::chrono::seconds(90), bind_hosts, inetd_started(setup.conf, setup.flags));
        if (world.run.status == 122) SKIP_UNLESS_CI("no /etc/hosts.allow and /etc/hosts.deny to bind the examples on");
        EXPECT_TRUE(said(world.run.out, "got=0|5")) << setup.conf << ' ' << setup.flags << '\n' << world.explain();
        EXPECT_EQ(host_bytes_per_channel(world.file("uart.log")).at(1), 5) << "only the allowed bytes reach the line";
    }
}

}  // namespace
