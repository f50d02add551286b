// The metrics file's text where the exporter would refuse or misread it.
#include "ipc/shared_state.h"
#include "service/metrics_file.h"
#include "service/service_state.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

std::string samples_of(const std::string& text, const std::string& name) {
    std::string found;
    std::regex line("(^|\n)(" + name + "[ {][^\n]*)");
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) found += (*it)[2].str() + "\n";
    return found;
}

// A server entry is whatever the record held; readings wait for a full round.
TEST(MetricsFile, LabelsStayValidAndReadingsWaitForAFullRound) {
    ServiceState state;
    state.sock = 7;
    shared_state block{};
    for (auto [entry, label] : {std::pair{"10.0.0.1", "10.0.0.1"}, {"1.2.3.4 \"x\\y\nz\x01\xff", "1.2.3.4 \\\"x\\\\y\\nz??"}}) {
        state.connect_entry = entry;
        EXPECT_EQ(samples_of(metrics_text(state, block, true), "tovk_connected"),
                  "tovk_connected{server=\"" + std::string(label) + "\"} 1\n");
    }
    EXPECT_EQ(samples_of(metrics_text(state, block, true), "tovk_battery_volts"), "");
    block.measurements_ready = 1;
    block.batt = 12.6000001;
    EXPECT_EQ(samples_of(metrics_text(state, block, true), "tovk_battery_volts"), "tovk_battery_volts 12.6\n");
}

}  // namespace
