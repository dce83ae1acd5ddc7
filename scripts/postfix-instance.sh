#!/bin/sh
# Runs a private Postfix instance for the end-to-end tests and the demo.
#
#   scripts/postfix-instance.sh start DIR PORT MILTER [name=value ...]
#   scripts/postfix-instance.sh stop DIR
#   scripts/postfix-instance.sh status DIR
#
# The instance lives entirely in DIR: its configuration in DIR/etc, its
# queue in DIR/queue, its state in DIR/data and its log in DIR/maillog.
# /etc/postfix and the system's mail setup are never touched; the
# Postfix commands reach the instance with "-c DIR/etc", for example
#   postqueue -c DIR/etc -j
#   postcat -c DIR/etc -eh -q QUEUEID
#
# The instance listens for SMTP on 127.0.0.1:PORT and hands every SMTP
# session to the milter MILTER (unix:/path, or inet:port@host); a
# filter that cannot be reached makes it answer 451 4.7.1.  It has
# no queue manager, so accepted mail stays in the queue to be inspected,
# and it accepts any local part in the domain example.org, so that tagged
# addresses reach the milter.  Extra name=value arguments are appended to
# main.cf and override the settings written before them.
set -eu

usage() {
  echo "usage: $0 start DIR PORT MILTER [name=value ...] | stop DIR | status DIR" >&2
  exit 64
}

# Postfix prints its errors only to a terminal; the instance log says why.
show_log() {
  if [ -s "$1/maillog" ]; then
    echo "$0: last lines of $1/maillog:" >&2
    tail -n 20 "$1/maillog" >&2
  fi
}

master_pid() {
  sed -n '1s/^ *\([0-9][0-9]*\).*/\1/p' "$1/queue/pid/master.pid" 2>/dev/null || true
}

is_running() {
  [ -f "$1/etc/main.cf" ] && postfix -c "$1/etc" status >/dev/null 2>&1
}

# Postfix's processes run as postfix and open their files by absolute
# path, so every directory above DIR must be searchable by that user; so
# must the directories above a UNIX-domain milter socket, and the socket
# itself must be writable by it.
check_reachable() {
  if ! runuser -u postfix -- test -x "$1"; then
    echo "$0: user postfix cannot search $1: make it and every directory above it searchable (o+x) or choose another directory" >&2
    exit 1
  fi
}

check_socket() {
  case "$1" in
    unix:* | local:*) path=${1#*:} ;;
    *) return 0 ;;
  esac
  check_reachable "$(dirname "$path")"
  if [ -S "$path" ] && ! runuser -u postfix -- test -w "$path"; then
    echo "$0: user postfix cannot write to the milter socket $path" >&2
    exit 1
  fi
}

write_config() {
  dir=$1 port=$2 milter=$3
  shift 3
  cat >"$dir/etc/main.cf" <<EOF
# Private instance made by scripts/postfix-instance.sh; rewritten at every start.
compatibility_level = 3.6
queue_directory = $dir/queue
data_directory = $dir/data
mail_owner = postfix
setgid_group = postdrop
maillog_file = $dir/maillog
maillog_file_prefixes = $dir
syslog_name = postfix-vellicor

inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = mail.example.org
mydomain = example.org
myorigin = example.org
mydestination = example.org
mynetworks = 127.0.0.0/8
relay_domains =
# Any local part of example.org is accepted, tagged ones included: the
# milter sees a recipient only after Postfix's own recipient checks.
local_recipient_maps =
alias_maps =
alias_database =
biff = no
append_dot_mydomain = no
smtputf8_enable = no

# Tests switch a session to an outside client with XCLIENT.
smtpd_authorized_xclient_hosts = 127.0.0.0/8

smtpd_milters = $milter
# A filter that cannot be reached makes Postfix answer 451 4.7.1 rather
# than let mail pass unfiltered.
milter_default_action = tempfail

# Nothing is delivered: there is no queue manager.  Without one, every
# message would otherwise wait in_flow_delay for a queue manager that
# never empties the incoming queue.
in_flow_delay = 0
EOF
  for setting in "$@"; do
    case "$setting" in
      *=*) printf '%s\n' "$setting" >>"$dir/etc/main.cf" ;;
      *) usage ;;
    esac
  done

  cat >"$dir/etc/master.cf" <<EOF
# service type  private unpriv  chroot  wakeup  maxproc command
127.0.0.1:$port inet n  -       n       -       -       smtpd
cleanup   unix  n       -       n       -       0       cleanup
rewrite   unix  -       -       n       -       -       trivial-rewrite
showq     unix  n       -       n       -       -       showq
anvil     unix  -       -       n       -       1       anvil
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
proxymap  unix  -       -       n       -       -       proxymap
postlog   unix-dgram n  -       n       -       1       postlogd
EOF
}

wait_for_port() {
  tries=0
  while [ -z "$(ss -Hltn "sport = :$1" 2>/dev/null)" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 300 ] || return 1
    sleep 0.1
  done
}

start() {
  [ $# -ge 3 ] || usage
  dir=$1 port=$2 milter=$3
  shift 3
  case "$port" in
    '' | *[!0-9]*) usage ;;
  esac
  mkdir -p "$dir"
  dir=$(realpath "$dir")
  if is_running "$dir"; then
    echo "$0: an instance is already running in $dir" >&2
    exit 1
  fi
  chmod 0755 "$dir"
  check_reachable "$dir"
  check_socket "$milter"
  mkdir -p "$dir/etc" "$dir/queue" "$dir/data"
  chown postfix "$dir/data"
  write_config "$dir" "$port" "$milter" "$@"
  : >"$dir/maillog"
  if ! postfix -c "$dir/etc" start >/dev/null 2>&1; then
    echo "$0: postfix -c $dir/etc start failed" >&2
    show_log "$dir"
    exit 1
  fi
  if ! wait_for_port "$port"; then
    echo "$0: nothing listens on 127.0.0.1:$port" >&2
    show_log "$dir"
    stop "$dir"
    exit 1
  fi
}

# Stops the master and waits until it is gone; the master takes its
# children with it.  Stopping an instance that does not run succeeds.
stop() {
  [ $# -eq 1 ] || usage
  dir=$1
  [ -d "$dir" ] || return 0
  dir=$(realpath "$dir")
  is_running "$dir" || return 0
  pid=$(master_pid "$dir")
  postfix -c "$dir/etc" abort >/dev/null 2>&1 || true
  [ -n "$pid" ] || return 0
  tries=0
  while kill -0 "$pid" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -ge 300 ]; then
      kill -9 "$pid" 2>/dev/null || true
      break
    fi
    sleep 0.1
  done
}

status() {
  [ $# -eq 1 ] || usage
  dir=$(realpath -m "$1")
  if is_running "$dir"; then
    echo "running: pid $(master_pid "$dir"), $dir/etc/main.cf"
  else
    echo "not running: $dir"
    exit 1
  fi
}

[ $# -ge 1 ] || usage
command=$1
shift
case "$command" in
  start) start "$@" ;;
  stop) stop "$@" ;;
  status) status "$@" ;;
  *) usage ;;
esac
