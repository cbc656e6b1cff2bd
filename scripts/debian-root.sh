#!/usr/bin/env bash
# Debian roots for the release build and for testing on the oldest, the
# machine's own and the newest distributions we support: Debian 11 (bullseye:
# glibc 2.31, GCC 10, OpenSC 0.21), 12 (bookworm) and 13 (trixie: glibc 2.41,
# OpenSC 0.26). The machine's own dpkg is never changed for them: every i386
# package the tests need is installed in a root.
#
#   scripts/debian-root.sh make SUITE ABI
#       makes the root (debootstrap from the Debian archive) unless the cache
#       already holds it, and prints its folder. bullseye has an i386 and an
#       x86_64 root; bookworm and trixie an x86_64 one, with i386 added as a
#       foreign architecture, in which the i386 trees are built and tested.
#   scripts/debian-root.sh run SUITE ABI COMMAND...
#       runs COMMAND as root inside the root (making it first if needed), in
#       /src, the source tree. scripts/in-root.sh is the short form for the
#       Debian 12 root.
#
# The roots are kept in a cache outside the clone, so that they survive from
# one run to the next on the same machine: CARD_ROOT_CACHE, by default
# /var/cache/card-helpers/roots. A root's folder is named after the suite, the
# architecture and a key of everything that goes into it, and is renamed into
# place only once it is complete; a root that is being made is locked, so two
# runs never make the same root at once. A root uses only the main suite of its
# release (what debootstrap writes in its sources list), whose indexes change
# at point releases, not daily; apt-get there goes on without an index the
# archive serves mid-sync (scripts/apt-tolerant.sh).
#
# The cached root is never written to. `run` mounts it as the lower layer of
# an overlay whose upper layer lives in the clone (build/roots/SUITE-ABI, or
# build/roots/$ROOT_STATE), so what a command installs or changes stays with
# this clone until `reset`:
#   scripts/debian-root.sh reset SUITE ABI
# The clone's build/in-root/SUITE is mounted at /build in the roots of a
# suite (the i386 release tree is compiled in the amd64 root and tested in the
# i386 one), the source tree read-only at /src with the clone's build folder
# writable at /src/build (so that the presets work there as on the machine),
# the SoftHSM2 build cache at /cache/softhsm-gost, a private tmpfs at /tmp, and
# /proc and /dev, all in a private mount namespace.
#
# On a machine that runs i386 programs only through emulation (binfmt_misc
# with the F flag, as scripts/test.sh registers it) the i386 programs in the
# roots run the same way, only slower.
#
# Fails with a message when the archive cannot be reached; it never falls
# back to anything else.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${CARD_ROOT_CACHE:-${CARD_CACHE:-/var/cache/card-helpers}/roots}
softhsm_cache=${CARD_CACHE:-/var/cache/card-helpers}/softhsm-gost

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

# What each root holds. Debian 11 keeps a pure i386 root, as 32-bit
# installations of that release are common; its amd64 root builds the release
# for both ABIs (g++-multilib and the i386 development packages for the
# 32-bit tree) and runs the x86_64 suite. Debian 12 and 13 have amd64 roots
# only, with the i386 runtime installed as a foreign architecture (multiarch:
# a 32-bit program on a 64-bit system, as the field runs them now): Debian 12's
# builds and tests the i386 trees of this machine's presets, Debian 13's
# installs the release packages of both ABIs and runs the suite with them.
# SoftHSM2 and the gost engine cannot be installed for i386 beside their amd64
# packages: their i386 builds are unpacked into /usr/local/lib/i386-extras
# (EXTRA_PACKAGES; not under /opt, which the marbek tests cover with a tmpfs).
extras_dir=/usr/local/lib/i386-extras
TEST_PACKAGES=(cmake python3 openssl opensc opensc-pkcs11 pcscd vsmartcard-vpcd softhsm2
  p11-kit-modules ca-certificates procps iproute2 file binutils dpkg-dev rpm rpm2cpio cpio)
