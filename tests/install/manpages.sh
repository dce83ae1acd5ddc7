#!/bin/sh
# Renders each manual page with every groff warning enabled (-ww; -wall
# leaves out undefined macros) and with man's own checks; any diagnostic
# fails the test.
#   manpages.sh PAGE...
set -eu
status=0
for page in "$@"; do
  out=$(groff -man -z -ww "$page" 2>&1) || { echo "FAIL: groff on $page" >&2; status=1; }
  if [ -n "$out" ]; then
    printf 'FAIL: groff warns on %s:\n%s\n' "$page" "$out" >&2
    status=1
  fi
  out=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) ||
    { echo "FAIL: man on $page" >&2; status=1; }
  if [ -n "$out" ]; then
    printf 'FAIL: man warns on %s:\n%s\n' "$page" "$out" >&2
    status=1
  fi
  # A page that renders to almost nothing has lost its macros.
  lines=$(MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null | wc -l)
  if [ "$lines" -lt 100 ]; then
    echo "FAIL: $page renders to only $lines lines" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "rendered cleanly: $*"
exit "$status"
