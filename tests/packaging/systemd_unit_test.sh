#!/bin/bash
# usage: systemd_unit_test.sh UNIT TOVK
# systemd's own checker reads the shipped unit, with the built program at the
# path the package installs it to; any complaint fails the test. Then what
# the service relies on: the foreground service, SIGTERM, restart on failure.
set -uo pipefail
unit=$1
tovk=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

sed "s|/usr/sbin/tovk|$tovk|" "$unit" >"$work/tovk.service"
report=$(systemd-analyze verify --man=no "$work/tovk.service" 2>&1) || fail "systemd-analyze: $report"
[ -z "$report" ] || fail "systemd-analyze complained: $report"

setting() { sed -n "s/^$1=//p" "$unit"; }
[[ "$(setting ExecStart)" == "/usr/sbin/tovk i "* ]] || fail "ExecStart does not run tovk i: $(setting ExecStart)"
[ "$(setting Type)" = simple ] || fail "Type is not simple"
[ "$(setting KillSignal)" = SIGTERM ] || fail "KillSignal is not SIGTERM"
[ "$(setting Restart)" = on-failure ] || fail "Restart is not on-failure"
[ "$(setting RestartSec)" -gt 0 ] 2>/dev/null || fail "no restart delay"
echo "unit verified: $(setting ExecStart); restart on-failure after $(setting RestartSec) s"
