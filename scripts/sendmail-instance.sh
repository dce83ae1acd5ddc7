#!/bin/sh
# Runs a private Sendmail for the end-to-end tests.
#
#   scripts/sendmail-instance.sh start DIR PORT SOCKET
#   scripts/sendmail-instance.sh stop DIR
#   scripts/sendmail-instance.sh check
#
# Sendmail cannot be installed beside the Postfix package, so it runs from
# Debian's sendmail-bin, sendmail-base and sendmail-cf unpacked into
# $VELLICOR_SENDMAIL_ROOT (default /opt/vellicor-sendmail) by
# scripts/install-deps.sh. "check" says whether that and everything else
# needed is here, and if not, why.
#
# The instance lives entirely in DIR: its configuration in DIR/etc
# (sendmail.mc, and sendmail.cf made from it with m4), its queue in
# DIR/queue, its log in DIR/maillog. It listens for SMTP on
# 127.0.0.1:PORT as mx.batv.test, the MX of batv.test, whose local users
# alice and bob get each delivery as a file of its own in DIR/mail/USER/.
# Mail for every other domain is relayed to 127.0.0.9 port 9, where nothing
# listens, so it stays in the queue (DIR/queue/qfID) to be inspected. Every
# SMTP session is handed to the milter at local:SOCKET; a filter that cannot
# be reached makes Sendmail answer with a temporary failure (F=T).
#
# The instance runs in its own PID, UTS and mount namespaces: its host name
# is mx.batv.test whatever the machine's is (Sendmail waits a minute at
# start for a host name that does not resolve to a qualified one), its
# /etc/hosts and /etc/passwd (with alice and bob) are its own, and so is
# /dev, where a syslogd of its own takes /dev/log and writes DIR/maillog.
# Nothing of the machine's is changed; stopping the instance ends every
# process in it.
#
# Sendmail refuses a queue, a configuration file or a milter socket below a
# directory that is group or world writable, so neither DIR nor the
# socket's directory may have such an ancestor: /tmp fails, /run works.
set -eu

root=${VELLICOR_SENDMAIL_ROOT:-/opt/vellicor-sendmail}
sendmail=$root/usr/libexec/sendmail/sendmail
cf_dir=$root/usr/share/sendmail/cf

usage() {
  echo "usage: $0 start DIR PORT SOCKET | stop DIR | check" >&2
  exit 64
}

# Prints why the instance cannot run here, or nothing.
why_not() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "a private Sendmail needs root"
  elif [ ! -x "$sendmail" ] || [ ! -f "$cf_dir/m4/cf.m4" ]; then
    echo "Sendmail is not unpacked in $root (scripts/install-deps.sh does it)"
  elif ! command -v m4 >/dev/null 2>&1; then
    echo "m4 is not installed"
  elif ! command -v busybox >/dev/null 2>&1; then
    echo "busybox is not installed"
  elif ldd "$sendmail" 2>/dev/null | grep -q 'not found'; then
    echo "libraries of $sendmail are missing:$(ldd "$sendmail" | sed -n 's/^[[:space:]]*\([^ ]*\) => not found.*/ \1/p' | tr -d '\n')"
  elif ! unshare --pid --fork --uts --mount true 2>/dev/null; then
    echo "unshare cannot make PID, UTS and mount namespaces here"
  fi
}

# Fails unless no directory from path up to / is writable by group or
# others without being root's and sticky-free; Sendmail would refuse it.
# (Shell functions share their variables with the caller: this one walks
# up with a name of its own.)
check_safe() {
  safe_path=$1
  while :; do
    if [ -n "$(find "$safe_path" -maxdepth 0 -perm /022 2>/dev/null)" ]; then
      echo "$0: $safe_path is group or world writable; Sendmail refuses paths below it" >&2
      exit 1
    fi
    [ "$safe_path" = / ] && break
    safe_path=$(dirname "$safe_path")
  done
}

