#!/usr/bin/env bash
# Each libFuzzer target for SECONDS in a world of its own (the record and the
# board's devices are the world's), from its seed corpus in the tree; what it
# finds new goes to a scratch folder, an input that breaks it to
# build/fuzz/crashes. Then the record fuzzer for as long, with the sanitized
# tovk. Fails if any target or the record fuzzer does.
#   tests/fuzz/run_fuzz.sh SECONDS
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/../.."
seconds=$1

targets=(command_word_fuzz packet_text_fuzz server_list_fuzz line_settings_fuzz record_readings_fuzz
  refserver_framer_fuzz)
sanitizers=(ASAN_OPTIONS=abort_on_error=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)

# A figure of libFuzzer's final statistics in LOG.
fuzz_stat() { sed -n "s/^stat::$1: *//p" "$2" | tail -1; }

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
cmake --preset default >/dev/null
cmake --build --preset default --target boardsim boardsim_shim
mkdir -p build/fuzz/crashes
failed=0
for name in "${targets[@]}"; do
  work=$(mktemp -d)
  if ! env "${sanitizers[@]}" build/default/sim/boardsim -- "build/fuzz/tests/fuzz/$name" -max_total_time="$seconds" \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$PWD/build/fuzz/crashes/$name-" "$work" \
    "tests/fuzz/corpus/$name" >"$work/log" 2>&1; then
    failed=1
    echo "fuzz: $name FAILED; its input is in build/fuzz/crashes"
    grep -v '^#' "$work/log" | tail -30
  fi
  echo "fuzz: $name: $(fuzz_stat number_of_executed_units "$work/log") runs," \
    "$(fuzz_stat average_exec_per_sec "$work/log") per second, $(ls "$work" | grep -vc '^log$') new inputs"
  rm -rf "$work"
done
cmake --preset asan >/dev/null
cmake --build --preset asan --target tovk tovk_driver
env "${sanitizers[@]}" build/default/sim/boardsim -- sh tests/fuzz/record_fuzz.sh "$PWD/build/asan/src/tovk" \
  "$PWD/build/asan/sim/driver/tovk_driver" "$seconds" "$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')" || failed=1
exit "$failed"