BUILD_PACKAGES=(g++ g++-multilib make pkg-config libp11-kit-dev libssl-dev libgtest-dev)
# What a 32-bit tree needs to run its whole suite beside the amd64 tools.
I386_RUNTIME=(libc6:i386 libstdc++6:i386 libssl-dev:i386 libgtest-dev:i386 libp11-kit-dev:i386
  opensc-pkcs11:i386 libpcsclite1:i386 p11-kit-modules:i386)
FOREIGN_PACKAGES=() APT_PACKAGES=() EXTRA_PACKAGES=()
case "$suite-$arch" in
  bullseye-amd64)
    packages=("${TEST_PACKAGES[@]}" libengine-gost-openssl1.1 "${BUILD_PACKAGES[@]}")
    FOREIGN_PACKAGES=(libssl-dev:i386 libgtest-dev:i386) ;;
  bullseye-i386)
    packages=("${TEST_PACKAGES[@]}" libengine-gost-openssl1.1) ;;
  bookworm-amd64)
    # Also what scripts/softhsm-gost.sh needs to build SoftHSM2 for i386, and
    # the package checks of the i386 trees (whose dependencies debootstrap
    # cannot configure in order: apt installs them afterwards).
    packages=("${TEST_PACKAGES[@]}" libengine-gost-openssl "${BUILD_PACKAGES[@]}" patch xz-utils)
    APT_PACKAGES=(lintian rpmlint man-db)
    FOREIGN_PACKAGES=("${I386_RUNTIME[@]}" libsqlite3-0:i386)
    EXTRA_PACKAGES=(libengine-gost-openssl softhsm2-common libsofthsm2 softhsm2) ;;
  trixie-amd64)
    # Debian 13 ships no gost engine for OpenSSL; the tests there use Debian
    # 12's (scripts/test.sh hands it over).
    # pcscd there depends on polkitd, whose own dependencies have
    # alternatives that debootstrap cannot resolve: apt installs it, and the
    # reader driver that depends on it, afterwards.
    APT_PACKAGES=(pcscd vsmartcard-vpcd)
    packages=()
    for p in "${TEST_PACKAGES[@]}"; do
      [[ " ${APT_PACKAGES[*]} " == *" $p "* ]] || packages+=("$p")
    done
    packages+=("${BUILD_PACKAGES[@]}")
    FOREIGN_PACKAGES=("${I386_RUNTIME[@]}" libsqlite3-0:i386)
    EXTRA_PACKAGES=(softhsm2-common libsofthsm2 softhsm2) ;;
  bullseye-* | bookworm-* | trixie-*)
    echo "$0: no $suite root for $abi: Debian 12 and 13 are tested in their amd64 roots," \
      "with i386 as a foreign architecture" >&2; exit 2 ;;
  *) echo "$0: unknown suite $suite (bullseye, bookworm or trixie)" >&2; exit 2 ;;
esac

