// Re-pack of one second of PIC samples (2 bits to 4 bits per sample) against
// a plain copy of the same bytes, the floor of any re-pack.
#include "machine.h"
#include "pic/pic_operations.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int rounds = 2000;
constexpr std::uint32_t samples = 16384;

template <typename Work>
double median_microseconds(Work work) {
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + rounds / 2, times.end());
    return times[rounds / 2];
}

}  // namespace

int main() {
    std::vector<std::uint8_t> input(4288);
    std::mt19937 random(7);
    for (auto& byte : input) byte = static_cast<std::uint8_t>(random());
    std::vector<std::uint8_t> out(8192), copy(8192);
    std::span<const std::uint8_t> window = std::span(input).subspan(115);

    double repack = median_microseconds([&] { pic_repack(window, 2, out, 4, samples); });
    double plain = median_microseconds([&] {
        std::memcpy(copy.data(), input.data(), 4096);
        std::memcpy(copy.data() + 4096, input.data(), 4096);
        asm volatile("" : : "r"(copy.data()) : "memory");
    });
    std::printf("machine: %s\n", machine_description().c_str());
    std::printf("re-pack of one second (4096 bytes in, 8192 out): median %.1f us, %.1f MB/s of output\n", repack,
                8192 / repack);
    std::printf("plain copy of 8192 bytes:                        median %.2f us, %.1f MB/s\n", plain, 8192 / plain);
    std::printf("goal: re-pack under 1000 us: %s\n", repack < 1000 ? "met" : "NOT met");
    return 0;
}
