#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, for amd64 and i386.
# Idempotent: packages already present are left alone, and apt is asked only when
# something is missing.
set -euo pipefail

AMD64_PKGS=(cmake g++ g++-multilib clang libclang-rt-14-dev libp11-kit-dev libgtest-dev
  libgmock-dev libbenchmark-dev libssl-dev libengine-gost-openssl softhsm2 opensc opensc-pkcs11
  p11-kit-modules pcscd vsmartcard-vpcd binutils file dpkg-dev util-linux procps openssl
  ca-certificates debootstrap iproute2 rpm rpm2cpio cpio python3 make patch xz-utils)
I386_PKGS=(libssl-dev:i386 opensc-pkcs11:i386 libpcsclite1:i386 libp11-kit-dev:i386
  libgtest-dev:i386 libstdc++6:i386 p11-kit-modules:i386)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

missing=()
for p in "${AMD64_PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
need_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
for p in "${I386_PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -eq 0 ] && [ "$need_i386" -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
[ "$need_i386" -eq 0 ] || $SUDO dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# --no-remove: an i386 twin must never push out its amd64 package.
$SUDO apt-get install -y -q --no-install-recommends --no-remove "${missing[@]}"
