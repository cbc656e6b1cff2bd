#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs what is missing, makes
# sure 32-bit programs can run (natively, or through an emulator it registers),
# builds both ABIs (x86_64 and 32-bit x86), runs every test of each, then the
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer, then
# builds the release binaries and packages in a Debian 11 root and runs the
# whole suite with them in the Debian 11 roots of both ABIs and on this host,
# then installs the packages in Debian 13 roots and runs the whole suite there,
# then the bounded fuzz runs. Prints a summary (per stage: how it ran, how long
# it took, passed, failed and skipped tests, with the names of the failed and
# skipped ones) and exits non-zero on any failure.
#
#   scripts/test.sh                 everything
#   STAGES="x86_64 i386" scripts/test.sh   only the named stages
#                                   (x86_64, i386, asan, asan-i386, release, current, fuzz)
#   FUZZ_SECONDS=N                  time per fuzz target (default 30)
#   I386_EMULATION=force            run the i386 programs through the emulator even
#                                   where the kernel runs them (the entry is removed
#                                   again at the end)
#
# Skipped tests: a test skips (exit 77) only where the machine cannot give it
# what it needs (not root, a component not installed). On CI (CI=true) no stage
# allows one, and the release and current stages never do: a green summary
# means every test ran. The one exception is documented: where i386 programs
# run only under emulation, the asan-i386 stage is skipped as a whole, since
# AddressSanitizer does not start under the emulator.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
stages=${STAGES:-"x86_64 i386 asan asan-i386 release current fuzz"}
jobs=$(nproc 2>/dev/null || echo 2)
on_ci=false
[ "${CI:-}" = true ] && on_ci=true
started=$SECONDS

bash scripts/install-deps.sh || { echo "installing the build and test packages failed"; exit 1; }
mkdir -p build

# wants STAGE...: true when one of them is to run.
wants() {
  local s
  for s; do [[ " $stages " == *" $s "* ]] && return 0; done
  return 1
}

# How this machine runs i386 programs: "native" or "emulated".
i386_mode=""
if wants i386 asan-i386 release current; then
  i386_mode=$(bash scripts/i386-exec.sh) || { echo "32-bit programs cannot run on this machine (see above)"; exit 1; }
  echo "=== i386 programs run $i386_mode here"
  if [ "${I386_EMULATION:-}" = force ]; then
    trap 'bash scripts/i386-exec.sh --remove' EXIT
  fi
fi

# The Debian roots take longest to make (the i386 ones run their package
# scripts under emulation where the kernel cannot run them): they are made in
# the background from the start, each once per machine (a cache outside the
# clone), while the first stages build and test. A stage that needs a root
# waits for it.
declare -A root_job=()
start_root() {  # SUITE ABI
  bash scripts/debian-root.sh make "$1" "$2" > "build/root-$1-$2.log" 2>&1 &
  root_job[$1-$2]=$!
}
declare -A root_made=()
wait_root() {  # SUITE ABI: fails, showing why, when the root could not be made
  local job=${root_job[$1-$2]:-}
  if [ -z "${root_made[$1-$2]:-}" ]; then
    if [ -n "$job" ]; then
      wait "$job" && root_made[$1-$2]=yes || root_made[$1-$2]=no
    else
      bash scripts/debian-root.sh make "$1" "$2" > "build/root-$1-$2.log" 2>&1 &&
        root_made[$1-$2]=yes || root_made[$1-$2]=no
    fi
  fi
  [ "${root_made[$1-$2]}" = yes ] || { cat "build/root-$1-$2.log"; return 1; }
}
if wants release current; then
  start_root bullseye x86_64
  wants release && start_root bullseye i386
fi
if wants current; then
  start_root trixie x86_64
  start_root trixie i386
fi

extras=$root/build/i386-extras
if wants i386 asan-i386 release current; then
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

# how ABI: how a stage of that ABI runs its programs.
how() { [ "$1" = i386 ] && echo ", i386 $i386_mode" || true; }

