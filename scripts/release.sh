#!/usr/bin/env bash
# The release: tovrel, marbek and quillet for 32-bit (i386) and 64-bit (x86_64)
# Linux, built inside a Debian 11 root with its own GCC and a statically linked
# C++ runtime, and packaged as .deb, .rpm and .tar.gz.
#
#   scripts/release.sh [i386] [x86_64]     (default: both)
#
# Results, per ABI:
#   build/release/<abi>/bin/{tovrel,marbek,quillet}   the release binaries (with debug information)
#   build/release/<abi>/packages/                     card-helpers_<v>_<arch>.deb,
#                                                     card-helpers-<v>-1.<arch>.rpm,
#                                                     card-helpers-<v>-linux-<arch>.tar.gz (stripped),
#                                                     SHA256SUMS (of the three)
#   build/release/<abi>/SOURCE_DATE_EPOCH             the time the build took from the commit
# Both ABIs are compiled in the Debian 11 amd64 root (scripts/debian-root.sh),
# the i386 one with its multilib compiler (gcc -m32), which uses the same
# glibc 2.31 headers and libraries as the i386 root and runs at native speed
# on every machine. The build trees are build/in-root/bullseye/release-<abi>
# (/build/release-<abi> inside the roots), where the i386 tree's tests are
# then run in the i386 root. The binaries need glibc 2.4 (i386) or 2.14
# (x86_64) and nothing beyond libc, libdl and the dynamic loader; the build
# trees' install/binary tests check it.
#
# Reproducible: every build starts from an empty tree, takes its time from the
# last commit (SOURCE_DATE_EPOCH, unless set already), maps the build folders
# out of the binaries (CMakeLists.txt) and writes archives whose members are
# sorted and carry fixed owners, modes and times, so two builds of one commit
# give the same bytes; scripts/reproducible.sh proves it.
#   RELEASE_TREE    the build trees inside the root are RELEASE_TREE-<abi>
#                   (default /build/release)
#   RELEASE_TARGET  what to build before cpack (default all; packaged: only
#                   what the packages hold, without the tests)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
abis=("$@")
[ ${#abis[@]} -gt 0 ] || abis=(i386 x86_64)
for abi in "${abis[@]}"; do
  case "$abi" in i386 | x86_64) ;; *) echo "$0: unknown ABI $abi" >&2; exit 2 ;; esac
done

bash "$root/scripts/install-deps.sh" > /dev/null || { echo "$0: installing the host packages failed" >&2; exit 1; }
# The i386 tree's unit tests are listed by running them while it is built.
bash "$root/scripts/i386-exec.sh" > /dev/null || exit 1
bash "$root/scripts/debian-root.sh" make bullseye x86_64 > /dev/null ||
  { echo "$0: no Debian 11 root, so no release build" >&2; exit 1; }

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2> /dev/null) ||
    { echo "$0: no commit to take the time from: set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
[[ "$SOURCE_DATE_EPOCH" =~ ^[0-9]+$ ]] || { echo "$0: SOURCE_DATE_EPOCH is not a number" >&2; exit 1; }
target=${RELEASE_TARGET:-all}

jobs=$(nproc 2> /dev/null || echo 2)
mkdir -p "$root/build"
for abi in "${abis[@]}"; do
  echo "=== release $abi: build and package in the Debian 11 root"
  toolchain=""
  [ "$abi" = i386 ] && toolchain="-DCMAKE_TOOLCHAIN_FILE=/src/cmake/i386.cmake"
  tree=${RELEASE_TREE:-/build/release}-$abi
  log=$root/build/release-$abi.log
  if ! bash "$root/scripts/debian-root.sh" run bullseye x86_64 bash -c "
      set -e
      umask 022
      export SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH
      rm -rf $tree
      cmake -S /src -B $tree $toolchain -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCARD_RELEASE=ON \
            -DCARD_ROOT_SUITE=bullseye -DRELEASE_PACKAGES_DIR=$tree/packages
      cmake --build $tree -j$jobs --target $target
      cd $tree && cpack -G 'DEB;RPM;TGZ' -B $tree/packages
      rm -rf $tree/packages/_CPack_Packages
      # CPack's .deb is sorted already; its archive lists the members in the
      # file system's order: again in name order, with fixed owners and times.
      cd $tree/packages
      for archive in card-helpers-*.tar.gz; do
        top=\${archive%.tar.gz}
        rm -rf /tmp/card-archive && mkdir /tmp/card-archive
        tar -xzf \$archive -C /tmp/card-archive
        tar -C /tmp/card-archive --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
            --mtime=@$SOURCE_DATE_EPOCH -cf - \$top | gzip -9n > \$archive
        rm -rf /tmp/card-archive
      done
      # Checked with: sha256sum --check SHA256SUMS
      sha256sum card-helpers* > SHA256SUMS" > "$log" 2>&1; then
    grep -E 'error|Error|CPack' "$log" | tail -n 30
    echo "$0: the $abi release build failed (log: $log)" >&2
    exit 1
  fi
  built=$root/build/in-root/bullseye${tree#/build}
  out=$root/build/release/$abi
  rm -rf "$out"
  mkdir -p "$out/bin" "$out/packages"
  cp "$built/bridge/tovrel" "$built/bridge/marbek" "$built/lister/quillet" "$out/bin/"
  cp "$built"/packages/card-helpers* "$built/packages/SHA256SUMS" "$out/packages/"
  echo "$SOURCE_DATE_EPOCH" > "$out/SOURCE_DATE_EPOCH"
  ls "$out/packages"
done
