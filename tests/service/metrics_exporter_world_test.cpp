// The metrics file as a fleet reads it: Debian's node exporter in the world,
// serving the textfile directory the world gives it, scraped over HTTP while
// the service feeds the reference server.
#include "support/world_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <regex>
#include <string>

namespace {

const char exporter[] = "/usr/bin/prometheus-node-exporter";

// The exporter's own collectors stay off: only the textfile is served.
const std::string start_exporter =
    std::string(exporter) +
    " --collector.disable-defaults --collector.textfile --web.listen-address=127.0.0.1:9100 2>\"$L/exporter.err\" & "
    "i=0; until grep -q ':238C 00000000:0000 0A' /proc/net/tcp; do i=$((i+1)); [ $i -lt 250 ] || exit 121; "
    "sleep 0.02; done; ";

std::string scrape(const std::string& name) {
    return "printf 'GET /metrics HTTP/1.0\\r\\n\\r\\n' | socat -t 5 - TCP:127.0.0.1:9100 | "
           "grep -E '^(tovk_|node_textfile_scrape_error)' | sed 's/^/" + name + " /'; ";
}

const std::string count_data = "grep -c ' TC .* verified' \"$L/server.out\"";

// "name{labels}" -> value, from the lines of one scrape.
std::map<std::string, std::string> scraped(const std::string& out, const std::string& name) {
    std::map<std::string, std::string> samples;
    std::regex line("(^|\n)" + name + " ([^ \n]+) ([^ \n]+)");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) samples[(*it)[2]] = (*it)[3];
    return samples;
}

class MetricsExporterWorld : public world_test {};

// Packets stop before the scrape, so the file (at most 10 s old) has caught up.
TEST_F(MetricsExporterWorld, ExporterServesReadingsAndCountersOfTheRunningAndTheStoppedService) {
    if (access(exporter, X_OK) != 0) SKIP_UNLESS_CI("prometheus-node-exporter is not installed");
    scratch_dir logs;
    process_result run = in_world(
        {"--textfile-dir", "--do", "set diode 0.62", "--do", "set batt 12.6", "--do", "set module1 24.1", "--do",
         "set module2 23.8", "--do", "aux on"},
        "L='" + logs.path() + "'; " + start_exporter +
            "\"$T\" i 127.0.0.1 >/dev/null 2>\"$L/service.err\" & S=$!; "
            "\"$R\" 'continuous 6' 'wait 16' >\"$L/server.out\" & Q=$!; "
            "i=0; until [ \"$(" + count_data + ")\" -ge 6 ] || [ $i -ge 300 ]; do i=$((i+1)); sleep 0.1; done; "
            "sleep 11; " + scrape("running") + "echo verified=$(" + count_data + "); \"$T\" d; "
            "wait $Q; \"$T\" r; wait $S; echo service=$?; " + scrape("stopped") + "echo final=$(" + count_data + ")",
        std::chrono::seconds(120));
    std::string explain = run.out + run.err + file_text(logs.path() + "/exporter.err");
    ASSERT_TRUE(said(run, "service=0")) << explain;

    auto running = scraped(run.out, "running");
    auto stopped = scraped(run.out, "stopped");
    EXPECT_EQ(running["node_textfile_scrape_error"] + stopped["node_textfile_scrape_error"], "00") << explain;
    EXPECT_EQ(running["tovk_up"] + stopped["tovk_up"], "10");
    EXPECT_EQ(running["tovk_connected{server=\"127.0.0.1\"}"], "1") << explain;
    // The readings are tovk d's, number for number.
    for (auto [metric, key] : {std::pair{"tovk_battery_volts", "batt"}, {"tovk_module_volts{module=\"0\"}", "mod_vol0"},
                               {"tovk_module_volts{module=\"1\"}", "mod_vol1"}, {"tovk_temperature_celsius", "temp"},
                               {"tovk_external_power", "auxpwr"}}) {
        EXPECT_EQ(running[metric], values_of(run.out, key).at(0)) << metric << "\n" << explain;
    }
    EXPECT_NEAR(std::stod(running["tovk_battery_volts"]), 12.6, 0.01);

    // Within one packet of the server's count at the scrape; exact at stop.
    double verified = std::stod(values_of(run.out, "verified").at(0));
    EXPECT_GE(verified, 6);
    EXPECT_NEAR(std::stod(running["tovk_data_packets_total"]), verified, 1) << explain;
    EXPECT_EQ(stopped["tovk_data_packets_total"], values_of(run.out, "final").at(0)) << explain;
}

}  // namespace
