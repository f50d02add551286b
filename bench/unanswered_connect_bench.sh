#!/bin/sh
# How long other processes wait while the service's connection attempt goes
# unanswered (a server whose SYNs are dropped), beside the same waits while
# the service is connected to a server that answers:
#   tovk f   the settings dump, which copies the record under sem_state
#   bridge   one connection to the serial-TCP bridge under inetd: connect,
#            one byte echoed by channel 1 (or the connection ended at once
#            when the service holds the line), close
# Usage: bench/unanswered_connect_bench.sh [rounds, default 10] [build dir]
set -eu
rounds=${1:-10}
build=${2:-build/default}
here=$(cd "$(dirname "$0")/.." && pwd)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

echo "machine: $(hostname), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"

# One world per case. The installed path of the shipped inetd line gets the
# built program through an overlay, as in the bridge's tests.
measure() {
  mkdir -p "$logs/$1/mnt"
  "$here/$build/sim/boardsim" --channel 1=echo --log "$logs/$1" -- sh -c '
    D=$1 T=$2 R=$3 M=$4 CONF=$5 CASE=$6 ROUNDS=$7
    "$D" gpio_setup >/dev/null
    mount -t tmpfs tovk "$M" && mkdir "$M/up" "$M/work" &&
      mount -t overlay overlay -o lowerdir=/usr/sbin,upperdir="$M/up",workdir="$M/work" /usr/sbin &&
      : >/usr/sbin/tovk && mount --bind "$T" /usr/sbin/tovk || exit 120
    inetd -i -E "$CONF" & I=$!
    i=0; until grep -q ":0FA1 00000000:0000 0A" /proc/net/tcp; do i=$((i+1)); [ $i -lt 200 ] || exit 121; sleep 0.02; done
    "$T" f 1 115200 8 N 1 >/dev/null
    if [ "$CASE" = unanswered ]; then
      "$D" unanswering_server 127.0.0.2 3600 >/dev/null & Q=$!; server=127.0.0.2
    else
      "$R" "continuous forever" >/dev/null 2>&1 & Q=$!; server=127.0.0.1
    fi
    sleep 0.5
    "$T" i $server >/dev/null 2>&1 & S=$!
    sleep 3
    for round in $(seq "$ROUNDS"); do
      a=$(date +%s%N); "$T" f >/dev/null; b=$(date +%s%N)
      bash -c "exec 3<>/dev/tcp/127.0.0.1/4001 && printf x >&3 && read -r -n1 -t5 c <&3 && [ \"\$c\" = x ]" 2>/dev/null &&
        echoed=1 || echoed=0
      c=$(date +%s%N)
      echo "f_ms=$(( (b - a) / 1000000 )) bridge_ms=$(( (c - b) / 1000000 )) echoed=$echoed"
      sleep 0.5
    done
    "$T" r; wait $S; kill $Q $I 2>/dev/null; wait
  ' sh "$here/$build/sim/driver/tovk_driver" "$here/$build/src/tovk" "$here/$build/sim/refserver/refserver" \
    "$logs/$1/mnt" "$here/packaging/inetd.conf" "$1" "$rounds" >"$logs/$1.out" 2>&1 || true
}

# median and largest of KEY over a case's rounds, in seconds
figures() {
  sed -n "s/.*$2=\([0-9]*\).*/\1/p" "$logs/$1.out" | sort -n | awk '
    { v[NR] = $1 } END { if (NR == 0) { print "(no figures: see the world)"; exit }
      printf "median %.3f s, largest %.3f s", v[int((NR + 1) / 2)] / 1000, v[NR] / 1000 }'
}

for case in answered unanswered; do measure "$case"; done

echo "$rounds rounds each, the service started 3 s before the first"
for case in answered unanswered; do
  echo "service connected to a server that $( [ $case = answered ] && echo answers || echo drops every SYN):"
  echo "  tovk f: $(figures $case f_ms)"
  echo "  bridge: $(figures $case bridge_ms), $(grep -c 'echoed=1' "$logs/$case.out" || true) of $rounds echoed"
done
