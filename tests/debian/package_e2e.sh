#!/bin/sh
# The Debian package with the distribution's own Postfix, end to end:
#   sh tests/debian/package_e2e.sh SOURCE_DIR OUTDIR
# Builds the .deb with scripts/package.sh into OUTDIR, gives Postfix
# Debian's stock "Internet Site" main.cf plus the lines README.Debian
# recommends, installs the package with apt, starts Postfix and the filter
# the way the package does, runs mail through port 25, then reinstalls,
# removes and purges the package. Everything it changes in the system mail
# setup is saved first and restored on exit, whatever happens.
#
# Root only, on Debian with the postfix package installed and its system
# instance unused; otherwise it exits 77 (skipped) with the reason.
set -u

src=${1:?usage: $0 SOURCE_DIR OUTDIR}
out=${2:?usage: $0 SOURCE_DIR OUTDIR}

skip() { echo "skip - $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "needs root"
[ -f /etc/debian_version ] && command -v dpkg >/dev/null && command -v apt-get >/dev/null ||
  skip "not a Debian system"
[ "$(dpkg-query -W -f='${Status}' postfix 2>/dev/null)" = "install ok installed" ] ||
  skip "the postfix package is not installed"
if [ -e /etc/postfix/main.cf ] && postfix status >/dev/null 2>&1; then
  skip "the system Postfix is configured and running: it may be in real use"
fi
case "$(dpkg-query -W -f='${Status}' vellicor 2>/dev/null)" in
  *installed*|*config-files*) skip "the vellicor package is installed on this machine already" ;;
esac
getent passwd vlcuser >/dev/null && skip "the test user vlcuser exists already"
for tool in swaks setpriv openssl debconf-communicate; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh installs it)"
done

systemd=no
[ -d /run/systemd/system ] && [ "$(cat /proc/1/comm 2>/dev/null)" = systemd ] && systemd=yes
if [ "$systemd" = no ] && [ ! -e /dev/log ] && ! command -v busybox >/dev/null; then
  skip "no syslog here and no busybox to provide one"
fi

failures=0
ok() { echo "ok - $*"; }
fail() { echo "FAIL - $*"; failures=$((failures + 1)); }
check() { # check DESCRIPTION COMMAND...
  desc=$1; shift
  if "$@"; then ok "$desc"; else fail "$desc"; fi
}
# Bounded polling: up to N tries, 0.2 s apart.
wait_for() {
  tries=$1; shift
  while ! "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.2
  done
}

# 1. The package, built from this tree.
mkdir -p "$out"
log_pkg=$(mktemp)
if ! sh "$src/scripts/package.sh" "$out" >"$log_pkg" 2>&1; then
  tail -n 40 "$log_pkg"
  rm -f "$log_pkg"
  echo "FAIL - scripts/package.sh built the package"
  exit 1
fi
deb=$(tail -n 1 "$log_pkg")
rm -f "$log_pkg"
if [ ! -f "$deb" ]; then
  echo "FAIL - scripts/package.sh names the package on its last line (got '$deb')"
  exit 1
fi
ok "package built: $deb"
version=$(dpkg-deb -f "$deb" Version)
upstream=${version%%-*}

# 2. The state to come back to.
tmp=$(mktemp -d /tmp/vellicor-debian.XXXXXX)
chmod 700 "$tmp"

# Listing (type, mode, owner, size, link target) and checksums of a tree
# below /, to prove it is back as it was.
snapshot() {
  (cd / && find "$@" -printf '%p %y %m %u:%g %s %l\n' | LC_ALL=C sort &&
    find "$@" -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum)
}
tar -C / -cpf "$tmp/postfix-etc.tar" etc/postfix
tar -C / -cpf "$tmp/postfix-var.tar" var/spool/postfix var/lib/postfix
snapshot etc/postfix >"$tmp/etc.before"
snapshot var/spool/postfix var/lib/postfix >"$tmp/var.before"
for f in aliases aliases.db mailname; do
  if [ -e "/etc/$f" ]; then cp -p "/etc/$f" "$tmp/$f.saved"; fi
done
debconf-show postfix | LC_ALL=C sort >"$tmp/debconf.before"
postfix_was_running=no
postfix status >/dev/null 2>&1 && postfix_was_running=yes
policy=/usr/sbin/policy-rc.d
made_policy=no
started_postfix=no
filter_pid=
syslog_pid=
made_devlog=no
made_user=no
mailbox=/var/mail/vlcuser
log_text() { :; }

