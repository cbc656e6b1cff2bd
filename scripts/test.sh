#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs what is missing, builds
# both ABIs (x86_64 and 32-bit x86), runs every test of each, then the suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer, then builds the
# release binaries and packages inside Debian 11 roots (a second time too, to
# show that the packages come out the same) and runs the whole suite with them
# there and on this host, then the bounded fuzz runs. Prints a
# summary (passed, failed and skipped tests per stage, with the names of the
# skipped and failed ones) and exits non-zero on any failure.
#
#   scripts/test.sh                 everything
#   STAGES="x86_64 i386" scripts/test.sh   only the named stages
#                                   (x86_64, i386, asan, asan-i386, release, fuzz)
#   FUZZ_SECONDS=N                  time per fuzz target (default 30)
#
# Skipped tests: a test skips (exit 77) only where the machine cannot give it
# what it needs (not root, a component not installed). The release stages
# never allow a skip. On CI (CI=true) no stage allows one: a green summary
# means every test ran.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
stages=${STAGES:-"x86_64 i386 asan asan-i386 release fuzz"}
jobs=$(nproc 2>/dev/null || echo 2)
on_ci=false
[ "${CI:-}" = true ] && on_ci=true

bash scripts/install-deps.sh || { echo "installing the build and test packages failed"; exit 1; }

# Only one pcscd can run on a machine, and the reader tests start their own on
# private ports. One that the package's installation started would stand in
# their way: on CI machines it is stopped; elsewhere the tests say so and fail.
if $on_ci && pgrep -x pcscd > /dev/null; then
  echo "stopping the pcscd that is already running, so that the reader tests can start theirs"
  pkill -x pcscd; sleep 1
fi

# wants STAGE...: true when one of them is to run.
wants() {
  local s
  for s; do [[ " $stages " == *" $s "* ]] && return 0; done
  return 1
}

extras=$root/build/i386-extras
if wants i386 asan-i386 release; then
  bash scripts/i386-extras.sh "$extras" >/dev/null || { echo "fetching the i386 test modules failed"; exit 1; }
fi

# SoftHSM2 built with GOST for each ABI the stages test (cached under build/; the
# sanitizer trees reuse the plain build): the real GOST token test's module.
gost_module_x86_64=() gost_module_i386=()
if wants x86_64 asan release; then
  module=$(bash scripts/softhsm-gost.sh x86_64 "$root/build/softhsm-gost") ||
    { echo "building SoftHSM2 with GOST (x86_64) failed"; exit 1; }
  gost_module_x86_64=(-DSOFTHSM2_GOST_MODULE="$module")
fi
if wants i386 asan-i386 release; then
  module=$(OPENSSL_ENGINES="$extras/usr/lib/i386-linux-gnu/engines-3" \
    bash scripts/softhsm-gost.sh i386 "$root/build/softhsm-gost") ||
    { echo "building SoftHSM2 with GOST (i386) failed"; exit 1; }
  gost_module_i386=(-DSOFTHSM2_GOST_MODULE="$module")
fi

declare -a summary=()
status=0

