// tovk z on the simulated board: the fixture, its serial answers and the
// audio loop, with the faults a production line meets.
#include "audio_loop_config.h"
#include "board_model.h"

#include "support/world_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

namespace {

const std::vector<std::string> level_keys = {"test3",  "test6",  "test8",  "test10", "test12", "test14",
                                             "test18", "test20", "test22", "test24", "test26", "test11",
                                             "test9",  "test13", "test19", "test21", "test23", "test25"};
const std::vector<std::string> serial_keys = {"test2320", "test4850", "test4851"};

struct world_run {
    int status = -1;                 // of tovk z
    std::vector<std::string> lines;  // what z printed, the last one maybe unfinished
    bool last_line_finished = true;
    std::string regs;                // the port registers as z left them
    std::string err;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

// A voltage as z prints it.
std::string printed(double volts) {
    std::ostringstream text;
    text << volts;
    return text.str();
}

std::string fixture_level(std::size_t check, unsigned above = 0) {
    return printed(boardsim::fixture_levels.at(boardsim::stimulus_lines.at(check).level_index + above));
}

// In sanitized builds the world itself trips the leak checker on its way
// out; tovk's own leaks are checked by the runs outside a world. Preloads
// that tests add come before the sanitizer runtime.
void world_sanitizer_options() { setenv("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1:verify_asan_link_order=0", 1); }

void use_audio_loop(const audio_loop_config& config) {
    config.use_for_children();
    world_sanitizer_options();
}

// Runs z in a fresh world, then reads the port registers as z left them.
world_run run_z(const std::vector<std::string>& world_options,
                const std::vector<std::string>& audio = {"gain 0.7", "speed 4"}) {
    audio_loop_config config(audio);
    use_audio_loop(config);
    process_result result = in_world(world_options, "\"$T\" z; echo \"status=$?\"; \"$B\" ctl regs",
                                     std::chrono::seconds(60));
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

std::string key_of(const std::string& line) { return line.substr(0, line.find('=')); }

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
    for (const std::string& line : run.lines) keys.push_back(key_of(line));
    return keys;
}

std::vector<std::string> all_keys() {
    std::vector<std::string> keys = level_keys;
    keys.insert(keys.end(), serial_keys.begin(), serial_keys.end());
    keys.push_back("test17");
    return keys;
}

const std::string* line_with_key(const world_run& run, const std::string& key) {
    auto found = std::find_if(run.lines.begin(), run.lines.end(), [&](const std::string& line) { return key_of(line) == key; });
    return found == run.lines.end() ? nullptr : &*found;
}

// Every test needs a world, as every world suite does.
class SelfTestWorld : public testing::Test {
protected:
    void SetUp() override { SKIP_WITHOUT_WORLDS(); }
};

TEST_F(SelfTestWorld, GoodBoardPassesEveryCheckInOrder) {
    world_run run = run_z({"--fixture"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(keys_of(run), all_keys());
    for (const std::string& line : run.lines) {
        if (key_of(line) == "test17") {
            spectrum_line spectrum;
            ASSERT_TRUE(parse_spectrum_line(line, spectrum)) << line;
            EXPECT_NEAR(spectrum.amplitudes[9], 22937.0, 1.0);
            EXPECT_EQ(std::count(spectrum.flags.begin(), spectrum.flags.end(), 1), 16) << line;
            continue;
        }
        std::vector<int> flags = flags_of(line);
        int expected_ones = key_of(line) == "test2320" ? 1 : static_cast<int>(flags.size());
        EXPECT_EQ(std::count(flags.begin(), flags.end(), 1), expected_ones) << line;
    }
    EXPECT_EQ(run.lines.at(0), "test3=0,1," + fixture_level(0) + ",1");
    EXPECT_EQ(run.lines.at(13), "test13=0,1," + fixture_level(13) + ",1");
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
TEST_F(SelfTestWorld, BadLevelsOnlyClearTheirFlags) {
    world_run run = run_z({"--fixture", "--do", "fixture level B.7 wrong", "--do", "fixture level A.5 wrong"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(keys_of(run), all_keys());
    for (const std::string& key : level_keys) {
        const std::string* line = line_with_key(run, key);
        ASSERT_NE(line, nullptr) << key;
        bool faulty = key == "test3" || key == "test23";
        EXPECT_EQ(flags_of(*line), (std::vector<int>{1, faulty ? 0 : 1})) << *line;
    }
    EXPECT_EQ(run.lines.at(0), "test3=0,1," + fixture_level(0, 1) + ",0") << "the level of the next line up";

    world_run negative = run_z({"--fixture", "--do", "set adc 3 -30000"});
    EXPECT_EQ(negative.status, 0) << negative.err;
    for (const char* key : {"test11", "test9", "test25"}) {
        const std::string* line = line_with_key(negative, key);
        ASSERT_NE(line, nullptr) << key;
        EXPECT_EQ(flags_of(*line), (std::vector<int>{1, 0})) << *line;
    }

    // Raw -16374 converts to exactly the limit between levels 2 and 3.
    world_run on_limit = run_z({"--fixture", "--do", "set adc 3 -16374"});
    EXPECT_EQ(on_limit.status, 0) << on_limit.err;
    const std::string limit = printed(boardsim::raw_to_volts(-16374));
    for (const char* key : {"test13", "test19"}) {
        const std::string* line = line_with_key(on_limit, key);
        ASSERT_NE(line, nullptr) << key;
        EXPECT_EQ(*line, std::string(key) + "=" + limit + ",0," + limit + ",0");
    }

    // Without the fixture nothing follows the lines: the module voltage on
    // channel 0 is no idle level, and the driven reading repeats the idle one.
    world_run bare = run_z({});
    EXPECT_EQ(bare.status, 0) << bare.err;
    EXPECT_EQ(keys_of(bare), all_keys());
    for (std::size_t check = 0; check < level_keys.size(); ++check) {
        std::vector<std::string> fields = split(bare.lines.at(check).substr(level_keys[check].size() + 1), ',');
        ASSERT_EQ(fields.size(), 4u) << bare.lines[check];
        EXPECT_EQ(fields[0], fields[2]) << bare.lines[check];
        if (check < 9) {
            EXPECT_EQ(fields[1], "0") << bare.lines[check];
        }
    }
}

TEST_F(SelfTestWorld, SerialAnswersGiveTheirFlags) {
    world_run run = run_z({"--fixture", "--do", "fixture serial 0 bit6", "--do", "fixture serial 1 bit6",
                                  "--do", "fixture serial 2 none"});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(keys_of(run), all_keys());
    EXPECT_EQ(run.lines.at(18), "test2320=1,1");
    EXPECT_EQ(run.lines.at(19), "test4850=0");
    EXPECT_EQ(run.lines.at(20), "test4851=0");

    world_run silent = run_z({"--fixture", "--do", "fixture serial 0 none"});
    EXPECT_EQ(silent.status, 0) << silent.err;
    ASSERT_EQ(keys_of(silent), all_keys());
    EXPECT_EQ(silent.lines.at(18), "test2320=0,0");
    EXPECT_EQ(silent.lines.at(19), "test4850=1");
}

// A device missing at the start ends the test before any check; a failing
// ADC ends it at the check that reads it, with its line whole; a wrong audio
// rate fails the last check only. Registers show how far the set-up got.
TEST_F(SelfTestWorld, FailuresEndTheTestAtTheStepThatMeetsThem) {
    struct example {
        std::vector<std::string> options;
        std::vector<std::string> audio;
        std::size_t lines;
        std::uint32_t port_c_dir, port_h_data;
    };
    const std::vector<std::string> keys = all_keys();
    const std::size_t all_but_audio = keys.size() - 1;
    for (const example& each : std::vector<example>{
             {{"--missing", "porta"}, {"gain 0.7", "speed 4"}, 0, 0, 0},
             {{"--missing", "adc3"}, {"gain 0.7", "speed 4"}, 0, 0x01, 0},
             {{"--do", "adc fail 3 eio"}, {"gain 0.7", "speed 4"}, 11, 0x01, 0},
             {{}, {"rate 7999"}, all_but_audio, 0x01, 2u << 2}}) {
        std::vector<std::string> options{"--fixture"};
        options.insert(options.end(), each.options.begin(), each.options.end());
        world_run run = run_z(options, each.audio);
        std::string name = each.options.empty() ? each.audio[0] : each.options[1];
        EXPECT_EQ(run.status, 1) << name;
        EXPECT_EQ(keys_of(run), std::vector<std::string>(keys.begin(), keys.begin() + each.lines)) << name;
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
    for (auto [fail_at, ending] : std::vector<std::pair<std::string, std::string>>{
             {"2", "test3=0,1"}, {"4", first_line + "\ntest6=0,1"}, {"28", "test13=0,1"}}) {
        setenv("TOVK_ADC_FAIL_AT", fail_at.c_str(), 1);
        world_run run = run_z({"--fixture"});
        EXPECT_EQ(run.status, 1) << fail_at;
        EXPECT_FALSE(run.last_line_finished) << fail_at;
        ASSERT_FALSE(run.lines.empty()) << fail_at;
        std::string text;
        for (const std::string& line : run.lines) text += (text.empty() ? "" : "\n") + line;
        EXPECT_TRUE(text.ends_with(ending)) << text;
        EXPECT_EQ(run.lines.size(), std::stoul(fail_at) / 2) << text;
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
    EXPECT_EQ(values_of(result.out, "waiter2"), std::vector<std::string>{"1"}) << result.out << result.err;
    EXPECT_EQ(values_of(result.out, "z_status"), std::vector<std::string>{"1"});
    EXPECT_EQ(values_of(result.out, "sem2"), std::vector<std::string>{"0"});
}

// The service owns the board while it runs: z has to stop it first.
TEST_F(SelfTestWorld, RunningServiceIsStoppedBeforeTheTest) {
    audio_loop_config config({"gain 0.7", "speed 4"});
    use_audio_loop(config);
    process_result result = in_world(
        {"--fixture", "--channel", "0=pic"},
        "\"$T\" i 127.0.0.1 & service=$!; \"$D\" await_running | grep -q running=1 || exit 90; \"$T\" z; "
        "echo \"status=$?\"; kill -0 $service 2>/dev/null && echo service_alive; wait $service; "
        "echo \"service_status=$?\"",
        std::chrono::seconds(60));
    std::vector<std::string> lines = split(result.out, '\n');
    // The service says goodbye on the same output when it leaves its loop.
    auto goodbye = std::find(lines.begin(), lines.end(), "Signal caught...");
    ASSERT_NE(goodbye, lines.end()) << result.out << result.err;
    lines.erase(goodbye);
    ASSERT_EQ(lines.size(), all_keys().size() + 2) << result.out << result.err;
    for (std::size_t i = 0; i < all_keys().size(); ++i) EXPECT_EQ(key_of(lines[i]), all_keys()[i]);
    EXPECT_EQ(lines[lines.size() - 2], "status=0");
    EXPECT_EQ(lines.back(), "service_status=0") << "ended by the stop, before z returned";
}

}  // namespace
