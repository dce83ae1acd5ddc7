#!/bin/sh
# Installs the build into a staging directory with DESTDIR and the given
# prefix, and checks that exactly the expected files arrive, that the
# daemon and the operator tool run from there and that the unit names the
# installed paths.
#   layout.sh CMAKE BUILD_DIR STAGE PREFIX SYSCONFDIR
set -eu
cmake=$1 build=$2 stage=$3 prefix=$4 sysconfdir=$5

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "$stage"
DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" >"$stage.log" 2>&1 ||
  { cat "$stage.log" >&2; fail "cmake --install"; }

root=$stage$prefix
expected="$root/lib/systemd/system/vellicor.service
$root/sbin/vellicor
$root/sbin/vellicor-tag
$root/share/doc/vellicor/vellicor.conf.sample
$root/share/man/man5/vellicor.conf.5
$root/share/man/man8/vellicor-tag.8
$root/share/man/man8/vellicor.8"
actual=$(find "$stage" -type f | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "installed files:
$actual
expected:
$expected"

[ -x "$root/sbin/vellicor" ] || fail "vellicor is not executable"
version=$("$root/sbin/vellicor" -V)
[ "$version" = "vellicor: Vellicor v0.5.0" ] || fail "vellicor -V printed: $version"
[ -x "$root/sbin/vellicor-tag" ] || fail "vellicor-tag is not executable"
usage=$("$root/sbin/vellicor-tag" -h | head -n 1)
[ "$usage" = "vellicor-tag: usage: vellicor-tag [options] sign address" ] ||
  fail "vellicor-tag -h printed: $usage"

cmp -s "$root/share/doc/vellicor/vellicor.conf.sample" "$(dirname "$0")/../../vellicor.conf.sample" ||
  fail "the sample configuration differs from the source"

unit=$root/lib/systemd/system/vellicor.service
exec_start=$(grep '^ExecStart=' "$unit")
[ "$exec_start" = "ExecStart=$prefix/sbin/vellicor -f -c $sysconfdir/vellicor/vellicor.conf" ] ||
  fail "unit has $exec_start"
if grep -n '@[A-Z_]*@' "$unit"; then
  fail "unsubstituted placeholders in the unit"
fi

for f in "$root/share/man/man8/vellicor.8" "$root/share/man/man8/vellicor-tag.8" \
         "$root/share/man/man5/vellicor.conf.5" \
         "$root/share/doc/vellicor/vellicor.conf.sample" "$unit"; do
  mode=$(stat -c %a "$f")
  [ "$mode" = 644 ] || fail "$f has mode $mode"
done
echo "installed under $stage: ok"
