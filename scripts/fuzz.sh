#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang into build/fuzz and runs
# each for a bounded time on a scratch copy of its committed seed corpus (the
# committed corpus is never grown), as many at once as there are cores. A
# target fails on its first crash, leak, timeout or sanitizer report; the
# offending input is kept under build/fuzz/artifacts/.
#
# The whole-run targets (whole-run-tovrel, whole-run-marbek, whole-run-quillet:
# tests/fuzz/wholerun) run the real programs under AFL++ in fork-server mode,
# built with afl-clang-fast and the sanitizers into build/fuzz-afl; a broken
# rule of the driver counts as a crash. Their queues stay in
# build/fuzz/run/<target>/, the inputs that broke a rule in
# build/fuzz/artifacts/<target>/.
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
whole_runs="whole-run-tovrel whole-run-marbek whole-run-quillet"
targets="${FUZZ_TARGETS:-$(cat "$build/fuzz-targets.txt") $whole_runs}"
[ -n "$targets" ] || { echo "fuzz: no targets" >&2; exit 1; }
for t in $targets; do
  if [[ "$t" != whole-run-* ]]; then
    cmake --build "$build" -j"$(nproc)" --target fuzz-targets
    break
  fi
done

# The whole-run tree. Classic edge instrumentation: the driver and the program
# it starts write into one map of a fixed size, which the per-binary edge
# numbering of the default mode would not give.
afl="$root/build/fuzz-afl"
case " $targets " in
  *" whole-run-"*)
    if [ -f "$afl/CMakeCache.txt" ] && ! grep -q "^CMAKE_HOME_DIRECTORY:INTERNAL=$root\$" "$afl/CMakeCache.txt"; then
      rm -rf "$afl"
    fi
    export AFL_LLVM_INSTRUMENT=CLASSIC AFL_QUIET=1
    CC=afl-clang-fast CXX=afl-clang-fast++ cmake -S "$root" -B "$afl" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DSANITIZE=ON >/dev/null
    cmake --build "$afl" -j"$(nproc)" --target whole-run tovrel marbek quillet
    ;;
esac
# No trimming: a script's trailing bytes often repeat what its end would
# default to, and once cut the fuzzer can no longer change those answers.
export AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_UI=1 AFL_NO_AFFINITY=1 \
  AFL_DISABLE_TRIM=1

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# run_whole TARGET WORK ARTIFACTS: one bounded AFL++ run of a whole-run target;
# its report on stdout, its status as the function's.
run_whole() {
  local t=$1 work=$2 artifacts=$3 variant=${1#whole-run-} program status=0
  program="$afl/bridge/$variant"
  [ "$variant" = quillet ] && program="$afl/lister/quillet"
  local driver=("$afl/tests/fuzz/wholerun/whole-run" --variant "$variant" --program "$program"
    --modules "$afl/tests/fuzz/wholerun")
  echo "== fuzz $t: ${seconds}s"
  # The driver's folders live in the target's own work folder, out of every
  # other run's way.
  mkdir -p "$work/tmp"
  # The sanitizer options the driver gives the programs (AFL++ wants no symbolizing).
  ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:symbolize=0:allocator_may_return_null=1 \
    UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1:symbolize=0 \
    TMPDIR="$work/tmp" afl-fuzz -V "$seconds" -m none -t 20000 -i "$root/tests/fuzz/wholerun/corpus/$variant" -o "$work" \
    -- "${driver[@]}" @@ >"$build/$t.log" 2>&1 || status=$?
  local stats="$work/default/fuzzer_stats"
  if [ -f "$stats" ]; then
    awk -F' *: *' '$1 ~ /^(execs_done|execs_per_sec|corpus_count|saved_crashes|saved_hangs)$/ {
      printf "   %s: %s\n", $1, $2 }' "$stats"
  fi
  local found=()
  for f in "$work"/default/crashes/id* "$work"/default/hangs/id*; do
    [ -f "$f" ] && found+=("$f")
  done
  if [ "$status" -ne 0 ] || [ ! -f "$stats" ]; then
    echo "   FAILED (afl-fuzz exit $status); log: $build/$t.log"
    tail -n 20 "$build/$t.log" | sed "s/^/   | /"
    return 1
  fi
  if [ "${#found[@]}" -ne 0 ]; then
    cp "${found[@]}" "$artifacts/"
    echo "   FAILED: ${#found[@]} input(s) broke a rule or hung; kept in $artifacts/"
    "${driver[@]}" "${found[0]}" 2>&1 | grep "^whole-run" | head -n 10 | sed "s/^/   | /"
    return 1
  fi
  echo "   ok"
}

# run_target TARGET: one bounded run; its report goes to $build/TARGET.report
# and "ok" or "failed" to $build/TARGET.result.
run_target() {
  local t=$1 work="$build/run/$1" artifacts="$build/artifacts/$1" status=0
  rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  if [[ "$t" == whole-run-* ]]; then
    run_whole "$t" "$work" "$artifacts" >"$build/$t.report" || status=$?
    if [ "$status" -eq 0 ]; then echo ok; else echo failed; fi >"$build/$t.result"
    return
  fi
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

# As many targets at once as there are cores (FUZZ_JOBS), the reports in order.
jobs=${FUZZ_JOBS:-$(nproc)}
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
