#!/bin/sh
# Service benchmarks in the simulated world, beside the stream limit:
#   throughput  packets per minute to a server that always has a request
#               pending, and the capture duty (stream time that ends up in
#               packets, wall time per capture)
#   idle        CPU share and wake-ups per second of a service with no server
#   memory      resident size of the service after the traffic run
# Usage: bench/service_bench.sh [traffic seconds, default 60] [build dir]
set -eu
seconds=${1:-60}
build=${2:-build/default}
here=$(cd "$(dirname "$0")/.." && pwd)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
B="$here/$build/sim/boardsim"
T="$here/$build/src/tovk"
R="$here/$build/sim/refserver/refserver"

echo "machine: $(hostname), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"

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
  set -- $(cut -d" " -f14,15 /proc/$S/stat) $(grep -E "^(non)?voluntary_ctxt_switches" /proc/$S/status | awk "{s+=\$2} END {print s}")
  sleep 10
  set -- "$@" $(cut -d" " -f14,15 /proc/$S/stat) $(grep -E "^(non)?voluntary_ctxt_switches" /proc/$S/status | awk "{s+=\$2} END {print s}")
  echo "$@" > '"$logs"'/idle
  "$0" r >/dev/null
' "$T" "$R" "$logs" "$seconds"

data=$(grep -c ' TC ' "$logs/server.out" || true)
verified=$(grep -c ' TC .*verified' "$logs/server.out" || true)
awk -v n="$data" -v s="$seconds" -v v="$verified" 'BEGIN {
  limit = 60000 / (1046.875 + 20)
  rate = n * 60 / s
  printf "throughput: %.1f packets/min (%d in %d s, %d verified); stream limit %.1f packets/min; %.1f%% of the limit (goal 98%%)\n", rate, n, s, v, limit, 100 * rate / limit
}'
awk 'function stamp(   i) { for (i = 3; i <= NF; i++) if ($i ~ /^t=/) return substr($i, 3) }
     / stream_start .*kind=sampling/ { start[++n] = stamp() }
     / stream_end / { end[++m] = stamp() }
     END {
       for (i = 1; i <= m && i <= n; i++) { d = end[i] - start[i]; total += d; if (d > worst) worst = d }
       if (m) printf "capture: %.1f ms mean, %.1f ms worst wall time per capture exchange over %d; the stream needs 1066.9 ms (1046.875 read + 20 pulse); goal at most 1100 ms\n", 1000 * total / m, 1000 * worst, m
       if (n > 1) {
         span = start[n] - start[1]
         printf "steady throughput: %.2f captures/min between the first and the last capture (%d in %.1f s) = %.1f%% of the stream limit\n", 60 * (n - 1) / span, n - 1, span, 100 * 60 * (n - 1) / span / (60000 / 1066.875)
         printf "capture duty: %.1f%% of stream time ends up in packets (1000 ms of samples per capture)\n", 100 * (n - 1) / span
       }
     }' "$logs/pic.log"
read -r u0 s0 c0 u1 s1 c1 < "$logs/idle"
ticks=$(getconf CLK_TCK)
awk -v u0="$u0" -v s0="$s0" -v u1="$u1" -v s1="$s1" -v c0="$c0" -v c1="$c1" -v hz="$ticks" 'BEGIN {
  printf "idle: %.1f%% of one core, %.0f context switches/s (service with no server, 10 s)\n", 100 * ((u1 + s1) - (u0 + s0)) / hz / 10, (c1 - c0) / 10
}'
echo "memory after $seconds s of traffic (goal: under 3 MB RSS, constant): $(tr -s ' \t\n' ' ' < "$logs/rss")"