# debconf-show prints "* name: value" (seen) or "  name: value"; the
# values go back with debconf-set-selections, each with its template's
# type, and the seen flags as they were.
restore_debconf() {
  while IFS= read -r line; do
    name=$(printf '%s\n' "$line" | sed 's/^[* ] \([^:]*\):.*/\1/')
    value=$(printf '%s\n' "$line" | sed 's/^[* ] [^:]*: \{0,1\}//')
    type=$(echo "METAGET $name Type" | debconf-communicate postfix | sed 's/^0 //')
    case "$type" in
      error|note|text|title) echo "SET $name $value" | debconf-communicate postfix >/dev/null ;;
      *) echo "postfix $name $type $value" | debconf-set-selections ;;
    esac
    seen=false
    case "$line" in "*"*) seen=true ;; esac
    echo "FSET $name seen $seen" | debconf-communicate postfix >/dev/null
  done <"$tmp/debconf.before"
}

stop_filter() {
  [ -n "$filter_pid" ] || return 0
  if [ "$systemd" = yes ]; then
    systemctl stop vellicor
  else
    kill "$filter_pid" 2>/dev/null
    # libmilter takes up to its poll timeout (about 5 s) to stop.
    wait_for 100 sh -c "! kill -0 $filter_pid 2>/dev/null" || kill -9 "$filter_pid" 2>/dev/null
    wait "$filter_pid" 2>/dev/null
  fi
  filter_pid=
}

print_logs() {
  echo "--- last lines of the log:"
  log_text | tail -n 60
  if [ -s "$tmp/filter.err" ]; then
    echo "--- the filter's standard error:"
    tail -n 20 "$tmp/filter.err"
  fi
}

restore() {
  trap '' INT TERM
  [ "$failures" -eq 0 ] || print_logs
  stop_filter
  if [ "$started_postfix" = yes ]; then
    if [ "$systemd" = yes ]; then systemctl stop postfix; else /etc/init.d/postfix stop >/dev/null; fi
  fi
  case "$(dpkg-query -W -f='${Status}' vellicor 2>/dev/null)" in
    *installed*|*config-files*) dpkg -P vellicor >/dev/null 2>&1 ;;
  esac
  if [ "$made_user" = yes ]; then
    userdel vlcuser 2>/dev/null
    rm -f "$mailbox"
  fi
  rm -rf /etc/postfix /var/spool/postfix /var/lib/postfix
  tar -C / -xpf "$tmp/postfix-etc.tar"
  tar -C / -xpf "$tmp/postfix-var.tar"
  for f in aliases aliases.db mailname; do
    if [ -e "$tmp/$f.saved" ]; then cp -p "$tmp/$f.saved" "/etc/$f"; else rm -f "/etc/$f"; fi
  done
  restore_debconf
  [ "$made_policy" = yes ] && rm -f "$policy"
  if [ "$postfix_was_running" = yes ]; then
    if [ "$systemd" = yes ]; then systemctl start postfix; else /etc/init.d/postfix start >/dev/null; fi
  fi
  if [ -n "$syslog_pid" ]; then
    kill "$syslog_pid" 2>/dev/null
    wait "$syslog_pid" 2>/dev/null
  fi
  [ "$made_devlog" = yes ] && rm -f /dev/log

  # What the test changed is back as it was.
  snapshot etc/postfix >"$tmp/etc.after"
  check "/etc/postfix restored exactly" cmp -s "$tmp/etc.before" "$tmp/etc.after"
  snapshot var/spool/postfix var/lib/postfix >"$tmp/var.after"
  check "/var/spool/postfix and /var/lib/postfix restored exactly" \
    cmp -s "$tmp/var.before" "$tmp/var.after"
  debconf-show postfix | LC_ALL=C sort >"$tmp/debconf.after"
  check "postfix's debconf answers restored" cmp -s "$tmp/debconf.before" "$tmp/debconf.after"
  running=no
  postfix status >/dev/null 2>&1 && running=yes
  check "Postfix running afterwards: $running, as before" [ "$running" = "$postfix_was_running" ]
  check "test user and its mailbox gone" \
    sh -c "! getent passwd vlcuser >/dev/null && [ ! -e $mailbox ]"
  rm -rf "$tmp"
}

on_exit() {
  status=$?
  restore
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
  fi
  exit "$status"
}
trap on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Stops the test at a failure that leaves nothing sensible to check.
abort() { fail "$*"; exit 1; }

