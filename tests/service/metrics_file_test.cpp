// The metrics file's text: what the exporter would refuse or misread.
#include "ipc/shared_state.h"
#include "service/metrics_file.h"
#include "service/service_state.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

namespace {

// The sample lines of `name` ("name{labels} value").
std::string samples_of(const std::string& text, const std::string& name) {
    std::istringstream lines(text);
    std::string line, found;
    while (std::getline(lines, line)) {
        if (line.rfind(name + " ", 0) == 0 || line.rfind(name + "{", 0) == 0) found += line + "\n";
    }
    return found;
}

// Every sample follows the HELP and TYPE lines of its family, given once.
void expect_well_formed(const std::string& text) {
    std::istringstream lines(text);
    std::string line, family;
    std::set<std::string> families;
    while (std::getline(lines, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            family = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(families.insert(family).second) << "twice: " << family;
            ASSERT_TRUE(std::getline(lines, line));
            EXPECT_EQ(line.rfind("# TYPE " + family + " ", 0), 0u) << line;
            continue;
        }
        EXPECT_EQ(line.substr(0, line.find_first_of(" {")), family) << "outside its family: " << line;
    }
}

TEST(MetricsFile, LabelsStayValidAndReadingsWaitForAFullRound) {
    struct {
        const char* entry;
        const char* label;
    } cases[] = {
        {"10.0.0.1", "tovk_connected{server=\"10.0.0.1\"} 1\n"},
        {"1.2.3.4 \"x\\y\nz\x01\xff", "tovk_connected{server=\"1.2.3.4 \\\"x\\\\y\\nz??\"} 1\n"},
    };
    for (const auto& c : cases) {
        ServiceState state;
        state.sock = 7;
        state.connect_entry = c.entry;
        shared_state block{};
        std::string text = metrics_text(state, block, true);
        expect_well_formed(text);
        EXPECT_EQ(samples_of(text, "tovk_connected"), c.label);
        EXPECT_EQ(samples_of(text, "tovk_battery_volts"), "") << "no readings before a full round";

        block.measurements_ready = 1;
        block.batt = 12.6000001;
        state.mod_low[1] = true;
        text = metrics_text(state, block, false);
        expect_well_formed(text);
        EXPECT_EQ(samples_of(text, "tovk_up"), "tovk_up 0\n");
        EXPECT_EQ(samples_of(text, "tovk_connected"), "tovk_connected{server=\"\"} 0\n") << "stopped: no connection";
        EXPECT_EQ(samples_of(text, "tovk_battery_volts"), "tovk_battery_volts 12.6\n") << "as tovk d prints it";
        EXPECT_EQ(samples_of(text, "tovk_module_low"), "tovk_module_low{module=\"0\"} 0\ntovk_module_low{module=\"1\"} 1\n");
    }
}

}  // namespace
