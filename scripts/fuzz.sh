#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang into build/fuzz and runs
# each for a bounded time on a scratch copy of its committed seed corpus (the
# committed corpus is never grown), as many at once as there are cores. A
# target fails on its first crash, leak, timeout or sanitizer report; the
# offending input is kept under build/fuzz/artifacts/.
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

# run_target TARGET: one bounded run; its report goes to $build/TARGET.report
# and "ok" or "failed" to $build/TARGET.result.
run_target() {
  local t=$1 work="$build/run/$1" artifacts="$build/artifacts/$1" status=0
  rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  cp -R "$root/tests/fuzz/corpus/$t/." "$work/"
  {
    echo "== fuzz $t: ${seconds}s"
    "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" >"$build/$t.log" 2>&1 || status=$?
    if [ "$status" -eq 0 ]; then
      grep -E "^stat::(number_of_executed_units|new_units_added)" "$build/$t.log" | sed "s/^/   /" || true
      # A sanitizer report that did not stop the run still counts as a failure.
      if grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer)|runtime error:" "$build/$t.log"; then
        echo "   FAILED: sanitizer report in $build/$t.log"
        status=1
      else
        echo "   ok"
      fi
    else
      echo "   FAILED (exit $status); log: $build/$t.log; inputs: $artifacts/"
      tail -n 40 "$build/$t.log" | sed "s/^/   | /"
    fi
  } >"$build/$t.report"
  if [ "$status" -eq 0 ]; then echo ok; else echo failed; fi >"$build/$t.result"
}

# As many targets at once as there are cores; the reports are shown in order.
jobs=$(nproc)
running=0
for t in $targets; do
  rm -f "$build/$t.result" "$build/$t.report"
  run_target "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=()
for t in $targets; do
  cat "$build/$t.report" 2>/dev/null || echo "== fuzz $t: no report"
  [ "$(cat "$build/$t.result" 2>/dev/null)" = ok ] || failed+=("$t")
done

if [ "${#failed[@]}" -ne 0 ]; then
  echo "fuzz: failing targets: ${failed[*]}"
  exit 1
fi
echo "fuzz: all targets clean"
