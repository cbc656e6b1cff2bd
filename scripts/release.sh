#!/usr/bin/env bash
# The release: tovrel, marbek and quillet for 32-bit (i386) and 64-bit (x86_64)
# Linux, built inside Debian 11 roots with their own GCC and a statically linked
# C++ runtime, and packaged as .deb, .rpm and .tar.gz.
#
#   scripts/release.sh [i386] [x86_64]     (default: both)
#
# Results, per ABI:
#   build/release/<abi>/bin/{tovrel,marbek,quillet}   the release binaries (with debug information)
#   build/release/<abi>/packages/                     card-helpers_<v>_<arch>.deb,
#                                                     card-helpers-<v>-1.<arch>.rpm,
#                                                     card-helpers-<v>-linux-<arch>.tar.gz (stripped)
# The roots live in build/roots/<abi> (made once, about 700 MB each) and the
# release build tree inside them at /build/release (build/roots/<abi>/build/release).
# The binaries need glibc 2.4 (i386) or 2.14 (x86_64) and nothing beyond libc,
# libdl and the dynamic loader; the build tree's install/binary tests check it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
abis=("$@")
[ ${#abis[@]} -gt 0 ] || abis=(i386 x86_64)
for abi in "${abis[@]}"; do
  case "$abi" in i386 | x86_64) ;; *) echo "$0: unknown ABI $abi" >&2; exit 2 ;; esac
done

bash "$root/scripts/install-deps.sh" > /dev/null || { echo "$0: installing the host packages failed" >&2; exit 1; }

# The roots are made in parallel: most of the time goes to the download.
pids=()
for abi in "${abis[@]}"; do
  bash "$root/scripts/bullseye-root.sh" "$abi" "$root/build/roots/$abi" &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid" || { echo "$0: no Debian 11 root, so no release build" >&2; exit 1; }
done

jobs=$(nproc 2> /dev/null || echo 2)
for abi in "${abis[@]}"; do
  rootdir=$root/build/roots/$abi
  echo "=== release $abi: build and package inside the Debian 11 root"
  log=$root/build/release-$abi.log
  if ! bash "$root/scripts/bullseye-root.sh" run "$rootdir" bash -c "
      set -e
      cmake -S /src -B /build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCARD_RELEASE=ON \
            -DRELEASE_PACKAGES_DIR=/build/release/packages
      cmake --build /build/release -j$jobs
      rm -rf /build/release/packages
      cd /build/release && cpack -G 'DEB;RPM;TGZ' -B /build/release/packages
      rm -rf /build/release/packages/_CPack_Packages" > "$log" 2>&1; then
    grep -E 'error|Error|CPack' "$log" | tail -n 30
    echo "$0: the $abi release build failed (log: $log)" >&2
    exit 1
  fi
  out=$root/build/release/$abi
  rm -rf "$out"
  mkdir -p "$out/bin" "$out/packages"
  cp "$rootdir/build/release/bridge/tovrel" "$rootdir/build/release/bridge/marbek" \
    "$rootdir/build/release/lister/quillet" "$out/bin/"
  cp "$rootdir"/build/release/packages/card-helpers* "$out/packages/"
  ls "$out/packages"
done
