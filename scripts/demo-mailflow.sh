#!/bin/sh
# Shows what Vellicor does to real mail, through a private Postfix on
# loopback:
#   1. an internal client sends a message; it is queued with a tagged
#      envelope sender;
#   2. an outside client sends a bounce to that tagged address; it is
#      accepted and queued for the plain address;
#   3. an outside client sends a bounce with a forged tag; it is refused
#      with 550 5.7.1.
# Then it stops everything it started. Needs root (Postfix's master runs as
# root), postfix and swaks (scripts/install-deps.sh), and a built filter.
#
#   scripts/demo-mailflow.sh [path/to/vellicor]
#
# Default binary: build/release/process/vellicor. Files go to ./run/ in the
# checkout: the generated demo key, the filter's socket, PID file and
# output, the last SMTP dialogue and the Postfix instance (see
# scripts/postfix-instance.sh).
# VELLICOR_DEMO_PORT picks the first SMTP port to try (default 10025).
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
filter=${1:-$top/build/release/process/vellicor}
instance_script=$top/scripts/postfix-instance.sh

die() {
  echo "$0: $*" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] || die "needs root: the private Postfix instance runs its master as root"
[ -x "$filter" ] || die "no filter binary at $filter (build it, or name it as the argument)"
command -v postfix >/dev/null || die "postfix is not installed (scripts/install-deps.sh)"
command -v swaks >/dev/null || die "swaks is not installed (scripts/install-deps.sh)"
filter=$(realpath "$filter")

run=$top/run
mkdir -p "$run"
chmod 0755 "$run"
# Postfix's processes run as postfix and must reach the socket and the
# instance. A checkout below a private directory (such as /root) is out of
# their reach; the socket and the instance then go to a fresh directory
# under /tmp instead.
base=$run
scratch=
if ! runuser -u postfix -- test -x "$run"; then
  scratch=$(mktemp -d /tmp/vellicor-demo.XXXXXX)
  chmod 0755 "$scratch"
  base=$scratch
  echo "note: user postfix cannot reach $run; using $base for the socket and Postfix"
fi
socket=$base/demo-mailflow.sock
instance=$base/postfix
key=$run/demo.key
pidfile=$run/demo-mailflow.pid
log=$run/demo-mailflow.log

