#!/bin/sh
# Sets up a fresh machine, builds Vellicor and runs the whole test suite.
#   scripts/test.sh [preset]     preset: debug (default), asan, tsan, release
set -eu
cd "$(dirname "$0")/.."
preset=${1:-debug}
scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset" --timeout 900 ${CTEST_ARGS:-}
