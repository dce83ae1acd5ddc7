#!/bin/sh
# Installs the Debian packages that building, testing and running Vellicor
# need. Idempotent and non-interactive; does nothing when all are present.
set -eu

packages="
  g++ clang libclang-rt-14-dev cmake ninja-build pkg-config make
  libmilter-dev libssl-dev openssl
  libgtest-dev libgmock-dev libbenchmark-dev
  miltertest postfix swaks groff-base man-db procps iproute2
  debhelper dpkg-dev lintian
  busybox
"

missing=""
for p in $packages; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  case "$status" in
    "install ok installed") ;;
    *) missing="$missing $p" ;;
  esac
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "$0: need root to install:$missing" >&2
  exit 1
fi

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
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
[ "$added_policy" = yes ] && rm -f "$policy"
exit 0
