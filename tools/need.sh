#!/bin/sh
# Installs the Debian packages named as arguments that this machine lacks, so
# that the README's two commands do all the set-up on a fresh machine. As root
# it runs apt-get itself; otherwise it says what to run and fails.
set -e
missing=
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "missing packages:$missing; install them with: sudo apt-get install$missing" >&2
    exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq $missing >/dev/null