# 3. Debian's stock main.cf for an Internet Site, made by the package's
# own maintainer script; nothing is started while it runs.
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  made_policy=yes
fi
debconf-set-selections <<'EOF'
postfix postfix/main_mailer_type select Internet Site
postfix postfix/mailname string mail.example.org
postfix postfix/destinations string $myhostname, mail.example.org, example.org, localhost.localdomain, localhost
postfix postfix/mynetworks string 127.0.0.0/8 [::ffff:127.0.0.0]/104 [::1]/128
postfix postfix/relayhost string
postfix postfix/mailbox_limit string 0
postfix postfix/recipient_delim string +
postfix postfix/protocols select all
postfix postfix/procmail boolean false
postfix postfix/root_address string
EOF
DEBIAN_FRONTEND=noninteractive dpkg-reconfigure -f noninteractive postfix >"$tmp/reconfigure.log" 2>&1 ||
  { cat "$tmp/reconfigure.log"; abort "dpkg-reconfigure postfix (Internet Site)"; }
if [ "$made_policy" = yes ]; then rm -f "$policy"; made_policy=no; fi
[ -f /etc/postfix/main.cf ] || abort "dpkg-reconfigure wrote /etc/postfix/main.cf"
# The site's answer to "other destinations": the maintainer script keeps a
# preseeded list only once it has asked that question itself, and on a
# machine where Postfix was installed with "No configuration" it makes one
# from the host name instead, without example.org.
postconf -e 'mydestination = $myhostname, mail.example.org, example.org, localhost.localdomain, localhost'

# The recipe: exactly the lines README.Debian gives for main.cf.
postconf -e 'smtpd_milters = unix:/vellicor/vellicor.sock' \
  'non_smtpd_milters = $smtpd_milters' \
  'milter_default_action = tempfail' \
  'virtual_alias_maps = regexp:/etc/postfix/vellicor-untag.regexp'
printf '%s\n' '/^prvs=[0-9]{4}[0-9a-f]{6}=(.+@example\.org)$/ $1' >/etc/postfix/vellicor-untag.regexp

# Test scaffolding, not part of the recipe:
# - the test plays outside clients with XCLIENT from loopback;
# - fail.test fails permanently, so Postfix itself sends a failure notice;
# - Postfix listens on loopback only.
postconf -e 'smtpd_authorized_xclient_hosts = 127.0.0.0/8' \
  'transport_maps = texthash:/etc/postfix/vellicor-test-transport' \
  'inet_interfaces = loopback-only'
echo 'fail.test error:5.1.1 test failure' >/etc/postfix/vellicor-test-transport
[ -e /etc/aliases.db ] || newaliases

useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin vlcuser ||
  abort "test user vlcuser created"
made_user=yes
rm -f "$mailbox"

# 4. Installed as a newcomer would.
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >"$tmp/apt.log" 2>&1; then
  cat "$tmp/apt.log"
  echo "note - apt-get could not install the package; trying dpkg -i"
  dpkg -i "$deb" >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; abort "package installed"; }
fi
ok "package installed"
check "user and group vellicor exist" sh -c 'getent passwd vellicor >/dev/null && getent group vellicor >/dev/null'
case " $(id -nG vellicor 2>/dev/null) " in
  *" postfix "*) fail "vellicor is not in the group postfix" ;;
  *) ok "vellicor is not in the group postfix" ;;
esac
mode_of() { stat -c '%a %U:%G' "$1" 2>/dev/null; }
check "/etc/vellicor/key is 600 vellicor:vellicor ($(mode_of /etc/vellicor/key))" \
  [ "$(mode_of /etc/vellicor/key)" = "600 vellicor:vellicor" ]
check "/etc/vellicor is 750 root:vellicor ($(mode_of /etc/vellicor))" \
  [ "$(mode_of /etc/vellicor)" = "750 root:vellicor" ]
check "/var/spool/postfix/vellicor is 2750 vellicor:postfix ($(mode_of /var/spool/postfix/vellicor))" \
  [ "$(mode_of /var/spool/postfix/vellicor)" = "2750 vellicor:postfix" ]
cp -p /etc/vellicor/key "$tmp/key.installed"

# 5. Syslog: the journal, a syslog daemon that runs already, or one for
# the duration of the test.
since=$(date '+%Y-%m-%d %H:%M:%S')
if [ "$systemd" = yes ]; then
  log_text() { journalctl -q --no-pager --since "$since"; }
