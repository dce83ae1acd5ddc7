#!/bin/sh
# Installs the Debian packages that building, testing and running Vellicor
# need, and unpacks Sendmail for its end-to-end tests. Idempotent and
# non-interactive; does nothing when all is in place.
set -eu

# Sendmail and Postfix cannot both be installed as packages. The tests run
# Sendmail from its Debian packages unpacked here instead, so the Postfix
# package stays installed; the libraries and m4 it needs are packages.
sendmail_root=${VELLICOR_SENDMAIL_ROOT:-/opt/vellicor-sendmail}
sendmail_packages="sendmail-bin sendmail-base sendmail-cf"

packages="
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config make
  libmilter-dev libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  miltertest postfix swaks groff-base man-db procps iproute2
  debhelper dpkg-dev lintian
  busybox
  m4 libwrap0 liblockfile1 libdb5.3 libldap-2.5-0 libnsl2 libsasl2-2
"

missing=""
for p in $packages; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  case "$status" in
    "install ok installed") ;;
    *) missing="$missing $p" ;;
  esac
done

# The versions apt would download now, on one line.
sendmail_candidates() {
  apt-cache policy $sendmail_packages 2>/dev/null | sed -n 's/^ *Candidate: //p' | tr '\n' ' '
}

sendmail_wanted=$(sendmail_candidates)
sendmail_unpacked=$(cat "$sendmail_root/.packages" 2>/dev/null || true)
if [ -x "$sendmail_root/usr/libexec/sendmail/sendmail" ] &&
   { [ -z "$sendmail_wanted" ] || [ "$sendmail_wanted" = "$sendmail_unpacked" ]; }; then
  need_sendmail=no
else
  need_sendmail=yes
fi

[ -z "$missing" ] && [ "$need_sendmail" = no ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  [ "$need_sendmail" = yes ] && missing="$missing (and Sendmail into $sendmail_root)"
  echo "$0: need root to install:$missing" >&2
  exit 1
fi

# Downloads the Sendmail packages and unpacks them into $sendmail_root,
# replacing what an earlier run left there.
unpack_sendmail() {
  work=$(mktemp -d)
  # apt's download user must be able to write there.
  chmod 0777 "$work"
  if ! (cd "$work" && apt-get download -qq $sendmail_packages); then
    rm -rf "$work"
    return 1
  fi
  rm -rf "$sendmail_root.new"
  mkdir -p "$sendmail_root.new"
  for deb in "$work"/*.deb; do
    dpkg-deb -x "$deb" "$sendmail_root.new"
  done
  sendmail_candidates >"$sendmail_root.new/.packages"
  rm -rf "$work" "$sendmail_root"
  mv "$sendmail_root.new" "$sendmail_root"
}

export DEBIAN_FRONTEND=noninteractive
# Postfix is used only as a private instance the tests start themselves;
# leave the system instance unconfigured and stopped.
echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
echo "postfix postfix/mailname string localhost.localdomain" | debconf-set-selections
policy=/usr/sbin/policy-rc.d
added_policy=no
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  added_policy=yes
fi
updated=no
if [ -n "$missing" ]; then
  apt-get update -qq
  updated=yes
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
fi
[ "$added_policy" = yes ] && rm -f "$policy"
if [ "$need_sendmail" = yes ]; then
  if ! unpack_sendmail; then
    [ "$updated" = yes ] || apt-get update -qq
    unpack_sendmail
  fi
fi
exit 0
