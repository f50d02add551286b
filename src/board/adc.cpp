#include "board/adc.h"

#include <fcntl.h>
#include <unistd.h>

unique_fd adc_fd[adc_channel_count];

bool adc_open() {
    char path[] = "/dev/adc0";
    for (int channel = 0; channel < adc_channel_count; ++channel) {
        path[sizeof path - 2] = static_cast<char>('0' + channel);
        adc_fd[channel].reset(open(path, O_RDONLY | O_SYNC | O_CLOEXEC));
        if (!adc_fd[channel].valid()) return false;
    }
    return true;
}

void adc_close() {
    for (unique_fd& channel : adc_fd) channel.reset();
}

std::int32_t adc_read(int channel) {
    if (channel < 0 || channel >= adc_channel_count) return ADC_INVALID;
    std::int32_t sample = 0;
    if (read(adc_fd[channel].get(), &sample, sizeof sample) != sizeof sample) return ADC_INVALID;
    return sample;
}

double adc_volts(std::int32_t raw) { return (raw / 50000.0 + 0.5) * 3.3; }
