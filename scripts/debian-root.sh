#!/usr/bin/env bash
# Debian roots for the release build and for testing it on the oldest and the
# newest distributions we support: Debian 11 (bullseye: glibc 2.31, GCC 10,
# OpenSC 0.21) and Debian 13 (trixie: glibc 2.41, OpenSC 0.26).
#
#   scripts/debian-root.sh make SUITE ABI
#       makes the root (debootstrap from the Debian archive) unless the cache
#       already holds it, and prints its folder. SUITE is bullseye or trixie,
#       ABI i386 or x86_64.
#   scripts/debian-root.sh run SUITE ABI COMMAND...
#       runs COMMAND as root inside the root (making it first if needed).
#
# The roots are kept in a cache outside the clone, so that they survive from
# one run to the next on the same machine: CARD_ROOT_CACHE, by default
# /var/cache/card-helpers/roots. A root's folder is named after the suite, the
# architecture and a key of everything that goes into it, and is renamed into
# place only once it is complete; a root that is being made is locked, so two
# runs never make the same root at once.
#
# The cached root is never written to. `run` mounts it as the lower layer of
# an overlay whose upper layer lives in the clone (build/roots/SUITE-ABI), so
# what a command installs or changes stays with this clone until `reset`:
#   scripts/debian-root.sh reset SUITE ABI
# The clone's build/in-root/SUITE is mounted at /build in both roots of a
# suite (the i386 release tree is compiled in the amd64 root and tested in the
# i386 one), the source tree read-only at /src, a private tmpfs at /tmp, and
# /proc and /dev, all in a private mount namespace.
#
# On a machine that runs i386 programs only through emulation (binfmt_misc
# with the F flag, as scripts/test.sh registers it) the i386 roots are made
# and used the same way, only slower.
#
# Fails with a message when the archive cannot be reached; it never falls
# back to anything else.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${CARD_ROOT_CACHE:-/var/cache/card-helpers/roots}

usage() {
  echo "usage: $0 make|reset SUITE i386|x86_64 | run SUITE i386|x86_64 COMMAND..." >&2
  exit 2
}
[ $# -ge 3 ] || usage
action=$1 suite=$2 abi=$3
shift 3
case "$abi" in
  i386) arch=i386 ;;
  x86_64) arch=amd64 ;;
  *) usage ;;
esac

# What each root holds. The bullseye amd64 root builds the release for both
# ABIs (g++-multilib and the i386 development packages for the 32-bit tree)
# and runs the x86_64 suite; every other root only runs a suite, built for it
# in the amd64 root of its suite.
TEST_PACKAGES=(cmake python3 openssl opensc opensc-pkcs11 pcscd vsmartcard-vpcd softhsm2
  p11-kit-modules ca-certificates procps iproute2 file binutils dpkg-dev rpm rpm2cpio cpio)
BUILD_PACKAGES=(g++ g++-multilib make pkg-config libp11-kit-dev libssl-dev libgtest-dev)
FOREIGN_PACKAGES=() APT_PACKAGES=()
case "$suite" in
  bullseye)
    packages=("${TEST_PACKAGES[@]}" libengine-gost-openssl1.1)
    if [ "$arch" = amd64 ]; then
      packages+=("${BUILD_PACKAGES[@]}")
      FOREIGN_PACKAGES=(libssl-dev:i386 libgtest-dev:i386)
    fi ;;
  trixie)
    # Debian 13 ships no gost engine for OpenSSL; the tests there use Debian
    # 12's (scripts/test.sh hands it over).
    # pcscd there depends on polkitd, whose own dependencies have
    # alternatives that debootstrap cannot resolve: apt installs it afterwards.
    packages=()
    for p in "${TEST_PACKAGES[@]}"; do [ "$p" = pcscd ] || packages+=("$p"); done
    APT_PACKAGES=(pcscd)
    if [ "$arch" = amd64 ]; then
      packages+=("${BUILD_PACKAGES[@]}")
      FOREIGN_PACKAGES=(libssl-dev:i386 libgtest-dev:i386)
    fi ;;
  *) echo "$0: unknown suite $suite (bullseye or trixie)" >&2; exit 2 ;;
esac