# summarize NAME XML SKIPS SINCE: one summary line from CTest's XML result (JUnit,
# or an older CTest's Test.xml). SKIPS is "allowed" where the stage may skip tests
# off CI, anything else where it may not. SINCE: when the stage began.
summarize() {
  local name=$1 xml=$2 skips=$3 since=$4 result counts failed skipped line
  local took=" ($(( (SECONDS - since) / 60 )) min $(( (SECONDS - since) % 60 )) s)"
  if ! result=$(python3 scripts/ctest-summary.py "$xml" 2>&1); then
    summary+=("$name$took: no test result ($result)"); status=1; return
  fi
  { read -r counts; read -r failed; read -r skipped; } <<< "$result"
  read -r n_passed n_failed n_skipped total <<< "$counts"
  line="$name$took: $n_passed passed, $n_failed failed, $n_skipped skipped, of $total"
  [ "$total" -gt 0 ] || { line+=" (no test ran)"; status=1; }
  [ "$n_failed" -eq 0 ] || { line+=$'\n'"  failed: $failed"; status=1; }
  if [ "$n_skipped" -ne 0 ]; then
    line+=$'\n'"  skipped: $skipped"
    if $on_ci || [ "$skips" != allowed ]; then
      line+=$'\n'"  FAILED: this stage may not skip tests"; status=1
    fi
  fi
  summary+=("$line")
}

# run_ctest NAME XML SKIPS SINCE COMMAND...: runs ctest through COMMAND (which
# leaves its result in XML), shows what did not pass and adds the stage's line.
run_ctest() {
  local name=$1 xml=$2 skips=$3 since=$4 log=${2%.xml}.log
  shift 4
  echo "=== $name: ctest"
  rm -f "$xml"
  "$@" 2>&1 | tee "$log" | grep -vE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|^ *Start +[0-9]+:' || true
  summarize "$name" "$xml" "$skips" "$since"
}

# configure_and_test NAME PRESET SKIPS [cmake args...]: configures, builds and
# tests one tree of CMakePresets.json (build/<folder> as the preset names it).
configure_and_test() {
  local name=$1 preset=$2 skips=$3 log=build/$2 since=$SECONDS
  shift 3
  echo "=== $name: configure and build (preset $preset)"
  if ! cmake --preset "$preset" "$@" > "$log.configure.log" 2>&1; then
    cat "$log.configure.log"; summary+=("$name: configure FAILED"); status=1; return
  fi
  if ! cmake --build --preset "$preset" -j"$jobs" > "$log.build.log" 2>&1; then
    grep -E "error|Error" "$log.build.log" | head -n 40
    summary+=("$name: build FAILED (see $log.build.log)"); status=1; return
  fi
  run_ctest "$name" "$root/$log.ctest.xml" "$skips" "$since" \
    ctest --preset "$preset" -j"$jobs" --output-junit "$root/$log.ctest.xml"
}

