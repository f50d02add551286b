// The five ADC channels: 0, 1 module voltages, 2 battery, 3 self-test point,
// 4 temperature diode. A 4-byte read gives the channel's current conversion.
#pragma once

#include "base/unique_fd.h"
#include "board/board_session.h"

#include <cstdint>

constexpr int adc_channel_count = 5;
constexpr std::int32_t ADC_INVALID = INT32_MIN;

extern unique_fd adc_fd[adc_channel_count];

// Opens channels 0 to 4 in order; stops at the first failure, leaving the
// channels opened before it open.
bool adc_open();
void adc_close();

// Closes every channel when it goes, however far adc_open got.
using adc_session = board_session<adc_open, adc_close, close_after::any_open>;

// The raw signed sample, or ADC_INVALID when no full sample was read.
std::int32_t adc_read(int channel);

// Volts at the converter input. Knows nothing of ADC_INVALID.
double adc_volts(std::int32_t raw);
