#!/bin/sh
# The record fuzzer, run inside a world with sanitized programs: random bytes
# in the shared record, then every command and a few passes of the service.
# None may crash or overrun (the sanitizers abort), hang (each run is
# bounded) or end with a status it must not have.
#   record_fuzz.sh TOVK DRIVER SECONDS SEED
T=$1 D=$2 seconds=$3 seed=$4
end=$(($(date +%s) + seconds))
rounds=0 runs=0 failures=0

# NAME STATUS ALLOWED...: 124 is a run the bound cut short.
check() {
  name=$1 status=$2
  shift 2
  runs=$((runs + 1))
  for allowed in "$@"; do [ "$status" = "$allowed" ] && return; done
  failures=$((failures + 1))
  echo "record_fuzz: seed $((seed + rounds)): tovk $name ended with $status"
}

while [ "$(date +%s)" -lt "$end" ]; do
  "$D" scramble $((seed + rounds)) | grep -q scramble=1 || { echo "record_fuzz: no record"; exit 1; }
  # Reading and setting whatever the record holds always works; a dump may
  # find no readings, and gives up after its 5 s.
  for command in "l" "l 7" "s" "s 10.0.0.1,10.0.0.2" "f" "f 1 9600 8 N 1" "e 1" "x" "x 1" "p 1 %41B" "r"; do
    # shellcheck disable=SC2086
    timeout 15 "$T" $command </dev/null >/dev/null 2>&1
    check "$command" $? 0
  done
  timeout 15 "$T" d </dev/null >/dev/null 2>&1
  check d $? 0 1
  # The service on what is left, for a few passes: it may refuse the record's
  # stream parameters (a PIC failure), but it stops when told.
  "$T" i '' </dev/null >/dev/null 2>&1 &
  service=$!
  sleep 2
  timeout 20 "$T" r </dev/null >/dev/null 2>&1
  check r $? 0
  waited=0
  while kill -0 "$service" 2>/dev/null && [ $waited -lt 100 ]; do sleep 0.1; waited=$((waited + 1)); done
  kill -0 "$service" 2>/dev/null && { kill -KILL "$service"; echo "record_fuzz: seed $((seed + rounds)): the service did not stop"; failures=$((failures + 1)); }
  wait "$service"
  check i $? 0 1 137
  rounds=$((rounds + 1))
done
echo "record_fuzz: rounds=$rounds runs=$runs failures=$failures"
[ "$failures" -eq 0 ]
