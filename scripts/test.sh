#!/usr/bin/env bash
# The whole test suite, from a fresh machine: installs what is missing (amd64
# packages only: the machine's dpkg never gets a foreign architecture), makes
# sure 32-bit programs can run (natively, or through an emulator it registers),
# builds and tests the x86_64 tree on this machine and the i386 tree in a
# Debian 12 root where the i386 runtime is a foreign architecture (multiarch),
# both again under AddressSanitizer and UndefinedBehaviorSanitizer, then builds
# the release binaries and packages in a Debian 11 root (a second time too, to
# show that the packages come out the same) and runs the whole suite with them
# in the Debian 11 roots of both ABIs (a pure i386 one among them), on this
# machine and in the Debian 12 root, then installs the packages of both ABIs
# in a Debian 13 root (multiarch again) and runs the whole suite there, proves
# that an inconsistent archive index does not stop an install, and ends with
# the bounded fuzz runs. Prints a summary (per stage: how it ran, how long it
# took, passed, failed and skipped tests, with the names of the failed and
# skipped ones) and exits non-zero on any failure.
#
#   scripts/test.sh                 everything
#   STAGES="x86_64 i386" scripts/test.sh   only the named stages
#                                   (x86_64, i386, asan, asan-i386, release, current, apt, fuzz)
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
stages=${STAGES:-"x86_64 i386 asan asan-i386 release current apt fuzz"}
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

# The Debian roots take longest to make (the pure i386 one runs its package
# scripts under emulation where the kernel cannot run i386 programs): they are
# made in the background from the start, each once per machine (a cache
# outside the clone), while the first stages build and test. A stage that
# needs a root waits for it.
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
wants i386 asan-i386 release current apt && start_root bookworm x86_64
wants current && start_root trixie x86_64

# SoftHSM2 built with GOST for each ABI the stages test (cached per machine, like
# the roots; the sanitizer trees reuse the plain build): the real GOST token
# test's module. The i386 one is built in the Debian 12 root, against its
# i386 OpenSSL, and its path is the one seen there.
gost_cache=${CARD_CACHE:-/var/cache/card-helpers}/softhsm-gost
gost_module_x86_64=() gost_module_i386=()
if wants x86_64 asan release; then
  module=$(bash scripts/softhsm-gost.sh x86_64 "$gost_cache") ||
    { echo "building SoftHSM2 with GOST (x86_64) failed"; exit 1; }
  gost_module_x86_64=(-DSOFTHSM2_GOST_MODULE="$module")
