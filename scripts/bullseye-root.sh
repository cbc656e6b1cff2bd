#!/usr/bin/env bash
# Makes a Debian 11 (bullseye, glibc 2.31, GCC 10) root for one ABI, in which
# the release binaries are built and the protocol cases are played: the oldest
# distribution we build on, so that the programs run on it and everything newer.
#
#   scripts/bullseye-root.sh i386|x86_64 DEST
#
# Idempotent: a root whose stamp matches this script's package list is kept
# as it is. Fails with a message that says so when the archive cannot be
# reached; it never falls back to anything else.
#
#   scripts/bullseye-root.sh run DEST COMMAND...
#
# runs COMMAND inside the root as root, with /proc, /dev and the source tree
# (at /src, read-only) mounted in a private mount namespace. The root is bound
# onto itself first, so that `unshare -m` works inside it too.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

# What building, packaging and the tests need inside the root.
PACKAGES=(g++ make cmake pkg-config binutils file libp11-kit-dev libssl-dev openssl
  libengine-gost-openssl1.1 opensc opensc-pkcs11 pcscd vsmartcard-vpcd libgtest-dev
  softhsm2 p11-kit-modules dpkg-dev ca-certificates procps python3 rpm rpm2cpio cpio)

run_in_root() {
  local dest=$1; shift
  # The command's arguments travel in the environment, one quoted string.
  ROOT_DIR=$dest SRC_DIR=$root ROOT_CMD=$(printf '%q ' "$@") unshare -m bash -c '
    set -e
    mount --make-rprivate / 2>/dev/null || true
    mount --bind "$ROOT_DIR" "$ROOT_DIR"
    mount -t proc proc "$ROOT_DIR/proc"
    mount --rbind /dev "$ROOT_DIR/dev"
    mkdir -p "$ROOT_DIR/src"
    mount --bind "$SRC_DIR" "$ROOT_DIR/src"
    mount -o remount,bind,ro "$ROOT_DIR/src"
    # One lock for the machine: the reader tests start a pcscd on fixed ports,
    # in the root or outside it, one at a time.
    touch /tmp/card-helpers-pcscd.lock "$ROOT_DIR/tmp/card-helpers-pcscd.lock"
    mount --bind /tmp/card-helpers-pcscd.lock "$ROOT_DIR/tmp/card-helpers-pcscd.lock"
    exec chroot "$ROOT_DIR" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
      HOME=/root LANG=C.UTF-8 CI="${CI:-}" /bin/bash -c "$ROOT_CMD"'
}

if [ "${1:-}" = run ]; then
  [ $# -ge 3 ] || { echo "usage: $0 run DEST COMMAND..." >&2; exit 2; }
  dest=$(cd "$2" && pwd); shift 2
  run_in_root "$dest" "$@"
  exit
fi

[ $# -eq 2 ] || { echo "usage: $0 i386|x86_64 DEST" >&2; exit 2; }
case "$1" in
  i386) arch=i386 ;;
  x86_64) arch=amd64 ;;
  *) echo "$0: unknown ABI $1" >&2; exit 2 ;;
esac
dest=$2
stamp_text="bullseye $arch minbase ${PACKAGES[*]}"
if [ -f "$dest/.card-root-stamp" ] && [ "$(cat "$dest/.card-root-stamp")" = "$stamp_text" ]; then
  exit 0
fi

command -v debootstrap > /dev/null || { echo "$0: debootstrap is not installed" >&2; exit 1; }
rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
uri=$(bash "$root/scripts/debian-mirror.sh") || exit 1
log=$dest.debootstrap.log
include=$(IFS=,; echo "${PACKAGES[*]}")
echo "making the Debian 11 $arch root in $dest from $uri"
# One more try after a failed download: a mirror's hiccup should not fail a run.
if ! debootstrap --variant=minbase --arch="$arch" --include="$include" bullseye "$dest" "$uri" > "$log" 2>&1 &&
   ! { echo "debootstrap failed; trying once more"; rm -rf "$dest";
       debootstrap --variant=minbase --arch="$arch" --include="$include" bullseye "$dest" "$uri" > "$log" 2>&1; }; then
  tail -n 20 "$log"
  echo "$0: could not make the Debian 11 (bullseye) $arch root from $uri: is the archive reachable? (log: $log)" >&2
  exit 1
fi
echo "$stamp_text" > "$dest/.card-root-stamp"
