// tovk z on the simulated board: the fixture, its serial answers and the
// audio loop, with the faults a production line meets.
#include "audio_loop_config.h"
#include "board_model.h"

#include "support/world_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

// What z prints, in order: the level checks, the serial checks, the audio.
const std::vector<std::string> all_keys = {"test3",  "test6",  "test8",  "test10", "test12", "test14",
                                           "test18", "test20", "test22", "test24", "test26", "test11",
                                           "test9",  "test13", "test19", "test21", "test23", "test25",
                                           "test2320", "test4850", "test4851", "test17"};
constexpr std::size_t level_checks = 18;
const std::vector<std::string> good_audio = {"gain 0.7", "speed 4"};

struct world_run {
    int status = -1;                 // of tovk z
    std::vector<std::string> lines;  // what z printed, the last one maybe unfinished
    bool last_line_finished = true;
    std::string regs;                // the port registers as z left them, after what `after` printed
    std::string err;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

// The level a check's line gives (or the one above), as z prints it.
std::string fixture_level(std::size_t check, unsigned above = 0) {
    std::ostringstream text;
    text << boardsim::fixture_levels.at(boardsim::stimulus_lines.at(check).level_index + above);
    return text.str();
}

// In sanitized builds the world itself trips the leak checker on its way
// out; tovk's own leaks are checked by the runs outside a world. Preloads
// that tests add come before the sanitizer runtime.
void world_sanitizer_options() { setenv("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1:verify_asan_link_order=0", 1); }

// Runs z in a fresh world between two script parts, then reads the port
// registers as z left them.
world_run run_z(const std::vector<std::string>& world_options, const std::vector<std::string>& audio = good_audio,
                const std::string& before = "", const std::string& after = "") {
    audio_loop_config config(audio);
    config.use_for_children();
    world_sanitizer_options();
    const std::string script = before + "\"$T\" z; echo \"status=$?\"; " + after + "\"$B\" ctl regs";
    process_result result = in_world(world_options, script, std::chrono::seconds(60));
    world_run run;
    run.err = result.err;
    std::size_t status_at = result.out.find("status=");
    if (status_at == std::string::npos) {
        ADD_FAILURE() << "no status in: " << result.out << result.err;
        return run;
    }
    std::string output = result.out.substr(0, status_at);
    run.last_line_finished = output.empty() || output.back() == '\n';
    run.lines = split(output, '\n');
    run.regs = result.out.substr(status_at);
    run.status = std::stoi(values_of(run.regs, "status").at(0));
    return run;
}

// The flags of a result line: every second field after the key.
std::vector<int> flags_of(const std::string& line) {
    std::vector<std::string> fields = split(line.substr(line.find('=') + 1), ',');
    std::vector<int> flags;
    bool level_line = fields.size() == 4;
    for (std::size_t i = level_line ? 1 : 0; i < fields.size(); i += level_line ? 2 : 1) {
        flags.push_back(std::stoi(fields[i]));
    }
    return flags;
}

std::vector<std::string> keys_of(const world_run& run) {
    std::vector<std::string> keys;
    for (const std::string& line : run.lines) keys.push_back(line.substr(0, line.find('=')));
    return keys;
}

// A finished run whose level flags are all set but the faulty checks' driven
// ones, followed by these serial lines.
void expect_flags(const world_run& run, const std::vector<std::string>& faulty,
                  const std::vector<std::string>& serial) {
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(keys_of(run), all_keys);
    for (std::size_t check = 0; check < level_checks; ++check) {
        bool bad = std::find(faulty.begin(), faulty.end(), all_keys[check]) != faulty.end();
        EXPECT_EQ(flags_of(run.lines[check]), (std::vector<int>{1, bad ? 0 : 1})) << run.lines[check];
    }
    EXPECT_EQ(std::vector<std::string>(run.lines.begin() + level_checks, run.lines.end() - 1), serial);
}

// Every test needs a world, as every world suite does.
class SelfTestWorld : public testing::Test {
protected:
    void SetUp() override { SKIP_WITHOUT_WORLDS(); }
};

TEST_F(SelfTestWorld, GoodBoardPassesEveryCheckInOrder) {
    world_run run = run_z({"--fixture"});
    ASSERT_NO_FATAL_FAILURE(expect_flags(run, {}, {"test2320=1,0", "test4850=1", "test4851=1"}));
    spectrum_line spectrum;
    ASSERT_TRUE(parse_spectrum_line(run.lines.back(), spectrum)) << run.lines.back();
    EXPECT_NEAR(spectrum.amplitudes[9], 22937.0, 1.0);
    EXPECT_EQ(std::count(spectrum.flags.begin(), spectrum.flags.end(), 1), 16) << run.lines.back();
    EXPECT_EQ(run.lines[0], "test3=0,1," + fixture_level(0) + ",1");
    EXPECT_EQ(run.lines[13], "test13=0,1," + fixture_level(13) + ",1");
    // What z leaves behind: stimulus lines low, its extra outputs, channel 2.
    EXPECT_EQ(register_of(run.regs, 'B', "data"), 0u);
    EXPECT_EQ(register_of(run.regs, 'C', "data"), 0u);
    EXPECT_EQ(register_of(run.regs, 'C', "dir"), 0x01u);
    EXPECT_EQ(register_of(run.regs, 'F', "data"), 0u);
    EXPECT_EQ(register_of(run.regs, 'H', "data"), 2u << 2) << "channel 2 selected, bits 4-5 low";
    EXPECT_EQ(register_of(run.regs, 'H', "dir"), 0x3Cu);
    EXPECT_EQ(register_of(run.regs, 'A', "dir") & 0xB8, 0xB8u);
    EXPECT_EQ(register_of(run.regs, 'A', "data") & 0xB8, 0u);
}

// Flags only report: the run still succeeds.
TEST_F(SelfTestWorld, FixtureFaultsOnlyClearTheirFlags) {
    world_run run = run_z({"--fixture", "--do", "fixture level B.7 wrong", "--do", "fixture level A.5 wrong", "--do",
                           "fixture serial 0 bit6", "--do", "fixture serial 1 bit6", "--do", "fixture serial 2 none"});
    ASSERT_NO_FATAL_FAILURE(expect_flags(run, {"test3", "test23"}, {"test2320=1,1", "test4850=0", "test4851=0"}));
    EXPECT_EQ(run.lines[0], "test3=0,1," + fixture_level(0, 1) + ",0") << "the level of the next line up";
    world_run silent = run_z({"--fixture", "--do", "fixture serial 0 none"});
    expect_flags(silent, {}, {"test2320=0,0", "test4850=1", "test4851=1"});

    // Without the fixture nothing follows the lines: the module voltage on
    // channel 0 is no idle level, and the driven reading repeats the idle one.
    world_run bare = run_z({});
    EXPECT_EQ(bare.status, 0) << bare.err;
    ASSERT_EQ(keys_of(bare), all_keys);
    for (std::size_t check = 0; check < level_checks; ++check) {
        std::vector<std::string> fields = split(bare.lines[check].substr(all_keys[check].size() + 1), ',');
        ASSERT_EQ(fields.size(), 4u) << bare.lines[check];
        EXPECT_EQ(fields[0], fields[2]) << bare.lines[check];
        if (check < 9) {
            EXPECT_EQ(fields[1], "0") << bare.lines[check];
        }
    }
}

// A device missing at the start ends the test before any check (the UART's
// open says its error number, ENOENT); a failing ADC ends it at the check
// that reads it, with its line whole; a wrong audio rate fails the last
// check only. Registers show how far the set-up got.
TEST_F(SelfTestWorld, FailuresEndTheTestAtTheStepThatMeetsThem) {
    struct example {
        std::vector<std::string> options;
        std::vector<std::string> audio;
        std::size_t lines;
        std::uint32_t port_c_dir, port_h_data;
        std::string before = "";
        std::string report = "";  // what the failing operation prints itself
    };
    for (const example& each : std::vector<example>{{{"--missing", "porta"}, good_audio, 0, 0, 0},
                                                    {{"--missing", "adc3"}, good_audio, 0, 0x01, 0},
                                                    {{}, good_audio, 0, 0x01, 0, "umount /dev/ttyAM1; rm /dev/ttyAM1; ", "2"},
                                                    {{"--do", "adc fail 3 eio"}, good_audio, 11, 0x01, 0},
                                                    {{}, {"rate 7999"}, all_keys.size() - 1, 0x01, 2u << 2}}) {
        std::vector<std::string> options{"--fixture"};
        options.insert(options.end(), each.options.begin(), each.options.end());
        world_run run = run_z(options, each.audio, each.before);
        std::string name = !each.before.empty() ? each.before : each.options.empty() ? each.audio[0] : each.options[1];
        EXPECT_EQ(run.status, 1) << name;
        std::vector<std::string> printed(all_keys.begin(), all_keys.begin() + each.lines);
        if (!each.report.empty()) printed.push_back(each.report);
        EXPECT_EQ(keys_of(run), printed) << name;
        EXPECT_TRUE(run.last_line_finished) << name;
        EXPECT_EQ(register_of(run.regs, 'C', "dir"), each.port_c_dir) << name << ": directions come before the ADC";
        EXPECT_EQ(register_of(run.regs, 'H', "data"), each.port_h_data) << name << ": the serial line set up or not";
        if (each.audio[0] == "rate 7999") {
            EXPECT_NE(run.err.find("Rate doesn't match (requested 8000Hz, get 7999Hz)\n"), std::string::npos) << run.err;
        }
    }
}

// A reading that fails after the drive leaves its check's line half printed.
TEST_F(SelfTestWorld, AdcFailureInTheDrivenReadingLeavesTheLineUnfinished) {
    if (target_emulated()) GTEST_SKIP() << "the ADC fault preload is the build machine's, which the ARM tovk cannot load";
    setenv("LD_PRELOAD", ADC_FAULT_PRELOAD, 1);
    const std::string first_line = "test3=0,1," + fixture_level(0) + ",1";
    for (const auto& [fail_at, tail] : std::vector<std::pair<int, std::vector<std::string>>>{
             {2, {"test3=0,1"}}, {4, {first_line, "test6=0,1"}}, {28, {"test13=0,1"}}}) {
        setenv("TOVK_ADC_FAIL_AT", std::to_string(fail_at).c_str(), 1);
        world_run run = run_z({"--fixture"});
        EXPECT_EQ(run.status, 1) << fail_at;
        EXPECT_FALSE(run.last_line_finished) << fail_at;
        EXPECT_EQ(run.lines.size(), static_cast<std::size_t>(fail_at / 2)) << fail_at;
        EXPECT_TRUE(run.lines.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), run.lines.rbegin()))
            << testing::PrintToString(run.lines);
    }
    unsetenv("TOVK_ADC_FAIL_AT");
    unsetenv("LD_PRELOAD");
}

