#!/bin/sh
# Sets up a fresh machine, builds Vellicor, shows it at work on real mail
# through a private Postfix on loopback, then runs the filter in the
# foreground on a demo key and a UNIX socket inside the checkout, with a
# configuration file derived from vellicor.conf.sample.
#   scripts/demo.sh            demonstration, then the filter in the foreground
#   VELLICOR_DEMO_SERVE=no scripts/demo.sh     the demonstration only
# Stop the foreground filter with Ctrl-C (libmilter takes a few seconds).
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target vellicor

run_dir=$top/run
mkdir -p "$run_dir"
chmod 755 "$run_dir"
key=$run_dir/demo.key
if [ ! -s "$key" ]; then
  (umask 077 && openssl rand -hex 32 >"$key")
fi
socket=$run_dir/vellicor.sock

# The sample with the settings of this demo switched on.
conf=$run_dir/vellicor.conf
sed -e "s|^#Socket .*|Socket unix:$socket|" \
    -e "s|^#KeyFile .*|KeyFile $key|" \
    -e "s|^#Syslog .*|Syslog yes|" \
    -e "s|^#SetReplies .*|SetReplies yes|" \
    -e "s|^#Background .*|Background no|" \
    vellicor.conf.sample >"$conf"

echo "== Signing and verifying through a private Postfix"
scripts/demo-mailflow.sh "$top/build/release/process/vellicor"

[ "${VELLICOR_DEMO_SERVE:-yes}" = yes ] || exit 0

echo
echo "== The filter for your MTA"
echo "Vellicor listens on unix:$socket (configuration $conf)"
echo "Point Postfix at it with:"
echo "  smtpd_milters = unix:$socket"
echo "Running in the foreground (logging to syslog); stop it with Ctrl-C."
# Postfix's smtpd runs as postfix and must be able to write to the socket,
# which the milter library creates with the process umask.
umask 000
exec build/release/process/vellicor -c "$conf"
