// tovk z where the board is missing altogether.
#include "support/process.h"
#include "support/raw_record.h"

#include <gtest/gtest.h>

namespace {

TEST(SelfTestCommand, WithoutBoardFailsSilentlyAndReleasesTheRecord) {
    process_result result = run_tovk({"z"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    raw_record record;
    ASSERT_TRUE(record.attached()) << "the test attached the record before it stopped";
    EXPECT_EQ(record.attach_count(), 1) << "only this reader is left attached";
    EXPECT_EQ(semaphore_values().at(2), 1) << "the serial line was never taken";
}

}  // namespace
