#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang into build/fuzz and runs
# each for a bounded time on a scratch copy of its committed seed corpus (the
# committed corpus is never grown). Fails on the first crash, leak, timeout or
# sanitizer report; the offending input is kept under build/fuzz/artifacts/.
#
#   scripts/fuzz.sh [seconds-per-target]     (default 30)
#   FUZZ_TARGETS="base64_decode sha1_digest" scripts/fuzz.sh 600  # a subset, longer
set -euo pipefail

seconds="${1:-30}"
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [seconds-per-target]" >&2; exit 2 ;;
esac

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"

# The project's own tree, built with clang, AddressSanitizer and UBSan, with
# the fuzz targets linked to libFuzzer (FUZZING) rather than to the replay
# driver that every other tree uses. A folder left by an older layout of the
# fuzz build is made anew.
if [ -f "$build/CMakeCache.txt" ] && ! grep -q "^CMAKE_HOME_DIRECTORY:INTERNAL=$root\$" "$build/CMakeCache.txt"; then
  rm -rf "$build"
fi
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=ON -DFUZZING=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz-targets

targets="${FUZZ_TARGETS:-$(cat "$build/fuzz-targets.txt")}"
[ -n "$targets" ] || { echo "fuzz: no targets" >&2; exit 1; }

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
for t in $targets; do
  work="$build/run/$t"
  artifacts="$build/artifacts/$t"
  rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  cp -R "$root/tests/fuzz/corpus/$t/." "$work/"
  echo "== fuzz $t: ${seconds}s"
  if "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" >"$build/$t.log" 2>&1; then
    grep -E "^stat::(number_of_executed_units|new_units_added)" "$build/$t.log" | sed "s/^/   /" || true
    # A sanitizer report that did not stop the run still counts as a failure.
    if grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer)|runtime error:" "$build/$t.log"; then
      echo "   FAILED: sanitizer report in $build/$t.log"
      failed+=("$t")
    else
      echo "   ok"
    fi
  else
    echo "   FAILED (exit $?); log: $build/$t.log; inputs: $artifacts/"
    tail -n 40 "$build/$t.log" | sed "s/^/   | /"
    failed+=("$t")
  fi
done

if [ "${#failed[@]}" -ne 0 ]; then
  echo "fuzz: failing targets: ${failed[*]}"
  exit 1
fi
echo "fuzz: all targets clean"