filter_pid=
postfix_started=no
cleanup() {
  status=$?
  # Everything started must stop, even when the output has gone away.
  set +e
  trap - EXIT
  trap '' INT TERM HUP PIPE
  if [ "$postfix_started" = yes ]; then
    "$instance_script" stop "$instance" || true
  fi
  if [ -n "$filter_pid" ] && kill -0 "$filter_pid" 2>/dev/null; then
    echo "Stopping the filter (libmilter takes a few seconds to finish)." 2>/dev/null
    kill -TERM "$filter_pid" 2>/dev/null || true
    tries=0
    while kill -0 "$filter_pid" 2>/dev/null && [ "$tries" -lt 150 ]; do
      sleep 0.1
      tries=$((tries + 1))
    done
    kill -KILL "$filter_pid" 2>/dev/null || true
    wait "$filter_pid" 2>/dev/null || true
  fi
  rm -f "$socket"
  [ -z "$scratch" ] || rm -rf "$scratch"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 141' PIPE
trap 'exit 143' TERM

# A previous demo that was killed may have left its Postfix running; its
# queue would muddle this run's.
"$instance_script" stop "$instance"
rm -rf "$instance"

# The demo key of scripts/demo.sh, made on first use; the filter reads
# its first line.
if [ ! -s "$key" ]; then
  (umask 077 && openssl rand -hex 32 >"$key")
fi

echo "Starting the filter: $filter -f -l -S -p unix:$socket -k $key -P $pidfile"
rm -f "$pidfile"
"$filter" -f -l -S -p "unix:$socket" -k "$key" -P "$pidfile" >"$log" 2>&1 &
filter_pid=$!
tries=0
until [ -S "$socket" ] && [ "$(cat "$pidfile" 2>/dev/null)" = "$filter_pid" ]; do
  kill -0 "$filter_pid" 2>/dev/null || {
    cat "$log" >&2
    filter_pid=
    die "the filter did not start"
  }
  tries=$((tries + 1))
  [ "$tries" -lt 300 ] || die "the filter did not open $socket within 30 seconds"
  sleep 0.1
done
# libmilter creates the socket with the process umask; Postfix's smtpd
# runs as postfix and needs to write to it.
chgrp postfix "$socket"
chmod 0660 "$socket"

port=${VELLICOR_DEMO_PORT:-10025}
last=$((port + 50))
while [ -n "$(ss -Hltn "sport = :$port")" ]; do
  port=$((port + 1))
  [ "$port" -lt "$last" ] || die "no free port near ${VELLICOR_DEMO_PORT:-10025}"
done
echo "Starting a private Postfix on 127.0.0.1:$port with the filter attached ($instance)"
postfix_started=yes
"$instance_script" start "$instance" "$port" "unix:$socket"
config=$instance/etc

# Runs one SMTP session with swaks; prints the commands and replies of the
# envelope and the final reply, and leaves the whole dialogue in $dialogue.
dialogue=$run/demo-mailflow-smtp.txt
smtp() {
  swaks --server "127.0.0.1:$port" --helo client.example.org \
    --header "Subject: Vellicor demo" --body "A message of the Vellicor demo." "$@" \
    >"$dialogue" 2>&1 || true
  sed -n -e 's/^ *-> \(XCLIENT .*\)$/    > \1/p' -e 's/^ *-> \(MAIL FROM:.*\)$/    > \1/p' \
    -e 's/^ *-> \(RCPT TO:.*\)$/    > \1/p' -e 's/^ *<\*\{0,1\}[-*] *\(5[0-9][0-9] .*\)$/    < \1/p' \
    -e 's/^ *<- *\(250 2\.1\.5 .*\)$/    < \1/p' -e 's/^ *<- *\(250 .*queued as .*\)$/    < \1/p' \
    -e 's/^ *<\*\* *\(4[0-9][0-9] .*\)$/    < \1/p' "$dialogue"
}

queue_id() {
  sed -n 's/.*250 2\.0\.0 Ok: queued as \([0-9A-Za-z]*\).*/\1/p' "$dialogue" | tail -n 1
}

# An envelope record of a queued message, as postcat shows it.
record() {
  postcat -c "$config" -e -q "$1" | sed -n "s/^$2: //p"
}

failed=no
fail() {
  echo "    UNEXPECTED: $*"
  failed=yes
}

echo
echo "1. An internal client (127.0.0.1) sends a message from user@example.org."
smtp --from user@example.org --to friend@example.net
id=$(queue_id)
tagged=
if [ -n "$id" ]; then
  tagged=$(record "$id" sender)
  echo "    queued as $id with the envelope sender: $tagged"
  case "$tagged" in
    prvs=[0-9][0-9][0-9][0-9][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F][0-9A-F]=user@example.org) ;;
    *) fail "the sender is not tagged" ;;
  esac
else
  fail "the message was not queued"
fi

if [ -n "$tagged" ]; then
  echo
  echo "2. An outside client (mx.example.net, 192.0.2.10) sends a bounce to $tagged."
  smtp --xclient-addr 192.0.2.10 --xclient-name mx.example.net --from '<>' --to "$tagged"
  id=$(queue_id)
  if [ -n "$id" ]; then
    rcpt=$(record "$id" recipient)
    echo "    queued as $id for: $rcpt"
    [ "$rcpt" = user@example.org ] || fail "the bounce is not queued for the plain address"
  else
    fail "the bounce was not accepted"
  fi

  # Same key number, day and address; a hash the key did not make.
  hash=$(printf '%s' "$tagged" | cut -c10-15)
  bad=000000
  [ "$hash" != "$bad" ] || bad=000001
  forged=$(printf '%s' "$tagged" | sed "s/^\(prvs=....\)....../\1$bad/")
  echo
  echo "3. The outside client sends a bounce with a forged tag: $forged."
  smtp --xclient-addr 192.0.2.10 --xclient-name mx.example.net --from '<>' --to "$forged"
  grep -q '550 5\.7\.1 BATV signature validation failed' "$dialogue" ||
    fail "the forged tag was not refused"
fi

echo
echo "The queue of the demo instance (postqueue -c $config -j):"
postqueue -c "$config" -j | sed 's/^/    /'
echo
if [ "$failed" = yes ]; then
  echo "The demo did not go as expected; see $log, $dialogue and $instance/maillog." >&2
  exit 1
fi
echo "Done: the tagged sender left, its bounce came back to the plain address, the forgery was refused."
