// tovk z where the board is missing altogether.
#include "support/process.h"
#include "support/raw_record.h"

#include <gtest/gtest.h>

namespace {

TEST(SelfTestCommand, WithoutBoardFailsSilently) {
    process_result result = run_tovk({"z"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(raw_record().attached()) << "the test attached the record before it stopped";
}

}  // namespace
