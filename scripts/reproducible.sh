#!/usr/bin/env bash
# Proves the release reproducible: builds it a second time, later, from a copy
# of the source in another folder and in another build tree inside the root,
# with the same time (SOURCE_DATE_EPOCH of the last commit), and compares each
# package and SHA256SUMS with those of the first build, byte for byte (cmp).
# Where they differ, diffoscope's report (when it is installed) says how.
#
#   scripts/release.sh [ABI...] && scripts/reproducible.sh [ABI...]
#
# The second build reuses the cached Debian 11 root (scripts/debian-root.sh;
# the copy gets its own overlay and /build), builds in another tree inside it
# (RELEASE_TREE) and only what the packages hold (RELEASE_TARGET=packaged),
# not the tests. The copy holds what the first build saw: the working tree
# without build/ and .git, uncommitted changes included, with every file's
# time the present one, as a fresh clone has them. Everything of the second
# build stays under build/reproducible/, with diffoscope's full reports.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
abis=("$@")
[ ${#abis[@]} -gt 0 ] || abis=(i386 x86_64)
for abi in "${abis[@]}"; do
  case "$abi" in i386 | x86_64) ;; *) echo "$0: unknown ABI $abi" >&2; exit 2 ;; esac
  compgen -G "$root/build/release/$abi/packages/card-helpers*" > /dev/null ||
    { echo "$0: no $abi release in build/release/$abi: run scripts/release.sh first" >&2; exit 1; }
done
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2> /dev/null) ||
    { echo "$0: no commit to take the time from: set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
export SOURCE_DATE_EPOCH
for abi in "${abis[@]}"; do
  [ "$(cat "$root/build/release/$abi/SOURCE_DATE_EPOCH" 2> /dev/null)" = "$SOURCE_DATE_EPOCH" ] ||
    { echo "$0: the $abi release in build/release is not of the last commit: run scripts/release.sh again" >&2; exit 1; }
done

work=$root/build/reproducible
rm -rf "$work"
mkdir -p "$work/source"
# Files of the copy get the present time, as in a fresh clone.
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/source" --touch -xf -

echo "=== reproducible: the release again, from $work/source"
if ! RELEASE_TREE=/build/release-again RELEASE_TARGET=packaged \
    bash "$work/source/scripts/release.sh" "${abis[@]}" > "$work/release.log" 2>&1; then
  tail -n 30 "$work/release.log"
  echo "$0: the second release build failed (log: $work/release.log)" >&2
  exit 1
fi

differ=0 same=0
for abi in "${abis[@]}"; do
  first=$root/build/release/$abi/packages second=$work/source/build/release/$abi/packages
  names=$( (cd "$first" && ls; cd "$second" && ls) | sort -u)
  for name in $names; do
    if cmp -s "$first/$name" "$second/$name"; then
      same=$((same + 1))
      continue
    fi
    differ=$((differ + 1))
    echo "DIFFERS: $abi/$name"
    cmp "$first/$name" "$second/$name" || true
    if [ -f "$first/$name" ] && [ -f "$second/$name" ] && command -v diffoscope > /dev/null; then
      report=$work/$abi-$name.diffoscope.txt
      diffoscope --text "$report" "$first/$name" "$second/$name" > /dev/null 2>&1 || true
      head -n 200 "$report"
      echo "(diffoscope's whole report: $report)"
    fi
  done
done
if [ "$differ" -ne 0 ]; then
  echo "$0: $differ file(s) differ between two builds of one source" >&2
  exit 1
fi
echo "reproducible: $same files byte-identical in two builds (${abis[*]})"
