#include "board/port_files.h"
#include "ipc/shared_state.h"
#include "support/raw_record.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST_F(GpioLines, ChannelMaskAndRouteChangeOnlyTheirLines) {
    set_data(portb_fd, 0xF4);
    for (auto [mask, lines] : std::vector<std::pair<int, std::uint32_t>>{{1, 0x2}, {2, 0x1}, {3, 0x3}, {0, 0x0}, {6, 0x1}}) {
        ASSERT_TRUE(channel_mask_set(static_cast<std::uint8_t>(mask)));
        EXPECT_EQ(data(portb_fd), 0xF4u | lines) << "mask " << mask;
    }

    set_data(portb_fd, 0xCF);
    for (auto [index, enable, lines] : std::vector<std::tuple<int, int, std::uint32_t>>{
             {1, 1, 0x30}, {7, 1, 0x30}, {0, 1, 0x20}, {1, 0, 0x10}, {0, 0, 0x00}}) {
        ASSERT_TRUE(route_set(static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(enable)));
        EXPECT_EQ(data(portb_fd), 0xCFu | lines) << index << "," << enable;
    }
    ASSERT_TRUE(route_set_from_ints(256, 257));  // low bytes: index 0, enable 1
    EXPECT_EQ(data(portb_fd), 0xCFu | 0x20);
}

TEST_F(GpioLines, EachSetUpWritesItsDirectionProfile) {
    set_direction(porta_fd, 0xFF);
    set_direction(portc_fd, 0x77);
    ASSERT_TRUE(gpio_setup());
    EXPECT_EQ(direction(porta_fd), 0xC7u) << "bits 0, 1, 2 and 6 kept";
    EXPECT_EQ(direction(portb_fd), 0xFFu);
    EXPECT_EQ(direction(portc_fd), 0x77u) << "the service leaves port C alone";
    EXPECT_EQ(direction(portf_fd), 0x0Eu);
    EXPECT_EQ(direction(porth_fd), 0x0Cu);

    set_direction(porta_fd, 0x38);
    ASSERT_TRUE(gpio_setup_test());
    EXPECT_EQ(direction(porta_fd), 0x20u);
}

// Reads fail while writes would still land: a change whose read failed must
// write nothing, and give the lock back all the same.
TEST_F(GpioLines, FailedReadsWriteNothingAndGiveTheLockBack) {
    set_data(porta_fd, 0xA5);
    set_direction(porta_fd, 0x3C);
    EXPECT_EQ(auxpwrdis_get(), 1);
    make_write_only(porta_fd);
    EXPECT_EQ(auxpwrdis_get(), -1);
    EXPECT_FALSE(auxpwrdis_set(false));
    EXPECT_EQ(data(porta_fd), 0xA5u);
    EXPECT_EQ(semaphore_values().at(sem_gpio), 1);
    EXPECT_FALSE(gpio_setup()) << "port A's direction cannot be read";
    EXPECT_EQ(direction(porta_fd), 0x3Cu);
    EXPECT_EQ(direction(portb_fd), 0u) << "ports after the failing one stay untouched";
}

TEST_F(GpioLines, AuxPowerPollFollowsBitFiveOfPortH) {
    shared_state block{};
    for (auto [bits, level] : std::vector<std::pair<std::uint32_t, int>>{{0x20, 1}, {0xDF, 0}}) {
        set_data(porth_fd, bits);
        auxpwr_poll(block);
        EXPECT_EQ(block.auxpwr, level) << bits;
    }
}

}  // namespace
