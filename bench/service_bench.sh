#!/bin/sh
# Service benchmarks in the simulated world, beside the stream limit:
#   throughput  captures per minute to a server that always has a request
#               pending, steady (from the first capture to the last, start-up
#               left out), and the capture duty (stream time that ends up in
#               packets, wall time per capture)
#   idle        CPU share and wake-ups per second of a service with no server,
#               the service alone and the simulated board's share beside it
#   memory      private memory (RssAnon) of the service after the traffic run;
#               VmRSS beside it counts the shared libraries' pages too
# Usage: bench/service_bench.sh [traffic seconds, default 60] [build dir] [idle seconds, default 30]
set -eu
seconds=${1:-60}
build=${2:-build/default}
idle=${3:-30}
here=$(cd "$(dirname "$0")/.." && pwd)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
B="$here/$build/sim/boardsim"
T="$here/$build/src/tovk"
R="$here/$build/sim/refserver/refserver"

echo "machine: $(hostname), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"

"$B" --log "$logs" -- sh -c '
  "$0" i 127.0.0.1 >/dev/null 2>&1 & S=$!
  "$1" --pic-log "$2" "continuous forever" > "$2/server.out" 2>&1 & Q=$!
  sleep "$3"
  grep -E "^(VmRSS|RssAnon|RssFile)" /proc/$S/status > "$2/rss"
  kill -INT $Q; wait $Q
  "$0" r
  wait $S
  "$0" i "" >/dev/null 2>&1 & S=$!
  sleep 3
  sample() { echo $(cut -d" " -f14,15 /proc/$S/stat) $(grep -E "^(non)?voluntary_ctxt_switches" /proc/$S/status | awk "{s+=\$2} END {print s}") $(cut -d" " -f14,15 /proc/1/stat); }
  before=$(sample)
  sleep "$4"
  echo $before $(sample) > "$2/idle"
  "$0" r >/dev/null
' "$T" "$R" "$logs" "$seconds" "$idle"

data=$(grep -c ' TC ' "$logs/server.out" || true)
verified=$(grep -c ' TC .*verified' "$logs/server.out" || true)
awk -v n="$data" -v s="$seconds" -v v="$verified" 'BEGIN {
  limit = 60000 / (1046.875 + 20)
  printf "packets: %d in %d s, %d verified (%.1f%% of the stream limit counting the start-up)\n", n, s, v, 100 * n * 60 / s / limit
}'
awk 'function stamp(   i) { for (i = 3; i <= NF; i++) if ($i ~ /^t=/) return substr($i, 3) }
     / stream_start .*kind=sampling/ { start[++n] = stamp() }
     / stream_end / { end[++m] = stamp() }
     END {
       for (i = 1; i <= m && i <= n; i++) { d = end[i] - start[i]; total += d; if (d > worst) worst = d }
       if (m) printf "capture: %.1f ms mean (%.4fx the stream), %.1f ms worst wall time per capture exchange over %d; the stream needs 1066.9 ms (1046.875 read + 20 pulse); goal at most 1.005x\n", 1000 * total / m, 1000 * total / m / 1066.875, 1000 * worst, m
       if (n > 1) {
         span = start[n] - start[1]
         printf "throughput: %.2f captures/min steady, between the first and the last capture (%d in %.1f s); stream limit %.2f/min; %.1f%% of the limit (goal 99%%)\n", 60 * (n - 1) / span, n - 1, span, 60000 / 1066.875, 100 * 60 * (n - 1) / span / (60000 / 1066.875)
         printf "capture duty: %.1f%% of stream time ends up in packets (1000 ms of samples per capture)\n", 100 * (n - 1) / span
       }
     }' "$logs/pic.log"
read -r u0 s0 c0 bu0 bs0 u1 s1 c1 bu1 bs1 < "$logs/idle"
ticks=$(getconf CLK_TCK)
awk -v u0="$u0" -v s0="$s0" -v u1="$u1" -v s1="$s1" -v c0="$c0" -v c1="$c1" -v b0="$((bu0 + bs0))" -v b1="$((bu1 + bs1))" -v hz="$ticks" -v t="$idle" 'BEGIN {
  printf "idle: service %.2f%% of one core (goal at most 1.5%%), %.0f context switches/s; the simulated board beside it %.2f%% (service with no server, %d s)\n", 100 * ((u1 + s1) - (u0 + s0)) / hz / t, (c1 - c0) / t, 100 * (b1 - b0) / hz / t, t
}'
awk '/^RssAnon/ { anon = $2 } /^VmRSS/ { rss = $2 }
     END { printf "memory after the traffic run: RssAnon %d kB private (goal about 310 kB, constant); VmRSS %d kB, shared library pages included\n", anon, rss }' "$logs/rss"
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
