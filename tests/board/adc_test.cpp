#include "board/adc.h"

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// A pipe delivers what is written to it, like a channel that has only so
// many bytes to give.
TEST(Adc, ReadsWholeSamplesOnly) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    adc_fd[3].reset(pipe_fds[0]);
    std::int32_t sample = -12345;
    ASSERT_EQ(write(pipe_fds[1], &sample, 4), 4);
    EXPECT_EQ(adc_read(3), -12345);

    ASSERT_EQ(write(pipe_fds[1], &sample, 2), 2);
    close(pipe_fds[1]);
    EXPECT_EQ(adc_read(3), ADC_INVALID);
    EXPECT_EQ(adc_read(3), ADC_INVALID) << "end of data";
    EXPECT_EQ(adc_read(5), ADC_INVALID) << "no such channel";
    EXPECT_EQ(adc_read(-1), ADC_INVALID);
    adc_close();
}

}  // namespace
