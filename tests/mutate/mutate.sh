#!/usr/bin/env bash
# Applies each deliberate fault of mutations.txt to the tree alone, builds the
# default preset, runs the tests the fault names and reports which of them
# caught it. The tree is restored after each fault, also on Ctrl-C.
#   mutate.sh [NAME_PATTERN]   (run from the top of the tree)
set -u
list=tests/mutate/mutations.txt
only=${1:-}
log=$(mktemp /tmp/tovk-mutate.XXXXXX)
backup=
target=

restore() {
  [ -n "$backup" ] && cp "$backup" "$target" && rm -f "$backup"
  backup=
}
trap 'restore; exit 130' INT TERM
trap restore EXIT

# Replaces FROM by TO in FILE; fails unless FROM occurs exactly once.
apply() {
  FROM=$2 TO=$3 perl -0 -i -pe '
    BEGIN { $count = 0 }
    $count = () = /\Q$ENV{FROM}\E/g;
    s/\Q$ENV{FROM}\E/$ENV{TO}/ if $count == 1;
    END { exit($count == 1 ? 0 : 1) }' "$1"
}

total=0 caught=0 missed=0
run_one() {
  local name=$1 file=$2 from=$3 to=$4 tests=$5
  [ -n "$only" ] && [[ ! $name =~ $only ]] && return
  total=$((total + 1))
  target=$file
  backup=$(mktemp)
  cp "$file" "$backup"
  if ! apply "$file" "$from" "$to"; then
    restore
    echo "ERROR   $name: '$from' is not found exactly once in $file"
    missed=$((missed + 1))
    return
  fi
  if ! cmake --build --preset default </dev/null >"$log" 2>&1; then
    restore
    echo "ERROR   $name: the faulty tree does not build (see $log)"
    missed=$((missed + 1))
    return
  fi
  ctest --preset default --parallel "$(nproc)" -R "$tests" </dev/null >"$log" 2>&1
  local status=$?
  restore
  local failed
  failed=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' "$log" | sort -u | tr '\n' ' ')
  if [ "$status" -ne 0 ] && [ -n "$failed" ]; then
    caught=$((caught + 1))
    echo "caught  $name: $failed"
  else
    missed=$((missed + 1))
    echo "MISSED  $name ($(grep -c 'Test *#' "$log") tests ran: $tests)"
  fi
}

name= file= from= to=
while IFS= read -r line; do
  case $line in
    name:*) name=${line#name: } ;;
    file:*) file=${line#file: } ;;
    from:*) from=${line#from: } ;;
    to:*) to=${line#to: } ;;
    tests:*) run_one "$name" "$file" "$from" "$to" "${line#tests: }" ;;
  esac
done <"$list"

# Back to the binaries of the tree as it is.
cmake --build --preset default >"$log" 2>&1
echo "mutate: $total faults, $caught caught, $missed not caught"
rm -f "$log"
[ "$missed" -eq 0 ]