# Bump when the way a root is made changes, so that cached roots are remade.
RECIPE=3
key_text="recipe $RECIPE; $suite $arch minbase; ${packages[*]}; foreign ${FOREIGN_PACKAGES[*]}"
[ ${#APT_PACKAGES[@]} -eq 0 ] || key_text+="; apt ${APT_PACKAGES[*]}"
[ ${#EXTRA_PACKAGES[@]} -eq 0 ] || key_text+="; extras ${EXTRA_PACKAGES[*]} in $extras_dir"
key=$(printf '%s' "$key_text" | sha256sum | cut -c1-12)
cached=$cache/$suite-$arch-$key

# Seconds between tries of a download (debootstrap here, apt-get inside).
retry_delay=${APT_RETRY_DELAY:-30}

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
  # debootstrap fetches the main suite of the release only, whose indexes
  # change at point releases; a mirror's hiccup gets two more tries.
  for try in 1 2 3; do
    rm -rf "$partial"
    if debootstrap --variant=minbase --arch="$arch" --include="$include" \
        "$suite" "$partial" "$uri" >> "$log" 2>&1; then
      ok=true; break
    fi
    echo "debootstrap $suite $arch failed (try $try of 3)" | tee -a "$log" >&2
    cp "$partial/debootstrap/debootstrap.log" "$log.try$try" 2> /dev/null || true
    [ "$try" -eq 3 ] || sleep "$retry_delay"
  done
  if ! $ok; then
    tail -n 20 "$log" >&2
    echo "$0: could not make the Debian $suite $arch root from $uri: is the archive reachable? (log: $log)" >&2
    return 1
  fi
  # What debootstrap cannot install: packages of the other architecture, those
  # whose dependencies need apt's resolver, and the i386 builds that are
  # unpacked rather than installed. apt-get there is as tolerant of a missing
  # index as on the machine.
  local later=("${APT_PACKAGES[@]}" "${FOREIGN_PACKAGES[@]}")
  if [ ${#later[@]} -gt 0 ] || [ ${#EXTRA_PACKAGES[@]} -gt 0 ]; then
    cp "$root/scripts/apt-tolerant.sh" "$partial/tmp/apt-tolerant.sh"
    local foreign="" extras=""
    [ ${#FOREIGN_PACKAGES[@]} -eq 0 ] && [ ${#EXTRA_PACKAGES[@]} -eq 0 ] ||
      foreign="dpkg --add-architecture i386"
    if [ ${#later[@]} -gt 0 ]; then
      later=(bash /tmp/apt-tolerant.sh install "${later[@]}")
    else
      later=(bash /tmp/apt-tolerant.sh update)
    fi
    if [ ${#EXTRA_PACKAGES[@]} -gt 0 ]; then
      extras="mkdir -p /tmp/extras $extras_dir && cd /tmp/extras
        for p in ${EXTRA_PACKAGES[*]}; do
          apt-get download -q \$p:i386 || { sleep $retry_delay; apt-get download -q \$p:i386; }
        done
        for deb in *.deb; do dpkg-deb -x \$deb $extras_dir; done
        cd / && rm -rf /tmp/extras"
    fi
    if ! chroot "$partial" /usr/bin/env APT_RETRY_DELAY="$retry_delay" /bin/bash -c "
        set -e
        $foreign
        ${later[*]}
        $extras
        apt-get clean
        rm -f /tmp/apt-tolerant.sh" >> "$log" 2>&1; then
      tail -n 20 "$log" >&2
      echo "$0: could not install ${APT_PACKAGES[*]} ${FOREIGN_PACKAGES[*]} ${EXTRA_PACKAGES[*]} in the $suite $arch root (log: $log)" >&2
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

# The overlay's state: one per root, or ROOT_STATE for a throwaway one.
state=$root/build/roots/${ROOT_STATE:-$suite-$abi}
case "$action" in
  make)
    make_root
    echo "$cached" ;;
  reset)
    rm -rf "$state" ;;
  run)
    [ $# -ge 1 ] || usage
    make_root
    mkdir -p "$state/upper" "$state/work" "$state/merged" "$root/build/in-root/$suite" \
      "$softhsm_cache"
    # The command's arguments travel in the environment, one quoted string.
    LOWER=$cached STATE=$state SRC_DIR=$root BUILD_DIR=$root/build/in-root/$suite \
    SOFTHSM_CACHE=$softhsm_cache ROOT_CMD=$(printf '%q ' "$@") unshare -m bash -c '
      set -e
      mount --make-rprivate /
      merged=$STATE/merged
      mount -t overlay overlay -o "lowerdir=$LOWER,upperdir=$STATE/upper,workdir=$STATE/work" "$merged"
      mount -t proc proc "$merged/proc"
      mount --rbind /dev "$merged/dev"
      mount -t tmpfs -o mode=1777 tmpfs "$merged/tmp"
      mkdir -p "$merged/src" "$merged/build" "$merged/cache/softhsm-gost"
      mount --bind "$SRC_DIR" "$merged/src"
      mount -o remount,bind,ro "$merged/src"
      mount --bind "$SRC_DIR/build" "$merged/src/build"
      mount --bind "$BUILD_DIR" "$merged/build"
      mount --bind "$SOFTHSM_CACHE" "$merged/cache/softhsm-gost"
      exec chroot "$merged" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
        HOME=/root LANG=C.UTF-8 CI="${CI:-}" APT_RETRY_DELAY="${APT_RETRY_DELAY:-}" \
        /bin/bash -c "cd /src && $ROOT_CMD"' ;;
  *) usage ;;
esac
