// Runs the audio loopback test alone, as the self test's last step would,
// for tests that have an audio loop but no board. Exit status: the negated
// result (0 when the result line was printed).
#include "selftest/audio_loopback.h"

#include <cstdlib>

int main(int argc, char** argv) {
    int tone_bin = argc > 1 ? std::atoi(argv[1]) : 10;
    int result = audio_loopback_test(tone_bin);
    return result <= 0 && result >= -255 ? -result : 255;
}
