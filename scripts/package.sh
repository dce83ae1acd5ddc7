#!/bin/sh
# Builds the Debian package from this checkout and checks it with lintian:
#   scripts/package.sh [OUTDIR]        (default: build/package)
# dpkg-buildpackage -us -uc -b runs in a copy of the tree (the files git
# tracks or would track, uncommitted changes included), so neither the
# checkout nor its parent directory receives build products. OUTDIR gets
# vellicor_<version>_<arch>.deb with its .buildinfo and .changes (and the
# debug symbols package). Fails when lintian reports an error.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-build/package}

scripts/install-deps.sh
mkdir -p "$out"
out=$(cd "$out" && pwd)

version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -q DEB_HOST_ARCH)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src=$work/vellicor-$version
mkdir "$src"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    tar -C "$root" --null --ignore-failed-read -T - -cf - 2>/dev/null |
    tar -C "$src" -xf -
else
  tar -C "$root" --exclude=./build --exclude=./run -cf - . | tar -C "$src" -xf -
fi

(cd "$src" && dpkg-buildpackage -us -uc -b)

deb=vellicor_${version}_${arch}.deb
for f in "$work"/*.deb "$work"/*.ddeb "$work"/*.buildinfo "$work"/*.changes; do
  [ -e "$f" ] && mv -f "$f" "$out"/
done
lintian --fail-on error --info "$out/$deb"
echo "$out/$deb"
