// The service with every behaviour mixed: the reference server's random
// mode (sim/refserver/random_run.h) drives one seed's words, cuts, slow reads
// and side commands; sim/soak/soak_world.sh then stops the service and checks
// what it left. A failing seed prints the script that reproduces it.
#include "support/world_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class InterleavingWorld : public ::testing::TestWithParam<int> {};

TEST_P(InterleavingWorld, SeedLeavesEveryInvariantStanding) {
    SKIP_WITHOUT_WORLDS();
    scratch_dir logs;
    process_result run = in_world({"--log", logs.path()},
                                  std::string("sh '") + SOAK_WORLD_SCRIPT + R"(' "$T" "$R" "$D" ')" + logs.path() +
                                      "' " + std::to_string(GetParam()) + " 8",
                                  std::chrono::seconds(170));
    // A failure names the invariant; the output holds the seed's script after
    // "FAILED SEED". SIGTERM ends the service with status 0.
    EXPECT_TRUE(said(run, "refserver=0 service=0 semaphores=sem0=1,sem1=1,sem2=1,sem3=1,sem4=1,sem5=1,sem6=1, "
                          "lines_busy=none"));
}

// Seed 2 black-holes the first server, then sets the list again; seed 17
// sends a pulse-coded command while paused; 20 and 49 mix slow reads and
// holds with small buffers and a command in flight. Seed 3 (slot packets
// back to back behind a queued acknowledgement) is left to ./dev soak: on a
// loaded machine it once ended in a failed PIC exchange, not yet explained.
INSTANTIATE_TEST_SUITE_P(Seeds, InterleavingWorld, ::testing::Values(2, 17, 20, 49));

}  // namespace