elif [ -e /dev/log ]; then
  log_text() {
    for f in /var/log/mail.log /var/log/syslog /var/log/messages; do
      [ -f "$f" ] && cat "$f"
    done
  }
else
  busybox syslogd -n -O "$tmp/syslog" &
  syslog_pid=$!
  made_devlog=yes
  wait_for 50 test -S /dev/log || abort "busybox syslogd made /dev/log"
  log_text() { cat "$tmp/syslog" 2>/dev/null; }
fi

# 6. Postfix and the filter, started as the package starts them.
sock=/var/spool/postfix/vellicor/vellicor.sock
started_postfix=yes
if [ "$systemd" = yes ]; then
  systemctl start vellicor postfix || abort "systemctl start vellicor postfix"
  filter_pid=$(systemctl show -p MainPID --value vellicor)
else
  /etc/init.d/postfix start >"$tmp/postfix-start.log" 2>&1 ||
    { cat "$tmp/postfix-start.log"; abort "/etc/init.d/postfix start"; }
  # The unit's own command line, user, group and umask.
  unit=/lib/systemd/system/vellicor.service
  unit_value() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
  cmd=$(unit_value ExecStart)
  user=$(unit_value User)
  group=$(unit_value Group)
  umask_value=$(unit_value UMask)
  [ -n "$cmd" ] && [ -n "$user" ] && [ -n "$group" ] && [ -n "$umask_value" ] ||
    abort "$unit names ExecStart, User, Group and UMask"
  # Like systemd: working directory /, a clean environment.
  (cd / && exec env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    setpriv --reuid="$user" --regid="$group" --init-groups \
    sh -c "umask $umask_value; exec $cmd") >"$tmp/filter.out" 2>"$tmp/filter.err" &
  filter_pid=$!
fi
filter_ready() {
  [ -S "$sock" ] && return 0
  [ "$systemd" = yes ] || kill -0 "$filter_pid" 2>/dev/null || abort "the filter ended at start-up"
  return 1
}
wait_for 100 filter_ready || abort "the filter made its socket $sock within 20 s"
ok "filter started (pid $filter_pid), socket $sock"
# smtpd and cleanup (user postfix) connect through the group; others may not.
sock_mode=$(stat -c %a "$sock")
check "socket vellicor:postfix, group read-write, nothing for others ($(mode_of "$sock"))" \
  [ "$(stat -c %U:%G "$sock").$((0$sock_mode & 067))" = "vellicor:postfix.$((060))" ]

# 7. Mail through port 25.
run=$$-$(date +%s)
day() { echo $((($(date +%s) / 86400 + 7) % 1000)); }
# The whole mbox message(s) holding a marker.
message_with() {
  [ -f "$mailbox" ] || return 0
  awk -v m="$1" '/^From / { if (index(buf, m)) printf "%s", buf; buf = "" }
                 { buf = buf $0 "\n" }
                 END { if (index(buf, m)) printf "%s", buf }' "$mailbox"
}
deliveries() { message_with "$1" | grep -c '^From '; }
delivered() { [ "$(deliveries "$1")" -ge 1 ]; }
queue_empty() { [ -z "$(postqueue -j 2>/dev/null)" ]; }
header() { message_with "$1" | sed '/^$/q' | sed -n "s/^$2: //p" | head -n 1; }
send() { # send NAME swaks-arguments...: transcript in $tmp/NAME.smtp
  name=$1; shift
  timeout 120 swaks --server 127.0.0.1 --port 25 --helo client.example.org "$@" >"$tmp/$name.smtp" 2>&1
}
queued_id() { sed -n 's/.*250 2\.0\.0 Ok: queued as \([0-9A-Za-z]*\).*/\1/p' "$tmp/$1.smtp" | tail -n 1; }
wait_delivered() { # wait_delivered MARKER: delivered and the queue drained
  wait_for 150 delivered "$1" && wait_for 150 queue_empty
}

# a. An internal client's message: the envelope sender is signed.
mark_a=vlc-a-$run
day_before=$(day)
send internal --from vlcuser@example.org --to vlcuser@example.org \
  --header "Subject: internal $mark_a" --body "$mark_a"