# in_root_ctest NAME SUITE ABI TREE SINCE: the suite of TREE (a folder under
# /build in the roots of SUITE) in the root of ABI. Debian 11's CTest predates
# JUnit output: its Test.xml is read instead.
in_root_ctest() {
  local name=$1 suite=$2 abi=$3 tree=$4 since=$5 host_tree=$root/build/in-root/$2/$4
  run_ctest "$name" "$host_tree/ctest-result.xml" never "$since" \
    bash scripts/debian-root.sh run "$suite" "$abi" bash -c "
      cd /build/$tree && rm -rf Testing
      ctest -T Test -j$jobs --output-on-failure --timeout 600
      cp Testing/*/Test.xml ctest-result.xml"
}

# The release binaries, built in the Debian 11 amd64 root; the whole suite
# with them inside the roots of both ABIs (their glibc, OpenSSL 1.1, OpenSC
# 0.21) and on this host.
release_stage() {
  local since=$SECONDS abi
  echo "=== release: build the release binaries and packages in the Debian 11 root"
  if ! wait_root bullseye x86_64 || ! bash scripts/release.sh; then
    summary+=("release: FAILED (no release binaries; see the messages above)"); status=1; return
  fi
  summary+=("release: binaries and packages built ($(( (SECONDS - since) / 60 )) min $(( (SECONDS - since) % 60 )) s)")
  for abi in x86_64 i386; do
    since=$SECONDS
    if ! wait_root bullseye "$abi"; then
      summary+=("release-$abi in its Debian 11 root: FAILED (no root)"); status=1; continue
    fi
    in_root_ctest "release-$abi in its Debian 11 root$(how $abi)" bullseye "$abi" "release-$abi" "$since"
  done
  configure_and_test "release-x86_64 on this host" release-x86_64 never "${gost_module_x86_64[@]}"
  configure_and_test "release-i386 on this host$(how i386)" release-i386 never "${gost_module_i386[@]}"
}

# The release packages on today's Debian (13: glibc 2.41, OpenSC 0.26, OpenSSL
# 3.5): installed with dpkg -i in a root of each ABI, and the whole suite run
# there with the installed programs, on the root's own modules, OpenSC, pcscd
# and OpenSSL. The test trees are built in the amd64 root with its compilers.
current_stage() {
  local since=$SECONDS abi tree toolchain
  if [ ! -d build/release/x86_64/packages ] || [ ! -d build/release/i386/packages ]; then
    echo "=== current: no release packages yet; building them"
    if ! wait_root bullseye x86_64 || ! bash scripts/release.sh; then
      summary+=("current: FAILED (no release packages)"); status=1; return
    fi
  fi
  for abi in x86_64 i386; do
    if ! wait_root trixie "$abi"; then
      summary+=("current: FAILED (no Debian 13 $abi root)"); status=1; return
    fi
    # A fresh overlay, so that the packages are installed anew.
    bash scripts/debian-root.sh reset trixie "$abi"
  done
  echo "=== current: install the packages and build the test trees in the Debian 13 root"
  # Debian 13 ships no gost engine for OpenSSL: the test module signs, and the
  # root's OpenSSL verifies, with Debian 12's (the machine's own, and the i386
  # one of build/i386-extras).
  local engines=build/in-root/trixie/gost-engines
  mkdir -p "$engines/x86_64" "$engines/i386"
  cp /usr/lib/x86_64-linux-gnu/engines-3/gost.so "$engines/x86_64/" &&
    cp "$extras/usr/lib/i386-linux-gnu/engines-3/gost.so" "$engines/i386/" ||
    { summary+=("current: FAILED (no gost engine to hand over)"); status=1; return; }
  local log=build/current-build.log
  if ! bash scripts/debian-root.sh run trixie x86_64 bash -c "
      set -e
      dpkg -i /src/build/release/x86_64/packages/card-helpers_*_amd64.deb
      for abi in x86_64 i386; do
        toolchain=''
        [ \$abi = i386 ] && toolchain=-DCMAKE_TOOLCHAIN_FILE=/src/cmake/i386.cmake
        rm -rf /build/current-\$abi
        cmake -S /src -B /build/current-\$abi \$toolchain -DCARD_ROOT_SUITE=trixie \
              -DRELEASE_PROGRAMS_DIR=/usr/bin -DRELEASE_PACKAGES_DIR=/src/build/release/\$abi/packages \
              -DGOST_ENGINES_DIR=/build/gost-engines/\$abi
        cmake --build /build/current-\$abi -j$jobs
      done" > "$log" 2>&1; then
    grep -E "error|Error" "$log" | head -n 40
    summary+=("current: FAILED (see $log)"); status=1; return
  fi
  if ! bash scripts/debian-root.sh run trixie i386 \
      bash -c 'dpkg -i /src/build/release/i386/packages/card-helpers_*_i386.deb' >> "$log" 2>&1; then
    tail -n 20 "$log"; summary+=("current: FAILED (dpkg -i in the i386 root; see $log)"); status=1; return
  fi
  summary+=("current: packages installed, test trees built ($(( (SECONDS - since) / 60 )) min $(( (SECONDS - since) % 60 )) s)")
  for abi in x86_64 i386; do
    in_root_ctest "current-$abi in its Debian 13 root$(how $abi)" trixie "$abi" "current-$abi" "$SECONDS"
  done
}

for stage in $stages; do
  case "$stage" in
    x86_64) configure_and_test x86_64 x86_64 allowed "${gost_module_x86_64[@]}" ;;
    i386) configure_and_test "i386$(how i386)" i386 allowed "${gost_module_i386[@]}" ;;
    asan) configure_and_test asan-x86_64 asan allowed "${gost_module_x86_64[@]}" ;;
    asan-i386)
      if [ "$i386_mode" = emulated ]; then
        # The one skip allowed everywhere, CI included.
        summary+=("asan-i386: SKIPPED as a whole (allowed): i386 programs run under emulation here, and AddressSanitizer does not start under the emulator")
      else
        configure_and_test asan-i386 asan-i386 allowed "${gost_module_i386[@]}"
      fi ;;
    release) release_stage ;;
    current) current_stage ;;
    fuzz)
      since=$SECONDS
      echo "=== fuzz: bounded runs"
      if bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}"; then summary+=("fuzz: clean ($(( (SECONDS - since) / 60 )) min $(( (SECONDS - since) % 60 )) s)")
      else summary+=("fuzz: FAILED"); status=1; fi ;;
    *) echo "unknown stage $stage"; status=1 ;;
  esac
done
# Roots still being made for stages that did not run are waited for, so that
# none is left half made.
wait

echo
echo "=== summary ($(( (SECONDS - started) / 60 )) min in all)"
printf '%s\n' "${summary[@]}"
if [ "$status" -eq 0 ]; then echo "all stages passed"; else echo "some stages FAILED"; fi
exit "$status"
