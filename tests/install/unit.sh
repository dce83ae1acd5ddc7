#!/bin/sh
# Runs systemd-analyze verify on the staged unit. The unit names the
# installed binary, which does not exist outside the staging directory, so
# a copy that points into the staging directory is verified, with the
# staged manual pages on MANPATH for its Documentation= lines. Any
# diagnostic fails the test; exit 77 (skip) without systemd-analyze.
#   unit.sh STAGE PREFIX
set -eu
stage=$1 prefix=$2
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze not installed: skipped"
  exit 77
fi
unit=$stage$prefix/lib/systemd/system/vellicor.service
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s#^ExecStart=$prefix/sbin/vellicor #ExecStart=$stage$prefix/sbin/vellicor #" "$unit" \
  >"$dir/vellicor.service"
grep -q "^ExecStart=$stage$prefix/sbin/vellicor " "$dir/vellicor.service" ||
  { echo "FAIL: no ExecStart line for $prefix/sbin/vellicor in $unit" >&2; exit 1; }
out=$(MANPATH=$stage$prefix/share/man SYSTEMD_LOG_COLOR=0 systemd-analyze verify "$dir/vellicor.service" 2>&1) ||
  { printf 'FAIL: systemd-analyze verify:\n%s\n' "$out" >&2; exit 1; }
if [ -n "$out" ]; then
  printf 'FAIL: systemd-analyze verify warns:\n%s\n' "$out" >&2
  exit 1
fi
echo "systemd-analyze verify: ok"
