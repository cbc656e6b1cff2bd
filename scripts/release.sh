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
#                                                     card-helpers-<v>-linux-<arch>.tar.gz (stripped)
# Both ABIs are compiled in the Debian 11 amd64 root (scripts/debian-root.sh),
# the i386 one with its multilib compiler (gcc -m32), which uses the same
# glibc 2.31 headers and libraries as the i386 root and runs at native speed
# on every machine. The build trees are build/in-root/bullseye/release-<abi>
# (/build/release-<abi> inside the roots), where the i386 tree's tests are
# then run in the i386 root. The binaries need glibc 2.4 (i386) or 2.14
# (x86_64) and nothing beyond libc, libdl and the dynamic loader; the build
# trees' install/binary tests check it.
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

jobs=$(nproc 2> /dev/null || echo 2)
for abi in "${abis[@]}"; do
  echo "=== release $abi: build and package in the Debian 11 root"
  toolchain=""
  [ "$abi" = i386 ] && toolchain="-DCMAKE_TOOLCHAIN_FILE=/src/cmake/i386.cmake"
  tree=/build/release-$abi
  log=$root/build/release-$abi.log
  if ! bash "$root/scripts/debian-root.sh" run bullseye x86_64 bash -c "
      set -e
      rm -rf $tree
      cmake -S /src -B $tree $toolchain -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCARD_RELEASE=ON \
            -DCARD_ROOT_SUITE=bullseye -DRELEASE_PACKAGES_DIR=$tree/packages
      cmake --build $tree -j$jobs
      cd $tree && cpack -G 'DEB;RPM;TGZ' -B $tree/packages
      rm -rf $tree/packages/_CPack_Packages" > "$log" 2>&1; then
    grep -E 'error|Error|CPack' "$log" | tail -n 30
    echo "$0: the $abi release build failed (log: $log)" >&2
    exit 1
  fi
  built=$root/build/in-root/bullseye/release-$abi
  out=$root/build/release/$abi
  rm -rf "$out"
  mkdir -p "$out/bin" "$out/packages"
  cp "$built/bridge/tovrel" "$built/bridge/marbek" "$built/lister/quillet" "$out/bin/"
  cp "$built"/packages/card-helpers* "$out/packages/"
  ls "$out/packages"
done
