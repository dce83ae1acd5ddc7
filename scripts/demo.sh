#!/bin/sh
# Sets up a fresh machine, builds Vellicor and runs the filter in the
# foreground on a demo key and a UNIX socket inside the checkout.
#   scripts/demo.sh [extra vellicor options]
# Stop it with Ctrl-C (the milter library takes a few seconds to stop).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release
cmake --build --preset release --target vellicor

run_dir="$(pwd)/run"
mkdir -p "$run_dir"
chmod 755 "$run_dir"
key="$run_dir/demo.key"
if [ ! -s "$key" ]; then
  (umask 077 && openssl rand -hex 32 > "$key")
fi
socket="$run_dir/vellicor.sock"

echo "Vellicor listens on unix:$socket"
echo "Point Postfix at it with:"
echo "  smtpd_milters = unix:$socket"
echo "Running in the foreground (logging to syslog); stop with Ctrl-C."

# The MTA (Postfix's smtpd runs as postfix) must be able to write to the
# socket, which the milter library creates with the process umask.
umask 000
exec build/release/process/vellicor -f -l -p "unix:$socket" -k "$key" "$@"
