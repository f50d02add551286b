// Audio loopback test: plays a steady tone on the PCM device "default" and
// records the fixture's loop at the same time; after about two seconds of
// settling it keeps one second of the first captured channel and prints the
// amplitude at each multiple of 100 Hz up to 1600 Hz as the "test17=" line.
#pragma once

// The tone is tone_bin x 100 Hz, one of the sixteen measured bins (1..16).
// 0 once the result line is printed; otherwise a negative ALSA error code,
// -22 when the rate was not granted exactly or the tone bin is not measured,
// -1 when memory ran out.
int audio_loopback_test(int tone_bin);