// z waits for the line behind another holder; interrupted, it fails and
// leaves the line with that holder.
TEST_F(SelfTestWorld, TakenSerialLineIsNeverGivenBackByTheTest) {
    world_sanitizer_options();
    process_result result = in_world(
        {"--fixture"},
        "\"$D\" hold_serial 60 >/dev/null & H=$!; "
        "i=0; until \"$D\" sem 2 | grep -q sem2=0 || [ $i -ge 500 ]; do i=$((i+1)); sleep 0.01; done; "
        "\"$T\" z & Z=$!; \"$D\" await_waiter 2; kill -INT $Z; wait $Z; echo z_status=$?; \"$D\" sem 2; kill $H",
        std::chrono::seconds(30));
    EXPECT_TRUE(said(result, "waiter2=1 z_status=1 sem2=0"));
}

// The service owns the board while it runs: z has to stop it first.
TEST_F(SelfTestWorld, RunningServiceIsStoppedBeforeTheTest) {
    world_run run = run_z({"--fixture", "--channel", "0=pic"}, good_audio,
                          "\"$T\" i 127.0.0.1 & S=$!; \"$D\" await_running | grep -q running=1 || exit 90; ",
                          "kill -0 $S 2>/dev/null && echo service_alive; wait $S; echo \"service_status=$?\"; ");
    // The service says goodbye on the same output when it leaves its loop.
    auto goodbye = std::find(run.lines.begin(), run.lines.end(), "Signal caught...");
    ASSERT_NE(goodbye, run.lines.end()) << run.err;
    run.lines.erase(goodbye);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(keys_of(run), all_keys);
    EXPECT_EQ(values_of(run.regs, "service_status"), std::vector<std::string>{"0"}) << "ended by the stop";
    EXPECT_EQ(run.regs.find("service_alive"), std::string::npos);
}

}  // namespace