# Bump when the way a root is made changes, so that cached roots are remade.
RECIPE=2
key_text="recipe $RECIPE; $suite $arch minbase; ${packages[*]}; foreign ${FOREIGN_PACKAGES[*]}"
[ ${#APT_PACKAGES[@]} -eq 0 ] || key_text+="; apt ${APT_PACKAGES[*]}"
key=$(printf '%s' "$key_text" | sha256sum | cut -c1-12)
cached=$cache/$suite-$arch-$key

make_root() {
  [ -f "$cached/.card-root-complete" ] && return 0
  [ "$(id -u)" -eq 0 ] || { echo "$0: making a Debian root needs root" >&2; return 1; }
  command -v debootstrap > /dev/null || { echo "$0: debootstrap is not installed" >&2; return 1; }
  mkdir -p "$cache"
  exec 8> "$cache/$suite-$arch.lock"
  flock 8
  # Another run may have made it while this one waited.
  [ -f "$cached/.card-root-complete" ] && return 0
  local uri partial=$cached.partial log=$cached.log include
  uri=$(bash "$root/scripts/debian-mirror.sh") || return 1
  include=$(IFS=,; echo "${packages[*]}")
  echo "making the Debian $suite $arch root in $cached from $uri (log: $log)" >&2
  local try ok=false
  : > "$log"
  # One more try after a failed download: a mirror's hiccup should not fail a run.
  for try in 1 2; do
    rm -rf "$partial"
    if debootstrap --variant=minbase --arch="$arch" --include="$include" \
        "$suite" "$partial" "$uri" >> "$log" 2>&1; then
      ok=true; break
    fi
    echo "debootstrap $suite $arch failed (try $try)" | tee -a "$log" >&2
    cp "$partial/debootstrap/debootstrap.log" "$log.try$try" 2> /dev/null || true
  done
  if ! $ok; then
    tail -n 20 "$log" >&2
    echo "$0: could not make the Debian $suite $arch root from $uri: is the archive reachable? (log: $log)" >&2
    return 1
  fi
  # What debootstrap cannot install: packages of the other architecture, and
  # those whose dependencies need apt's resolver.
  local later=("${APT_PACKAGES[@]}" "${FOREIGN_PACKAGES[@]}")
  if [ ${#later[@]} -gt 0 ]; then
    local foreign=""
    [ ${#FOREIGN_PACKAGES[@]} -eq 0 ] || foreign="dpkg --add-architecture i386"
    if ! chroot "$partial" /bin/sh -c "
        set -e
        $foreign
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends ${later[*]}
        apt-get clean" >> "$log" 2>&1; then
      tail -n 20 "$log" >&2
      echo "$0: could not install ${later[*]} in the $suite $arch root (log: $log)" >&2
      return 1
    fi
  fi
  chroot "$partial" apt-get clean
  echo "$key_text" > "$partial/.card-root-complete"
  mv "$partial" "$cached"
  # Older roots of this suite and architecture are no longer used.
  local old
  for old in "$cache/$suite-$arch"-*; do
    case "$old" in "$cached" | "$cached.log") ;; *) rm -rf "$old" ;; esac
  done
}

state=$root/build/roots/$suite-$abi
case "$action" in
  make)
    make_root
    echo "$cached" ;;
  reset)
    rm -rf "$state" ;;
  run)
    [ $# -ge 1 ] || usage
    make_root
    mkdir -p "$state/upper" "$state/work" "$state/merged" "$root/build/in-root/$suite"
    # The command's arguments travel in the environment, one quoted string.
    LOWER=$cached STATE=$state SRC_DIR=$root BUILD_DIR=$root/build/in-root/$suite \
    ROOT_CMD=$(printf '%q ' "$@") unshare -m bash -c '
      set -e
      mount --make-rprivate /
      merged=$STATE/merged
      mount -t overlay overlay -o "lowerdir=$LOWER,upperdir=$STATE/upper,workdir=$STATE/work" "$merged"
      mount -t proc proc "$merged/proc"
      mount --rbind /dev "$merged/dev"
      mount -t tmpfs -o mode=1777 tmpfs "$merged/tmp"
      mkdir -p "$merged/src" "$merged/build"
      mount --bind "$SRC_DIR" "$merged/src"
      mount -o remount,bind,ro "$merged/src"
      mount --bind "$BUILD_DIR" "$merged/build"
      exec chroot "$merged" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
        HOME=/root LANG=C.UTF-8 CI="${CI:-}" /bin/bash -c "$ROOT_CMD"' ;;
  *) usage ;;
esac
