#!/bin/bash
# usage: init_script_test.sh INIT_SCRIPT
# Runs the SysV script's supervisor over a stand-in for tovk that fails twice
# and then runs until stopped: it must restart after each failure with the
# configured words, pass SIGTERM on, and end once the service ended with 0.
set -uo pipefail
script=$1
work=$(mktemp -d)
supervisor=
cleanup() { [ -n "$supervisor" ] && kill -KILL "$supervisor" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cat >"$work/tovk" <<STANDIN
#!/bin/bash
echo "\$*" >>"$work/starts"
[ "\$(wc -l <"$work/starts")" -le 2 ] && exit 1
trap 'echo TERM >>"$work/starts"; exit 0' TERM
while :; do sleep 0.05; done
STANDIN
chmod +x "$work/tovk"
cat >"$work/defaults" <<DEFAULTS
DAEMON=$work/tovk
TOVK_SERVERS=10.0.0.1,10.0.0.2
TOVK_INTERVAL=30
RESTART_DELAY=0.2
LOG=stderr
DEFAULTS

TOVK_DEFAULTS=$work/defaults sh "$script" supervise >"$work/log" 2>&1 &
supervisor=$!

wait_for() {  # bounded, so a hang fails
  local tries
  for tries in $(seq 100); do eval "$1" && return 0; sleep 0.1; done
  return 1
}
wait_for '[ "$(wc -l <"$work/starts" 2>/dev/null)" = 3 ]' || fail "not restarted twice: $(cat "$work/starts" 2>/dev/null)"
sleep 0.3
[ "$(wc -l <"$work/starts")" = 3 ] || fail "restarted a running service"
[ "$(sort -u "$work/starts")" = "i 10.0.0.1,10.0.0.2 30" ] || fail "started with: $(sort -u "$work/starts")"
[ "$(grep -c 'restarting in 0.2 s' "$work/log")" = 2 ] || fail "log: $(cat "$work/log")"

kill -TERM "$supervisor"
wait_for '! kill -0 "$supervisor" 2>/dev/null' || fail "the supervisor did not end on SIGTERM"
wait "$supervisor"
status=$?
supervisor=
[ "$status" -eq 0 ] || fail "supervisor ended with $status"
[ "$(tail -1 "$work/starts")" = TERM ] || fail "SIGTERM did not reach the service"
echo "init script: restarted twice after failures, stopped by SIGTERM"
