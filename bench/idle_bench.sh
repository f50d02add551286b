#!/bin/sh
# The idle service against its goals, beside a baseline build measured in the
# same run under the same load: CPU share with no server and with a server
# that never asks, reactions to a server word, a `tovk p` packet and `tovk r`,
# first readings, private memory, `tovk l` beside /bin/true.
# Usage: bench/idle_bench.sh [idle seconds, default 30] [build dir] [baseline tovk]
set -eu
seconds=${1:-30}
build=${2:-build/default}
here=$(cd "$(dirname "$0")/.." && pwd)
B="$here/$build/sim/boardsim"
T="$here/$build/src/tovk"
bench="$here/$build/bench/idle_bench"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

echo "machine: $(hostname), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
# The launches run outside a world, whose preloaded shim every program
# would pay for, in a private IPC namespace of their own.
run() {
  mkdir -p "$logs/$1"
  "$B" --log "$logs/$1" -- "$bench" "$2" "$logs/$1" "$seconds" | sed "s/^/$1: /"
  unshare --ipc "$bench" --launch "$2" 300 | sed "s/^/$1: /"
}
if [ $# -ge 3 ]; then run baseline "$3"; fi
run build "$T"
echo "goals: idle service cpu <= 1.5% (both idle lines); reaction_word p99 <= 10 ms;" \
     "reaction_p_to_pic <= 10 ms + tovk_p_own_run; tovk_r <= 20 ms; first_readings <= 1000 ms;" \
     "tovk l ratio <= 2.0; RssAnon about 310 kB"
