#!/usr/bin/env bash
# Fresh seeds until the time is up: each seed is one random run in a new world
# (soak_world.sh). Prints one line per seed and the totals; a failing seed's
# whole output, its reproducing script included, and its world's logs are kept
# in the report folder.
# With "kills" every other seed kills the service and producers at random
# moments (soak_world.sh ... kills).
#   soak.sh MINUTES BUILD_DIR [SECONDS_PER_RUN] [kills]
set -u
minutes=$1 build=$2 seconds=${3:-20} faults=${4:-}
here=$(dirname "$(readlink -f "$0")")
reports=$(mktemp -d /tmp/tovk-soak.XXXXXX)
deadline=$(($(date +%s) + minutes * 60))

runs=0 failures=0 verified=0 acks=0 kills=0 reclaims=0 first_rss= last_rss= failed_seeds= low_end= high_end=
trap 'deadline=0' INT TERM
while [ "$(date +%s)" -lt "$deadline" ]; do
  seed=$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')
  logs=$(mktemp -d)
  mode=
  [ "$faults" = kills ] && [ $((runs % 2)) -eq 1 ] && mode=kills
  out=$("$build/sim/boardsim" --log "$logs" -- sh "$here/soak_world.sh" "$build/src/tovk" \
    "$build/sim/refserver/refserver" "$build/sim/driver/tovk_driver" "$logs" "$seed" "$seconds" $mode 2>&1)
  runs=$((runs + 1))
  summary=$(grep -m1 '^summary:' <<<"$out")
  value() { sed -n "s/\(^\|.* \)$1=\([^ ]*\).*/\2/p" <<<"$2" | head -1; }
  verified=$((verified + $(value verified "$summary" || echo 0) + 0))
  acks=$((acks + $(value ack "$summary" || echo 0) + 0))
  kills=$((kills + $(value kills "$(grep -m1 -- '-- audit:' <<<"$out")" || echo 0) + 0))
  reclaims=$((reclaims + $(value reclaims "$(grep '^reclaims=' <<<"$out")" || echo 0) + 0))
  rss_start=$(value rss_start_kb "$(grep '^rss_start_kb=' <<<"$out")")
  rss_end=$(value rss_end_kb "$(grep '^rss_end_kb=' <<<"$out")")
  first_rss=${first_rss:-$rss_start}
  last_rss=${rss_end:-$last_rss}
  if [ -n "$rss_end" ]; then
    [ -z "$low_end" ] || [ "$rss_end" -lt "$low_end" ] && low_end=$rss_end
    [ -z "$high_end" ] || [ "$rss_end" -gt "$high_end" ] && high_end=$rss_end
  fi
  if grep -q '^result=ok$' <<<"$out" && ! grep -q 'lock balance broken' <<<"$out"; then
    echo "seed $seed${mode:+ ($mode)}: ok ($(value data "$summary") data, $(value ack "$summary") acks, rss ${rss_start}->${rss_end} kB)"
  else
    failures=$((failures + 1))
    failed_seeds="$failed_seeds $seed"
    echo "$out" >"$reports/seed-$seed.txt"
    mv "$logs" "$reports/seed-$seed.logs"
    broken=$(grep -E '^(MISMATCH|EXPECTATION FAILED)|^(refserver|service|semaphores|lines_busy)=|lock balance broken' <<<"$out" | head -8)
    echo "seed $seed: FAILED (output in $reports/seed-$seed.txt)"
    sed 's/^/    /' <<<"$broken"
  fi
  rm -rf "$logs"
done
echo "soak: seeds=$runs packets_verified=$verified acks=$acks kills=$kills reclaims=$reclaims failures=$failures${failed_seeds:+ (seeds$failed_seeds)}"
echo "soak: service rss first start=${first_rss:-?} kB, last end=${last_rss:-?} kB," \
  "ends between ${low_end:-?} and ${high_end:-?} kB; reports in $reports"
[ "$failures" -eq 0 ]