day_after=$(day)
wait_delivered "$mark_a" || cat "$tmp/internal.smtp"
return_path=$(header "$mark_a" Return-Path)
tag=$(printf '%s\n' "$return_path" | sed -n 's/^<\(prvs=0[0-9]\{3\}[0-9A-F]\{6\}=vlcuser@example\.org\)>$/\1/p')
check "internal message delivered with a tagged Return-Path ($return_path)" [ -n "$tag" ]
# Everything below sends to the tag (swaks given an empty --to would ask
# for one on its terminal).
[ -n "$tag" ] || abort "no tag to send the bounces to"
tag_day=$(printf '%s\n' "$tag" | cut -c7-9)
case "$tag_day" in
  "$(printf %03d "$day_before")"|"$(printf %03d "$day_after")") ok "tag expires on day $tag_day, (unix time / 86400 + 7) mod 1000" ;;
  *) fail "tag expires on day (unix time / 86400 + 7) mod 1000 = $day_before (got '$tag_day')" ;;
esac
verdict=$(vellicor-tag -c /etc/vellicor/vellicor.conf check "$tag" 2>&1)
case "$verdict" in
  "valid: vlcuser@example.org"*) ok "vellicor-tag check: $verdict" ;;
  *) fail "vellicor-tag check says valid (got: $verdict)" ;;
esac
# The hash, independently: the first three bytes of SHA-1 over key
# number, day, address and the key's first line.
secret=$(head -n 1 /etc/vellicor/key)
hash=$(printf '0%s%s%s' "$tag_day" vlcuser@example.org "$secret" | openssl sha1 -r | cut -c1-6 |
  tr a-f A-F)
check "openssl recomputes the tag's hash ($hash)" [ "prvs=0$tag_day$hash=vlcuser@example.org" = "$tag" ]

# b. A bounce from an outside client to the tag: delivered exactly once to
# the plain mailbox, although both cleanup's virtual alias table and the
# filter's recipient change replace the tagged recipient.
mark_b=vlc-b-$run
send bounce --xclient-addr 192.0.2.10 --xclient-name mx.example.net --from '<>' --to "$tag" \
  --header "Subject: bounce $mark_b" --body "$mark_b"
id_b=$(queued_id bounce)
check "bounce to the tagged address accepted (queue id ${id_b:-none})" [ -n "$id_b" ]
wait_delivered "$mark_b"
count_b=$(deliveries "$mark_b")
sent_b=$(log_text | grep -c "postfix/local\[[0-9]*\]: ${id_b:-none}: .*status=sent")
check "bounce delivered exactly once to $mailbox (mailbox: $count_b, log status=sent: $sent_b)" \
  [ "$count_b.$sent_b" = 1.1 ]
echo "# bounce: X-Original-To: $(header "$mark_b" X-Original-To), Delivered-To: $(header "$mark_b" Delivered-To)"
[ -n "$id_b" ] && log_text | grep "postfix/[a-z]*\[[0-9]*\]: $id_b: " | sed 's/^/# /'

# c. A forged tag: same key number and day, hash 000000.
forged=prvs=0${tag_day}000000=vlcuser@example.org
send forged --xclient-addr 192.0.2.10 --xclient-name mx.example.net --from '<>' --to "$forged" \
  --header "Subject: forged" --body "forged"
reply=$(grep '^<\*\* ' "$tmp/forged.smtp" | head -n 1 | sed 's/^<\*\* //')
case "$reply" in
  "550 5.7.1"*) ok "forged tag refused at RCPT: $reply" ;;
  *) cat "$tmp/forged.smtp"; fail "forged tag refused with 550 5.7.1 (got: ${reply:-no refusal})" ;;
esac

# d. A message submitted with sendmail(1) is signed as well.
mark_d=vlc-d-$run
printf 'Subject: sendmail %s\n\n%s\n' "$mark_d" "$mark_d" |
  /usr/sbin/sendmail -f vlcuser@example.org vlcuser@example.org
wait_delivered "$mark_d"
return_path_d=$(header "$mark_d" Return-Path)
tag_d=$(printf '%s\n' "$return_path_d" | sed -n 's/^<\(prvs=0[0-9]\{3\}[0-9A-F]\{6\}=vlcuser@example\.org\)>$/\1/p')
check "sendmail(1) message delivered with a tagged Return-Path ($return_path_d)" \
  sh -c "[ -n '$tag_d' ] && vellicor-tag -c /etc/vellicor/vellicor.conf check '$tag_d' >/dev/null"