fi
i386_gost() {  # sets gost_module_i386 once, when an i386 stage first needs it
  [ ${#gost_module_i386[@]} -eq 0 ] || return 0
  wait_root bookworm x86_64 || return 1
  local module
  module=$(bash scripts/in-root.sh env OPENSSL_ENGINES=/usr/local/lib/i386-extras/usr/lib/i386-linux-gnu/engines-3 \
    bash scripts/softhsm-gost.sh i386 /cache/softhsm-gost) || return 1
  gost_module_i386=(-DSOFTHSM2_GOST_MODULE="$module")
}

declare -a summary=()
status=0

# how ABI: how a stage of that ABI runs its programs.
how() { [ "$1" = i386 ] && echo ", i386 $i386_mode" || true; }
# Where an i386 tree of the presets runs.
in_debian12=" in the Debian 12 root (amd64 with i386 multiarch)"

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
# tests one tree of CMakePresets.json (build/<folder> as the preset names it),
# on this machine, or in the Debian 12 root when IN_ROOT=yes (the i386 trees;
# the clone's build folder is the same there).
configure_and_test() {
  local name=$1 preset=$2 skips=$3 log=build/$2 since=$SECONDS run=() here=$root
  shift 3
  [ "${IN_ROOT:-}" != yes ] || { run=(bash scripts/in-root.sh); here=/src; }
  echo "=== $name: configure and build (preset $preset)"
  if ! "${run[@]}" cmake --preset "$preset" "$@" > "$log.configure.log" 2>&1; then
    cat "$log.configure.log"; summary+=("$name: configure FAILED"); status=1; return
  fi
  if ! "${run[@]}" cmake --build --preset "$preset" -j"$jobs" > "$log.build.log" 2>&1; then
    grep -E "error|Error" "$log.build.log" | head -n 40
    summary+=("$name: build FAILED (see $log.build.log)"); status=1; return
  fi
  run_ctest "$name" "$root/$log.ctest.xml" "$skips" "$since" \
    "${run[@]}" ctest --preset "$preset" -j"$jobs" --output-junit "$here/$log.ctest.xml"
}

# i386_tree NAME PRESET SKIPS: an i386 tree of the presets, built and tested in
# the Debian 12 root (i386 as a foreign architecture).
i386_tree() {
  local name=$1 preset=$2 skips=$3
  if ! wait_root bookworm x86_64 || ! i386_gost; then
    summary+=("$name: FAILED (no Debian 12 root, or no i386 SoftHSM2 with GOST)"); status=1; return
  fi
  IN_ROOT=yes configure_and_test "$name" "$preset" "$skips" "${gost_module_i386[@]}"
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
# 0.21), with the x86_64 ones on this machine and the i386 ones in the
# Debian 12 root.
release_stage() {
  local since=$SECONDS abi
  echo "=== release: build the release binaries and packages in the Debian 11 root"
  if ! wait_root bullseye x86_64 || ! bash scripts/release.sh; then
    summary+=("release: FAILED (no release binaries; see the messages above)"); status=1; return
  fi
  summary+=("release: binaries and packages built ($(( (SECONDS - since) / 60 )) min $(( (SECONDS - since) % 60 )) s)")
  # A second build of the same source, elsewhere and later, must give the same bytes.
  since=$SECONDS
  if bash scripts/reproducible.sh > build/reproducible.log 2>&1; then
    summary+=("release: $(tail -n 1 build/reproducible.log) ($(( (SECONDS - since) / 60 )) min $(( (SECONDS - since) % 60 )) s)")
  else
    cat build/reproducible.log
    summary+=("release: NOT reproducible (see build/reproducible.log)"); status=1
  fi
  for abi in x86_64 i386; do
    since=$SECONDS
    if ! wait_root bullseye "$abi"; then
      summary+=("release-$abi in its Debian 11 root: FAILED (no root)"); status=1; continue
    fi
    in_root_ctest "release-$abi in its Debian 11 root$(how $abi)" bullseye "$abi" "release-$abi" "$since"
  done
  configure_and_test "release-x86_64 on this host (Debian 12)" release-x86_64 never "${gost_module_x86_64[@]}"
  i386_tree "release-i386$in_debian12$(how i386)" release-i386 never
}

# The release packages on today's Debian (13: glibc 2.41, OpenSC 0.26, OpenSSL
# 3.5), in its amd64 root with the i386 runtime as a foreign architecture, as
# a 32-bit host application runs on a 64-bit system: the amd64 package
# installed with dpkg -i and the whole x86_64 suite run with the installed
# programs, then the i386 package installed over it (dpkg -i of the foreign
# package, its Depends resolved against libc6:i386) and the whole i386 suite,
# on the root's own modules of each ABI, OpenSC, its amd64 pcscd and OpenSSL.
current_stage() {
  local since=$SECONDS abi
  if [ ! -d build/release/x86_64/packages ] || [ ! -d build/release/i386/packages ]; then
    echo "=== current: no release packages yet; building them"
    if ! wait_root bullseye x86_64 || ! bash scripts/release.sh; then
      summary+=("current: FAILED (no release packages)"); status=1; return
    fi
  fi
  if ! wait_root trixie x86_64 || ! wait_root bookworm x86_64; then
    summary+=("current: FAILED (no Debian 13 root, or no Debian 12 root to take the gost engine from)"); status=1; return
  fi
  # A fresh overlay, so that the packages are installed anew.
  bash scripts/debian-root.sh reset trixie x86_64
  echo "=== current: install the amd64 package and build the test trees in the Debian 13 root"
  # Debian 13 ships no gost engine for OpenSSL: the test module signs, and the
  # root's OpenSSL verifies, with Debian 12's (the machine's own, and the i386
  # one of the Debian 12 root).
  local engines=build/in-root/trixie/gost-engines bookworm
  bookworm=$(bash scripts/debian-root.sh make bookworm x86_64)
  mkdir -p "$engines/x86_64" "$engines/i386"
  cp /usr/lib/x86_64-linux-gnu/engines-3/gost.so "$engines/x86_64/" &&
    cp "$bookworm/usr/local/lib/i386-extras/usr/lib/i386-linux-gnu/engines-3/gost.so" "$engines/i386/" ||
    { summary+=("current: FAILED (no gost engine to hand over)"); status=1; return; }
  local log=build/current-build.log
  if ! bash scripts/debian-root.sh run trixie x86_64 bash -c "
      set -e
      dpkg -i /src/build/release/x86_64/packages/card-helpers_*_amd64.deb
      for abi in x86_64 i386; do
        args=''
        [ \$abi = i386 ] && args='-DCMAKE_TOOLCHAIN_FILE=/src/cmake/i386.cmake -DI386_EXTRAS=/usr/local/lib/i386-extras'
        rm -rf /build/current-\$abi
        cmake -S /src -B /build/current-\$abi \$args -DCARD_ROOT_SUITE=trixie \
              -DRELEASE_PROGRAMS_DIR=/usr/bin -DRELEASE_PACKAGES_DIR=/src/build/release/\$abi/packages \
              -DGOST_ENGINES_DIR=/build/gost-engines/\$abi -DGOST_VERIFY_ENGINES_DIR=/build/gost-engines/x86_64
        cmake --build /build/current-\$abi -j$jobs
      done" > "$log" 2>&1; then
    grep -E "error|Error" "$log" | head -n 40
    summary+=("current: FAILED (see $log)"); status=1; return
  fi
  summary+=("current: amd64 package installed, test trees built ($(( (SECONDS - since) / 60 )) min $(( (SECONDS - since) % 60 )) s)")
  in_root_ctest "current-x86_64 in the Debian 13 root" trixie x86_64 current-x86_64 "$SECONDS"
  since=$SECONDS
  if ! bash scripts/debian-root.sh run trixie x86_64 bash -c '
      set -e
      dpkg -i /src/build/release/i386/packages/card-helpers_*_i386.deb
      dpkg-query -W -f "\${Package}:\${Architecture} \${Version}\n" card-helpers
      file -L /usr/bin/tovrel' >> "$log" 2>&1; then
    tail -n 20 "$log"; summary+=("current: FAILED (dpkg -i of the i386 package; see $log)"); status=1; return
  fi
  in_root_ctest "current-i386 in the Debian 13 root (amd64 with i386 multiarch)$(how i386)" trixie x86_64 current-i386 "$since"
}

# The install goes on past an index that does not match its Release file: in
# a throwaway overlay of the Debian 12 root, with a local repository of that
# kind added to its sources, scripts/apt-tolerant.sh must still install a
# package the root lacks, and name the index it went without.
apt_stage() {
  local since=$SECONDS log=build/apt-check.log
  if ! wait_root bookworm x86_64; then
    summary+=("apt: FAILED (no Debian 12 root)"); status=1; return
  fi
  echo "=== apt: an install beside an inconsistent index"
  ROOT_STATE=apt-check bash scripts/debian-root.sh reset bookworm x86_64
  if ROOT_STATE=apt-check bash scripts/debian-root.sh run bookworm x86_64 \
      bash tests/install/apt-inconsistent.sh > "$log" 2>&1; then
    summary+=("apt: $(tail -n 1 "$log") ($(( (SECONDS - since) / 60 )) min $(( (SECONDS - since) % 60 )) s)")
  else
    cat "$log"; summary+=("apt: FAILED (see $log)"); status=1
  fi
  ROOT_STATE=apt-check bash scripts/debian-root.sh reset bookworm x86_64
}

for stage in $stages; do
  case "$stage" in
    x86_64) configure_and_test x86_64 x86_64 allowed "${gost_module_x86_64[@]}" ;;
    i386) i386_tree "i386$in_debian12$(how i386)" i386 allowed ;;
    asan) configure_and_test asan-x86_64 asan allowed "${gost_module_x86_64[@]}" ;;
    asan-i386)
      if [ "$i386_mode" = emulated ]; then
        # The one skip allowed everywhere, CI included.
        summary+=("asan-i386: SKIPPED as a whole (allowed): i386 programs run under emulation here, and AddressSanitizer does not start under the emulator")
      else
        i386_tree "asan-i386$in_debian12" asan-i386 allowed
      fi ;;
    release) release_stage ;;
    current) current_stage ;;
    apt) apt_stage ;;
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
