#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs what is missing, builds
# both ABIs (x86_64 and 32-bit x86), runs every test of each, then the suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer, then the bounded
# fuzz runs. Prints a summary and exits non-zero on any failure.
#
#   scripts/test.sh                 everything
#   STAGES="x86_64 i386" scripts/test.sh   only the named stages
#                                   (x86_64, i386, asan, asan-i386, fuzz)
#   FUZZ_SECONDS=N                  time per fuzz target (default 30)
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
stages=${STAGES:-"x86_64 i386 asan asan-i386 fuzz"}
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/install-deps.sh || { echo "installing the build and test packages failed"; exit 1; }

# Only one pcscd can run on a machine, and the reader tests start their own on
# private ports. One that the package's installation started would stand in
# their way: on CI machines it is stopped; elsewhere the tests say so and fail.
if [ "${CI:-}" = true ] && pgrep -x pcscd > /dev/null; then
  echo "stopping the pcscd that is already running, so that the reader tests can start theirs"
  pkill -x pcscd; sleep 1
fi

extras=$root/build/i386-extras
if [[ " $stages " == *" i386 "* || " $stages " == *" asan-i386 "* ]]; then
  bash scripts/i386-extras.sh "$extras" >/dev/null || { echo "fetching the i386 test modules failed"; exit 1; }
fi

# SoftHSM2 built with GOST for each ABI the stages test (cached under build/; the
# sanitizer trees reuse the plain build): the real GOST token test's module.
gost_module_x86_64=() gost_module_i386=()
if [[ " $stages " == *" x86_64 "* || " $stages " == *" asan "* ]]; then
  module=$(bash scripts/softhsm-gost.sh x86_64 "$root/build/softhsm-gost") ||
    { echo "building SoftHSM2 with GOST (x86_64) failed"; exit 1; }
  gost_module_x86_64=(-DSOFTHSM2_GOST_MODULE="$module")
fi
if [[ " $stages " == *" i386 "* || " $stages " == *" asan-i386 "* ]]; then
  module=$(OPENSSL_ENGINES="$extras/usr/lib/i386-linux-gnu/engines-3" \
    bash scripts/softhsm-gost.sh i386 "$root/build/softhsm-gost") ||
    { echo "building SoftHSM2 with GOST (i386) failed"; exit 1; }
  gost_module_i386=(-DSOFTHSM2_GOST_MODULE="$module")
fi

declare -a summary=()
status=0

# configure_and_test NAME BUILD_DIR [cmake args...]
configure_and_test() {
  local name=$1 dir=$2
  shift 2
  echo "=== $name: configure and build in $dir"
  if ! cmake -S "$root" -B "$dir" "$@" > "$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; summary+=("$name: configure FAILED"); status=1; return
  fi
  if ! cmake --build "$dir" -j"$jobs" > "$dir.build.log" 2>&1; then
    grep -E "error|Error" "$dir.build.log" | head -n 40
    summary+=("$name: build FAILED (see $dir.build.log)"); status=1; return
  fi
  echo "=== $name: ctest"
  local log=$dir.ctest.log
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600 2>&1 | tee "$log" | grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' || true
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -n 1)
  if [ -z "$line" ] || ! grep -qE '^100% tests passed' <<< "$line"; then
    summary+=("$name: ${line:-ctest did not finish}"); status=1
  else
    summary+=("$name: $line")
  fi
}

mkdir -p build
for stage in $stages; do
  case "$stage" in
    x86_64) configure_and_test x86_64 build/x86_64 "${gost_module_x86_64[@]}" ;;
    i386) configure_and_test i386 build/i386 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386.cmake" \
            -DI386_EXTRAS="$extras" \
            -DGOST_ENGINES_DIR="$extras/usr/lib/i386-linux-gnu/engines-3" "${gost_module_i386[@]}" ;;
    asan) ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            configure_and_test asan-x86_64 build/asan-x86_64 -DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
            "${gost_module_x86_64[@]}" ;;
    asan-i386) ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            configure_and_test asan-i386 build/asan-i386 -DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386.cmake" -DI386_EXTRAS="$extras" \
            -DGOST_ENGINES_DIR="$extras/usr/lib/i386-linux-gnu/engines-3" "${gost_module_i386[@]}" ;;
    fuzz)
      if [ -f scripts/fuzz.sh ]; then
        echo "=== fuzz: bounded runs"
        if bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"; then summary+=("fuzz: clean")
        else summary+=("fuzz: FAILED"); status=1; fi
      fi ;;
    *) echo "unknown stage $stage"; status=1 ;;
  esac
done

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
if [ "$status" -eq 0 ]; then echo "all stages passed"; else echo "some stages FAILED"; fi
exit "$status"