# The instance writes files named etc/passwd and etc/hosts below DIR: DIR
# must be a directory of its own, never / or a system directory.
check_instance_dir() {
  case "$1" in
    /*/*) ;;
    *)
      echo "$0: $1: the instance directory must be an absolute path at least two levels below /" >&2
      exit 1
      ;;
  esac
  case "$1" in
    /etc | /etc/* | /usr | /usr/* | /var | /bin/* | /sbin/* | /lib/* | /boot/* | /proc/* | /sys/* | /dev/*)
      echo "$0: $1 is a system directory" >&2
      exit 1
      ;;
  esac
}

write_config() {
  dir=$1 port=$2 socket=$3
  check_instance_dir "$dir"
  mkdir -p "$dir/etc" "$dir/queue" "$dir/mail" "$dir/dev"
  chmod 0755 "$dir" "$dir/etc" "$dir/mail"
  chmod 0700 "$dir/queue"

  cat >"$dir/etc/hosts" <<EOF
127.0.0.1 localhost
127.0.0.1 mx.batv.test mx
::1 localhost
EOF
  printf 'hosts files\naliases files\n' >"$dir/etc/service.switch"
  : >"$dir/etc/aliases"
  : >"$dir/etc/sendmail.st"
  cp "$root/etc/mail/helpfile" "$dir/etc/helpfile"
  {
    grep -v -e '^alice:' -e '^bob:' /etc/passwd
    echo 'alice:x:64021:64021:end-to-end test user:/nonexistent:/usr/sbin/nologin'
    echo 'bob:x:64022:64022:end-to-end test user:/nonexistent:/usr/sbin/nologin'
  } >"$dir/etc/passwd"

  # The local mailer: one file per delivery in DIR/mail/USER/, written
  # under a temporary name and renamed, so a reader sees whole messages.
  cat >"$dir/etc/deliver" <<EOF
#!/bin/sh
set -eu
box="$dir/mail/\$1"
mkdir -p "\$box"
name="\$(date +%s%N).\$\$"
cat >"\$box/.\$name"
mv "\$box/.\$name" "\$box/\$name"
EOF
  chmod 0755 "$dir/etc/deliver"

  # The milter lines are those of the README's Sendmail section, with the
  # socket of this instance. The rest makes the instance private: its own
  # files, its own port, no DNS, local users from its passwd.
  cat >"$dir/etc/sendmail.mc" <<EOF
divert(-1)
# Private instance made by scripts/sendmail-instance.sh; rewritten at every start.
divert(0)dnl
VERSIONID(\`vellicor end-to-end tests')dnl
OSTYPE(\`linux')dnl
define(\`confDOMAIN_NAME', \`mx.batv.test')dnl
define(\`QUEUE_DIR', \`$dir/queue')dnl
define(\`STATUS_FILE', \`$dir/etc/sendmail.st')dnl
define(\`confPID_FILE', \`$dir/sendmail.pid')dnl
define(\`confHELP_FILE', \`$dir/etc/helpfile')dnl
define(\`ALIAS_FILE', \`$dir/etc/aliases')dnl
define(\`confSERVICE_SWITCH_FILE', \`$dir/etc/service.switch')dnl
define(\`confHOSTS_FILE', \`$dir/etc/hosts')dnl
define(\`confDEAD_LETTER_DROP', \`$dir/dead.letter')dnl
define(\`confDONT_PROBE_INTERFACES', \`True')dnl
define(\`confLOG_LEVEL', \`14')dnl
define(\`confTO_CONNECT', \`5s')dnl
define(\`SMART_HOST', \`[127.0.0.9]')dnl
define(\`RELAY_MAILER_ARGS', \`TCP \$h 9')dnl
define(\`ESMTP_MAILER_ARGS', \`TCP \$h 9')dnl
define(\`LOCAL_MAILER_PATH', \`$dir/etc/deliver')dnl
define(\`LOCAL_MAILER_ARGS', \`deliver \$u')dnl
define(\`LOCAL_MAILER_FLAGS', \`PnS9')dnl
LOCAL_DOMAIN(\`batv.test')dnl
FEATURE(\`no_default_msa')dnl
FEATURE(\`nocanonify')dnl
FEATURE(\`accept_unresolvable_domains')dnl
DAEMON_OPTIONS(\`Port=$port, Addr=127.0.0.1, Name=MTA')dnl
define(\`confMILTER_MACROS_CONNECT', \`j, _, {daemon_name}, {if_name}, {if_addr}')dnl
define(\`confMILTER_MACROS_ENVFROM', \`i, {auth_type}, {auth_authen}, {auth_ssf}, {auth_author}, {mail_mailer}, {mail_host}, {mail_addr}')dnl
INPUT_MAIL_FILTER(\`vellicor', \`S=local:$socket, F=T, T=C:10s;S:30s;R:30s;E:5m')dnl
MAILER(\`local')dnl
MAILER(\`smtp')dnl
LOCAL_CONFIG
Kvellicor_untag regex -s1 ^[Pp][Rr][Vv][Ss]=[0-9]{4}[0-9A-Fa-f]{6}=(.+)\$
LOCAL_RULE_0
R\$+ < @ \$=w . >	\$: \$(vellicor_untag \$1 \$) < @ \$2 . >
EOF
  m4 -D_CF_DIR_="$cf_dir/" "$cf_dir/m4/cf.m4" "$dir/etc/sendmail.mc" >"$dir/etc/sendmail.cf"
}

instance_pid() {
  cat "$1/instance.pid" 2>/dev/null || true
}

wait_for_port() {
  dir=$1 port=$2 pid=$3
  tries=0
  until [ -n "$(ss -Hltn "sport = :$port" 2>/dev/null)" ]; do
    if ! kill -0 "$pid" 2>/dev/null || [ "$tries" -ge 300 ]; then
      echo "$0: Sendmail did not start listening on 127.0.0.1:$port" >&2
      tail -n 20 "$dir/instance.log" "$dir/maillog" >&2 2>/dev/null || true
      return 1
    fi
    tries=$((tries + 1))
    sleep 0.1
  done
}

stop() {
  dir=$1
  pid=$(instance_pid "$dir")
  [ -n "$pid" ] || return 0
  # Sendmail is the first process of the PID namespace, unshare's child:
  # when it ends, the kernel ends every other process in the namespace.
  # It is signalled directly; the signal unshare would pass on when it
  # ends does not reach it everywhere.
  init=$(pgrep -P "$pid" 2>/dev/null || true)
  kill -TERM ${init:-} "$pid" 2>/dev/null || true
  tries=0
  while kill -0 "$pid" 2>/dev/null || { [ -n "$init" ] && kill -0 "$init" 2>/dev/null; }; do
    if [ "$tries" -ge 100 ]; then
      kill -KILL ${init:-} "$pid" 2>/dev/null || true
    fi
    tries=$((tries + 1))
    sleep 0.1
  done
  rm -f "$dir/instance.pid"
}

[ $# -ge 1 ] || usage
case "$1" in
  check)
    [ $# -eq 1 ] || usage
    reason=$(why_not)
    if [ -n "$reason" ]; then
      echo "$reason"
      exit 1
    fi
    ;;
  start)
    [ $# -eq 4 ] || usage
    dir=$2 port=$3 socket=$4
    reason=$(why_not)
    if [ -n "$reason" ]; then
      echo "$0: $reason" >&2
      exit 1
    fi
    check_instance_dir "$dir"
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd -P)
    check_instance_dir "$dir"
    check_safe "$dir"
    check_safe "$(dirname "$socket")"
    stop "$dir"
    if [ -n "$(ss -Hltn "sport = :$port" 2>/dev/null)" ]; then
      echo "$0: port $port on 127.0.0.1 is taken" >&2
      exit 1
    fi
    write_config "$dir" "$port" "$socket"
    : >"$dir/maillog"
    # In the namespaces: the host name, the private files bound over the
    # machine's, a /dev of the nodes Sendmail and its mailers use plus a
    # /dev/log of its own, then Sendmail in the foreground as the first
    # process, so that it ends the namespace when it ends.
    # shellcheck disable=SC2016
    unshare --pid --fork --kill-child=SIGTERM --uts --mount sh -c '
      set -eu
      dir=$1 sendmail=$2
      hostname mx.batv.test
      mount --bind "$dir/etc/hosts" /etc/hosts
      mount --bind "$dir/etc/passwd" /etc/passwd
      mount -t tmpfs -o mode=0755 tmpfs "$dir/dev"
      for node in null zero full random urandom; do
        : >"$dir/dev/$node"
        mount --bind "/dev/$node" "$dir/dev/$node"
      done
      mount --rbind "$dir/dev" /dev
      busybox syslogd -n -O "$dir/maillog" &
      tries=0
      until [ -S /dev/log ] || [ "$tries" -ge 50 ]; do
        tries=$((tries + 1))
        sleep 0.1
      done
      exec "$sendmail" -bD -C "$dir/etc/sendmail.cf"
    ' sendmail-instance "$dir" "$sendmail" >"$dir/instance.log" 2>&1 </dev/null &
    echo $! >"$dir/instance.pid"
    if ! wait_for_port "$dir" "$port" "$!"; then
      stop "$dir"
      exit 1
    fi
    ;;
  stop)
    [ $# -eq 2 ] || usage
    [ -d "$2" ] || exit 0
    stop "$(cd "$2" && pwd -P)"
    ;;
  *)
    usage
    ;;
esac
