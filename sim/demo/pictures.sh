#!/bin/sh
# Draws the demo's two pictures from its logs with gnuplot:
#   timing.png   the board lines around the capture before the first legacy
#                command, and that command's three select pulses;
#   capture.png  the output channels of the first verified capture, as the
#                reference server inflated them.
# usage: pictures.sh LOG_DIR   (needs lines.log and samples.txt there)
set -eu
L=$1
lines="$L/lines.log"

# The window: from 0.2 s before the last capture pulse (both select lines)
# that precedes the first legacy pulse (one select line) to 0.2 s after the
# legacy command's last pulse.
window=$(awk '
  function field(key,   i) { for (i = 1; i <= NF; i++) if (index($i, key "=") == 1) return substr($i, length(key) + 2) }
  / name=channel_select / {
    t = field("t"); value = field("new")
    if (value == 3 && legacy == 0) capture = t
    if ((value == 1 || value == 2) && legacy == 0) legacy = t
    if (legacy != 0 && value == 0 && pulses < 3) { pulses++; last = t }
  }
  END { if (capture != "" && pulses == 3) printf "%.6f %.6f %.6f\n", capture - 0.2, last + 0.2, last - capture + 0.2 }' "$lines")
if [ -z "$window" ]; then
  echo "pictures: no capture followed by a legacy command in $lines" >&2
  exit 1
fi
set -- $window
from=$1
to=$2
legacy_at=$3

# One block per line, in plotting order: the level at the window's start,
# every change inside it, the level at its end.
signals="pic_attention channel_select0 channel_select1 route_select route_enable route_flag pulse_line batt_measure serial_channel0 serial_channel1 undervoltage auxpwrdis"
awk -v from="$from" -v to="$to" -v signals="$signals" '
  function field(key,   i) { for (i = 1; i <= NF; i++) if (index($i, key "=") == 1) return substr($i, length(key) + 2) }
  function record(wire, t, value) {
    if (t > to) return
    if (t < from) start[wire] = value
    else changes[wire] = changes[wire] sprintf("%.6f %d\n", t - from, value)
    level[wire] = value
  }
  / line name=/ {
    name = field("name"); t = field("t") + 0; value = field("new") + 0
    if (name == "channel_select" || name == "serial_channel") {
      record(name "0", t, value % 2); record(name "1", t, int(value / 2) % 2)
    } else record(name, t, value)
  }
  END {
    count = split(signals, wire, " ")
    for (i = 1; i <= count; i++) {
      printf "0 %d\n%s%.6f %d\n\n\n", start[wire[i]], changes[wire[i]], to - from, level[wire[i]]
    }
  }' "$lines" >"$L/timing.dat"

gnuplot <<PLOT
set terminal pngcairo size 1400,800 font "sans,11"
set termoption noenhanced
set output "$L/timing.png"
set title "Board lines around one capture and one legacy command (world time $from s to $to s)"
set xlabel "time from the window's start (ms)"
set xrange [0:($to - $from) * 1000]
set yrange [-0.6:12.6]
set grid xtics
set key off
set label "capture: select pulse on both lines, then 1 s of stream" at 200, 12.2
set label "legacy command: 3 pulses, the gaps code address and code" at $legacy_at * 1000, 12.2 right
set ytics ($(i=0; for s in $signals; do printf '"%s" %d.4,' "$s" $((11 - i)); i=$((i + 1)); done | sed 's/,$//'))
plot for [i=0:11] "$L/timing.dat" index i using (\$1 * 1000):(11 - i + 0.8 * \$2) with steps lw 2
PLOT

gnuplot <<PLOT
set terminal pngcairo size 1400,600 font "sans,11"
set termoption noenhanced
set output "$L/capture.png"
set title "First verified capture: the output channels of its first 15.625 ms (256 of 16384 samples)"
set xlabel "time from the capture's first sample (ms)"
set xrange [0:15.625]
set yrange [-0.6:4]
set key off
set ytics ("ch0" 3.4, "ch1" 2.4, "ch2 (no input)" 1.4, "ch3 (no input)" 0.4)
plot for [c=0:3] "$L/samples.txt" using 1:(3 - c + 0.8 * column(c + 2)) with steps lw 1.5
PLOT

echo "$L/timing.png"
echo "$L/capture.png"