# e. Postfix's own failure notice reaches the signed sender's mailbox:
# the virtual alias table strips the tag the filter never sees. smtpd
# refuses a recipient routed to the error transport at RCPT already, so
# this message comes in through sendmail(1); the queue manager then fails
# it and the bounce daemon writes the notice.
mark_e=vlc-e-$run
printf 'Subject: failing %s\n\n%s\n' "$mark_e" "$mark_e" |
  /usr/sbin/sendmail -f vlcuser@example.org someone@fail.test
wait_delivered "$mark_e"
from_e=$(message_with "$mark_e" | head -n 1 | cut -d' ' -f2)
orig_to_e=$(header "$mark_e" X-Original-To)
delivered_to_e=$(header "$mark_e" Delivered-To)
count_e=$(deliveries "$mark_e")
tagged_orig_to_e=$(printf '%s\n' "$orig_to_e" | sed -n '/^prvs=0[0-9]\{3\}[0-9A-F]\{6\}=vlcuser@example\.org$/p')
if [ "$from_e" = MAILER-DAEMON ] && [ -n "$tagged_orig_to_e" ] &&
   [ "$delivered_to_e" = vlcuser@example.org ] && [ "$count_e" -eq 1 ]; then
  ok "Postfix's failure notice delivered once to $mailbox (X-Original-To: $orig_to_e, Delivered-To: $delivered_to_e)"
else
  fail "Postfix's failure notice from MAILER-DAEMON delivered once to $mailbox with the tagged X-Original-To and Delivered-To vlcuser@example.org (from: ${from_e:-none}, deliveries: $count_e, X-Original-To: $orig_to_e, Delivered-To: $delivered_to_e)"
fi

# f. The filter's lines in syslog or the journal, under its own name and
# process ID.
logged() { log_text | grep -q "vellicor\[$filter_pid\]: $1"; }
if wait_for 50 logged "Vellicor v$upstream starting"; then
  ok "syslog: vellicor[$filter_pid]: Vellicor v$upstream starting"
else
  fail "syslog has vellicor[$filter_pid]: Vellicor v$upstream starting"
fi
check "syslog: the filter's line about the forged tag" logged ".*BATV .* in \`$forged'"

# g. Reload and SIGHUP, under systemd only.
if [ "$systemd" = yes ]; then
  systemctl reload vellicor
  check "systemctl reload keeps the filter running" \
    sh -c "systemctl is-active --quiet vellicor && [ \"\$(systemctl show -p MainPID --value vellicor)\" = $filter_pid ]"
  kill -HUP "$filter_pid"
  restarted() {
    pid=$(systemctl show -p MainPID --value vellicor)
    [ "$pid" != 0 ] && [ "$pid" != "$filter_pid" ] && systemctl is-active --quiet vellicor
  }
  if wait_for 150 restarted; then
    filter_pid=$(systemctl show -p MainPID --value vellicor)
    ok "after SIGHUP systemd restarts the filter (pid $filter_pid)"
  else
    fail "after SIGHUP systemd restarts the filter"
  fi
else
  echo "note - systemd is not PID 1: reload and SIGHUP restart not checked"
fi

# 8. The package's life cycle: reinstall (the upgrade path), remove, purge.
if DEBIAN_FRONTEND=noninteractive apt-get install --reinstall -y -q "$deb" >"$tmp/apt.log" 2>&1 ||
   dpkg -i "$deb" >"$tmp/apt.log" 2>&1; then
  ok "package reinstalled"
else
  cat "$tmp/apt.log"
  fail "package reinstalled"
fi
check "reinstall keeps the key byte for byte" cmp -s "$tmp/key.installed" /etc/vellicor/key
check "reinstall keeps the key 600 vellicor:vellicor" [ "$(mode_of /etc/vellicor/key)" = "600 vellicor:vellicor" ]

stop_filter
dpkg -r vellicor >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg -r vellicor"; }
check "after remove: user vellicor, key and vellicor.conf remain" \
  sh -c "getent passwd vellicor >/dev/null && cmp -s '$tmp/key.installed' /etc/vellicor/key &&
         [ -f /etc/vellicor/vellicor.conf ]"
check "after remove: socket directory gone" [ ! -e /var/spool/postfix/vellicor ]
dpkg -P vellicor >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg -P vellicor"; }
check "after purge: /etc/vellicor gone" [ ! -e /etc/vellicor ]
check "after purge: user and group vellicor gone" \
  sh -c '! getent passwd vellicor >/dev/null && ! getent group vellicor >/dev/null'
