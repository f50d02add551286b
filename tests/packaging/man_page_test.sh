#!/bin/bash
# usage: man_page_test.sh PAGE COMMAND...   (COMMAND runs tovk)
# The page must render without a single groff warning, and document every
# command that the program's own usage text lists.
set -uo pipefail
page=$1
shift
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"

rendered=$(MANWIDTH=80 man -l --warnings=w "$page" 2>"${TMPDIR:-/tmp}/man-warnings.$$")
man_warnings=$(cat "${TMPDIR:-/tmp}/man-warnings.$$"); rm -f "${TMPDIR:-/tmp}/man-warnings.$$"
[ -z "$man_warnings" ] || fail "man -l warns: $man_warnings"
for section in NAME SYNOPSIS DESCRIPTION COMMANDS "EXIT STATUS" "SHARED STATE" FILES SIGNALS EXAMPLES; do
  grep -q "^$section" <<<"$rendered" || fail "no $section section"
done

usage=$("$@") || fail "tovk without words exits $?"
letters=$(sed -n 's/^\([a-z]\) .*/\1/p' <<<"$usage")
[ "$(wc -w <<<"$letters")" -ge 12 ] || fail "usage text lists too few commands: $letters"
for letter in $letters; do
  # A command entry starts a tagged paragraph with the letter in bold.
  grep -A1 '^\.TP' "$page" | grep -Eq "^\.(B|BI|BR) \"?$letter( |\"|\$)" || fail "command $letter is not documented"
done
for semaphore in sem_state sem_gpio sem_serial sem_packet; do
  grep -q "$semaphore" <<<"$rendered" || fail "$semaphore is not described"
done
grep -q 'ftok("/", 101)' <<<"$rendered" || fail "the IPC key is not given"

[ "$failed" -eq 0 ] && echo "man page: renders cleanly, documents: $(echo $letters)"
exit "$failed"
