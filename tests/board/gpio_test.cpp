#include "board/gpio.h"
#include "board/port_files.h"
#include "ipc/shared_state.h"
#include "support/raw_record.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

class GpioLines : public testing::Test {
protected:
    void SetUp() override { open_test_semaphores(); }
    port_files ports;
};

struct named_line {
    const char* name;
    std::function<bool(bool)> set;
    const unique_fd* port;
    int bit;
};

const std::vector<named_line>& named_lines() {
    static const std::vector<named_line> lines = {
        {"auxpwrdis", auxpwrdis_set, &porta_fd, 7},
        {"route flag", route_flag_set, &portb_fd, 2},
        {"pulse line", pulse_line_set, &portb_fd, 3},
        {"pic attention", pic_attention_set, &portb_fd, 6},
        {"battery measure", batt_measure_set, &portb_fd, 7},
        {"route mode", route_mode_set, &portf_fd, 1},
        {"undervoltage line", undervoltage_line_set, &portf_fd, 2},
    };
    return lines;
}

TEST_F(GpioLines, EachNamedLineChangesOnlyItsBit) {
    for (const named_line& line : named_lines()) {
        for (std::uint32_t background : {0x00000000u, 0xA5A5A5A5u, 0xFFFFFFFFu}) {
            ports.set_data(*line.port, background);
            ASSERT_TRUE(line.set(true)) << line.name;
            EXPECT_EQ(ports.data(*line.port), background | (1u << line.bit)) << line.name;
            ASSERT_TRUE(line.set(false)) << line.name;
            EXPECT_EQ(ports.data(*line.port), background & ~(1u << line.bit)) << line.name;
        }
    }
}

TEST_F(GpioLines, ChannelMaskAndRouteLines) {
    ports.set_data(portb_fd, 0xF4);
    for (auto [mask, lines] : std::vector<std::pair<int, std::uint32_t>>{{1, 0x2}, {2, 0x1}, {3, 0x3}, {0, 0x0}, {6, 0x1}}) {
        ASSERT_TRUE(channel_mask_set(static_cast<std::uint8_t>(mask)));
        EXPECT_EQ(ports.data(portb_fd), 0xF4u | lines) << "mask " << mask;
    }

    ports.set_data(portb_fd, 0xCF);
    for (auto [index, enable, lines] : std::vector<std::tuple<int, int, std::uint32_t>>{
             {1, 1, 0x30}, {7, 1, 0x30}, {0, 1, 0x20}, {1, 0, 0x10}, {0, 0, 0x00}}) {
        ASSERT_TRUE(route_set(static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(enable)));
        EXPECT_EQ(ports.data(portb_fd), 0xCFu | lines) << index << "," << enable;
    }
    ASSERT_TRUE(route_set_from_ints(256, 257));  // low bytes: index 0, enable 1
    EXPECT_EQ(ports.data(portb_fd), 0xCFu | 0x20);
}

TEST_F(GpioLines, SelfTestStimuli) {
    ports.set_data(portb_fd, 0xA0);
    ASSERT_TRUE(test_lines_set(6, false));
    EXPECT_EQ(ports.data(portb_fd), 0xA1u);
    ASSERT_TRUE(test_lines_set(7, true));
    EXPECT_EQ(ports.data(portb_fd), 0xA8u);

    ports.set_data(portb_fd, 0x0F);
    ASSERT_TRUE(test_select(31, true));
    EXPECT_EQ(ports.data(portf_fd), 0x30u);
    EXPECT_EQ(ports.data(portb_fd), 0x8Fu);
    ASSERT_TRUE(test_select(5, false));
    EXPECT_EQ(ports.data(portf_fd), 0x04u);
    EXPECT_EQ(ports.data(portb_fd), 0x0Fu);
    ASSERT_TRUE(test_select(40, true));  // beyond bit 7: bits 4-7 all clear
    EXPECT_EQ(ports.data(portb_fd), 0x0Fu);
    ports.set_data(portf_fd, 0x55);
    ASSERT_TRUE(test_select(-1, true));  // a negative index leaves port F alone
    EXPECT_EQ(ports.data(portf_fd), 0x55u);

    ASSERT_TRUE(portc_write(0x12345678));
    EXPECT_EQ(ports.data(portc_fd), 0x12345678u);
}

TEST_F(GpioLines, DirectionProfiles) {
    ports.set_direction(porta_fd, 0xFF);
    ports.set_direction(portc_fd, 0x77);
    ASSERT_TRUE(gpio_setup());
    EXPECT_EQ(ports.direction(porta_fd), 0xC7u);
    EXPECT_EQ(ports.direction(portb_fd), 0xFFu);
    EXPECT_EQ(ports.direction(portc_fd), 0x77u) << "the service leaves port C alone";
    EXPECT_EQ(ports.direction(portf_fd), 0x0Eu);
    EXPECT_EQ(ports.direction(porth_fd), 0x0Cu);

    ports.set_direction(porta_fd, 0x38);
    ASSERT_TRUE(gpio_setup_test());
    EXPECT_EQ(ports.direction(porta_fd), 0x20u);
    EXPECT_EQ(ports.direction(portc_fd), 0x01u);
}

TEST_F(GpioLines, FailedReadsWriteNothingAndGiveTheLockBack) {
    ports.set_data(porta_fd, 0x80);
    EXPECT_EQ(auxpwrdis_get(), 1);
    porta_fd.reset();
    EXPECT_EQ(auxpwrdis_get(), -1);
    EXPECT_FALSE(auxpwrdis_set(true));
    EXPECT_EQ(semaphore_values().at(sem_gpio), 1);
    EXPECT_FALSE(gpio_setup()) << "port A's direction cannot be read";
    EXPECT_EQ(ports.direction(portb_fd), 0u) << "ports after the failing one stay untouched";
}

TEST_F(GpioLines, AuxPowerPollReportsEachChangeOnce) {
    shared_state block{};
    EXPECT_FALSE(auxpwr_poll(block));
    ports.set_data(porth_fd, 0x20);
    EXPECT_TRUE(auxpwr_poll(block));
    EXPECT_EQ(block.auxpwr, 1);
    EXPECT_FALSE(auxpwr_poll(block));
    ports.set_data(porth_fd, 0xDF);
    EXPECT_TRUE(auxpwr_poll(block));
    EXPECT_EQ(block.auxpwr, 0);
}

}  // namespace
