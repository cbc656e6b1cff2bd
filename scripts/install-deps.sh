#!/usr/bin/env bash
# Installs the Debian packages that building and testing need on this machine:
# amd64 packages only. The machine's dpkg never gets a foreign architecture or
# an i386 package: every 32-bit library the tests need lives in the Debian
# roots of scripts/debian-root.sh. Idempotent: packages already present are
# left alone, and apt is asked only when something is missing. apt failures
# that do not matter (an index the archive serves mid-sync) do not stop it
# (scripts/apt-tolerant.sh).
set -euo pipefail

PKGS=(cmake g++ clang libclang-rt-14-dev libp11-kit-dev libgtest-dev libgmock-dev
  libbenchmark-dev libssl-dev libengine-gost-openssl softhsm2 opensc opensc-pkcs11
  p11-kit-modules pcscd vsmartcard-vpcd binutils file dpkg-dev util-linux procps openssl
  ca-certificates debootstrap iproute2 rpm rpm2cpio cpio python3 make patch xz-utils man-db
  lintian rpmlint diffoscope-minimal valgrind afl++)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
bash "$(dirname "$0")/apt-tolerant.sh" install "${missing[@]}"
