#!/usr/bin/env bash
# Unpacks the 32-bit packages that cannot be installed beside their amd64 twins
# (the OpenSSL GOST engine and SoftHSM2) into DEST, so that the i386 tests can use
# them by path. Idempotent: a package already unpacked into DEST is skipped.
#
#   scripts/i386-extras.sh DEST
#
# Prints the paths the i386 tests need, one "name=path" a line:
#   OPENSSL_ENGINES, SOFTHSM2_MODULE, SOFTHSM2_UTIL.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 DEST" >&2
  exit 2
fi
mkdir -p "$1"
dest=$(cd "$1" && pwd)
stamps="$dest/.unpacked"
mkdir -p "$stamps"

pkgs=(libengine-gost-openssl softhsm2-common libsofthsm2 softhsm2)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

need_arch() {
  dpkg --print-foreign-architectures | grep -qx i386 && return 0
  $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -q
}

work=""
cleanup() { [ -z "$work" ] || rm -rf "$work"; }
trap cleanup EXIT

for p in "${pkgs[@]}"; do
  [ -e "$stamps/$p" ] && continue
  if [ -z "$work" ]; then
    need_arch
    work=$(mktemp -d)
  fi
  # apt-get download writes into the current directory; an old package list may
  # not know the i386 packages yet, so retry once after an update.
  if ! (cd "$work" && apt-get download -q "$p:i386" >/dev/null 2>&1); then
    $SUDO apt-get update -q >/dev/null
    (cd "$work" && apt-get download -q "$p:i386")
  fi
  deb=$(ls "$work"/"${p}"_*_i386.deb | head -n 1)
  dpkg-deb -x "$deb" "$dest"
  basename "$deb" > "$stamps/$p"
done

engines="$dest/usr/lib/i386-linux-gnu/engines-3"
module="$dest/usr/lib/i386-linux-gnu/softhsm/libsofthsm2.so"
util="$dest/usr/bin/softhsm2-util"
for f in "$engines/gost.so" "$module" "$util"; do
  if [ ! -e "$f" ]; then
    echo "$0: missing after unpacking: $f" >&2
    exit 1
  fi
done
echo "OPENSSL_ENGINES=$engines"
echo "SOFTHSM2_MODULE=$module"
echo "SOFTHSM2_UTIL=$util"
