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
#                                                     card-helpers-<v>-linux-<arch>.tar.gz (stripped),
#                                                     SHA256SUMS (of the three)
# The roots live in build/roots/<abi> (made once, about 700 MB each) and the
# release build tree inside them at /build/release (build/roots/<abi>/build/release).
# The binaries need glibc 2.4 (i386) or 2.14 (x86_64) and nothing beyond libc,
# libdl and the dynamic loader; the build tree's install/binary tests check it.
#
# Reproducible: every build starts from an empty tree, takes its time from the
# last commit (SOURCE_DATE_EPOCH, unless set already), maps the build folders
# out of the binaries (CMakeLists.txt) and writes archives whose members are
# sorted and carry fixed owners, modes and times, so two builds of one commit
# give the same bytes; scripts/reproducible.sh proves it.
#   RELEASE_TREE    the build tree inside the root (default /build/release)
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

# The roots are made in parallel: most of the time goes to the download.
pids=()
for abi in "${abis[@]}"; do
  bash "$root/scripts/bullseye-root.sh" "$abi" "$root/build/roots/$abi" &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid" || { echo "$0: no Debian 11 root, so no release build" >&2; exit 1; }
done

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2> /dev/null) ||
    { echo "$0: no commit to take the time from: set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
[[ "$SOURCE_DATE_EPOCH" =~ ^[0-9]+$ ]] || { echo "$0: SOURCE_DATE_EPOCH is not a number" >&2; exit 1; }
tree=${RELEASE_TREE:-/build/release}
target=${RELEASE_TARGET:-all}

jobs=$(nproc 2> /dev/null || echo 2)
for abi in "${abis[@]}"; do
  rootdir=$root/build/roots/$abi
  echo "=== release $abi: build and package inside the Debian 11 root"
  log=$root/build/release-$abi.log
  if ! bash "$root/scripts/bullseye-root.sh" run "$rootdir" bash -c "
      set -e
      umask 022
      export SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH
      rm -rf $tree
      cmake -S /src -B $tree -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCARD_RELEASE=ON \
            -DRELEASE_PACKAGES_DIR=$tree/packages
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
  out=$root/build/release/$abi
  rm -rf "$out"
  mkdir -p "$out/bin" "$out/packages"
  cp "$rootdir$tree/bridge/tovrel" "$rootdir$tree/bridge/marbek" "$rootdir$tree/lister/quillet" "$out/bin/"
  cp "$rootdir$tree"/packages/card-helpers* "$rootdir$tree/packages/SHA256SUMS" "$out/packages/"
  ls "$out/packages"
done