# summarize NAME LOG SKIPS: one summary line from a ctest log. SKIPS is
# "allowed" where the stage may skip tests off CI, anything else where it may not.
summarize() {
  local name=$1 log=$2 skips=$3 total passed failed skipped line
  total=$(sed -nE 's/.*tests failed out of ([0-9]+).*/\1/p' "$log" | tail -n 1)
  if [ -z "$total" ]; then
    summary+=("$name: ctest did not finish (see $log)"); status=1; return
  fi
  passed=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec' "$log")
  skipped=$(sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*\*\*\*Skipped.*/\1/p' "$log")
  failed=$(sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*\*\*\*(Failed|Exception|Timeout|Not Run).*/\1/p' "$log")
  local n_skipped n_failed
  n_skipped=$(grep -c . <<< "$skipped")
  n_failed=$(grep -c . <<< "$failed")
  line="$name: $passed passed, $n_failed failed, $n_skipped skipped, of $total"
  if [ $((passed + n_failed + n_skipped)) -ne "$total" ]; then
    line+=" (the counts do not add up: see $log)"; status=1
  fi
  [ "$n_failed" -eq 0 ] || { line+=$'\n'"  failed: $(tr '\n' ' ' <<< "$failed")"; status=1; }
  if [ "$n_skipped" -ne 0 ]; then
    line+=$'\n'"  skipped: $(tr '\n' ' ' <<< "$skipped")"
    if $on_ci || [ "$skips" != allowed ]; then
      line+=$'\n'"  FAILED: this stage may not skip tests"; status=1
    fi
  fi
  summary+=("$line")
}

# run_ctest NAME LOG SKIPS COMMAND...: runs ctest through COMMAND, shows what
# did not pass and adds the stage's summary line.
run_ctest() {
  local name=$1 log=$2 skips=$3
  shift 3
  echo "=== $name: ctest"
  "$@" 2>&1 | tee "$log" | grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|^ *Start +[0-9]+:' || true
  summarize "$name" "$log" "$skips"
}

# configure_and_test NAME PRESET SKIPS [cmake args...]: configures, builds and
# tests one tree of CMakePresets.json (build/<folder> as the preset names it).
configure_and_test() {
  local name=$1 preset=$2 skips=$3 log=build/$2
  shift 3
  echo "=== $name: configure and build (preset $preset)"
  if ! cmake --preset "$preset" "$@" > "$log.configure.log" 2>&1; then
    cat "$log.configure.log"; summary+=("$name: configure FAILED"); status=1; return
  fi
  if ! cmake --build --preset "$preset" -j"$jobs" > "$log.build.log" 2>&1; then
    grep -E "error|Error" "$log.build.log" | head -n 40
    summary+=("$name: build FAILED (see $log.build.log)"); status=1; return
  fi
  run_ctest "$name" "$log.ctest.log" "$skips" ctest --preset "$preset" -j"$jobs"
}

# The release binaries, built in Debian 11 roots; the whole suite with them
# inside the roots (their glibc, OpenSSL 1.1, OpenSC 0.21) and on this host.
release_stage() {
  echo "=== release: build the release binaries and packages in Debian 11 roots"
  if ! bash scripts/release.sh; then
    summary+=("release: FAILED (no release binaries; see the messages above)"); status=1; return
  fi
  # A second build of the same source must give the same bytes.
  if bash scripts/reproducible.sh > build/reproducible.log 2>&1; then
    summary+=("release: $(tail -n 1 build/reproducible.log)")
  else
    cat build/reproducible.log
    summary+=("release: NOT reproducible (see build/reproducible.log)"); status=1
  fi
  local abi
  for abi in i386 x86_64; do
    run_ctest "release-$abi in its Debian 11 root" "build/release-$abi.root-ctest.log" never \
      bash scripts/bullseye-root.sh run "build/roots/$abi" \
      bash -c "cd /build/release && ctest -j$jobs --output-on-failure --timeout 600"
  done
  configure_and_test "release-x86_64 on this host" release-x86_64 never "${gost_module_x86_64[@]}"
  configure_and_test "release-i386 on this host" release-i386 never "${gost_module_i386[@]}"
}

mkdir -p build
for stage in $stages; do
  case "$stage" in
    x86_64) configure_and_test x86_64 x86_64 allowed "${gost_module_x86_64[@]}" ;;
    i386) configure_and_test i386 i386 allowed "${gost_module_i386[@]}" ;;
    asan) configure_and_test asan-x86_64 asan allowed "${gost_module_x86_64[@]}" ;;
    asan-i386) configure_and_test asan-i386 asan-i386 allowed "${gost_module_i386[@]}" ;;
    release) release_stage ;;
    fuzz)
      echo "=== fuzz: bounded runs"
      if bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"; then summary+=("fuzz: clean")
      else summary+=("fuzz: FAILED"); status=1; fi ;;
    *) echo "unknown stage $stage"; status=1 ;;
  esac
done

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
if [ "$status" -eq 0 ]; then echo "all stages passed"; else echo "some stages FAILED"; fi
exit "$status"
