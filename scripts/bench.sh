#!/usr/bin/env bash
# The bridge benchmark: what tovrel's commands cost next to floors measured in
# the same run, counted in instructions (valgrind --tool=callgrind: the whole
# process, user space; the counts repeat run after run whatever else the
# machine does), with wall-clock medians and peak memory as information.
#
#   scripts/bench.sh            (BENCH_RUNS=N wall-clock rounds, default 50; BENCH_WARMUP=N,
#                                default 3; BENCH_KEEP=1 keeps the working folders and profiles)
#
# The floor (tests/bench/bridge/floor.c) loads the same module and makes exactly the
# PKCS#11 calls that tovrel makes for the command, and nothing else; the script
# checks that first, by comparing the programs' call logs. "Floor + necessary
# work" (floor-work, the same source) also computes, with OpenSSL, the SHA-1
# fingerprint and Base64 text of every certificate it reads; "floor + work +
# answer" also writes them to an answer file: the least any program can spend
# on the list with that module. pkcs11-tool runs beside them where it can do
# the job. Modules: p11-kit's trust module (the system CA store, reader
# "ca-certificates"); the test module (tests/p11mock) with 10, 100 and 1000
# certificates of about 1.5 KiB made here with openssl, and a fake key.
# Each program of a row runs once under callgrind, whose profile also names the
# SHA-1 code that ran (under valgrind the CPU hides its SHA extensions, so
# both sides take their code for CPUs without them), then once per round for
# the wall clock (tests/bench/bridge/runner.c). Nothing is asserted: the script
# prints the ratios and whether each target is met, and exits 0 unless
# something could not be built or did not answer correctly. It ends with the
# codec's instructions per call (tests/bench/codec) beside OpenSSL's, and
# both throughputs.
#
# Builds (Release): build/bench/main (tovrel, the test module), build/bench/tools
# (tests/bench/bridge), build/bench/codec. The release build of tovrel (made in a
# Debian 11 root by scripts/release.sh, which runs first when it is missing) is
# measured beside it; BENCH_RELEASE=0 leaves it out. The tables also go to
# build/bench/results.md, the raw timings to build/bench/raw/.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
main_build="$root/build/bench/main"
tools_build="$root/build/bench/tools"
codec_build="$root/build/bench/codec"
results="$root/build/bench/results.md"
raw="$root/build/bench/raw"
runs=${BENCH_RUNS:-50}
with_release=${BENCH_RELEASE:-1}
warmup=${BENCH_WARMUP:-3}
cert_counts=(10 100 1000)
digest_b64="AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="
digest_hex="000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"

# --- what the benchmark needs (the modules of this machine's ABI), installed when missing
multiarch=$(gcc -print-multiarch)
trust_module=/usr/lib/$multiarch/pkcs11/p11-kit-trust.so
spy_module=/usr/lib/$multiarch/pkcs11/pkcs11-spy.so
for need in openssl pkcs11-tool cmake /usr/include/benchmark/benchmark.h "$spy_module" "$trust_module"; do
  command -v "$need" >/dev/null || [ -e "$need" ] || { bash "$root/scripts/install-deps.sh" >/dev/null; break; }
done
command -v callgrind_annotate >/dev/null || { echo "the benchmark needs valgrind (Debian: valgrind)" >&2; exit 1; }

# --- builds ---------------------------------------------------------------------
echo "building (Release) ..."
for tree in ":$main_build:--target tovrel p11mock" "tests/bench/bridge:$tools_build:" "tests/bench/codec:$codec_build:"; do
  IFS=: read -r source build targets <<<"$tree"
  cmake -S "$root/$source" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j"$(nproc)" $targets >/dev/null
done
tovrel="$main_build/bridge/tovrel"
release_tovrel="$root/build/release/x86_64/bin/tovrel"
builds=(tovrel)
if [ "$with_release" != 0 ]; then
  builds+=(release)
  if [ ! -x "$release_tovrel" ]; then
    echo "building the release binaries (scripts/release.sh x86_64) ..."
    bash "$root/scripts/release.sh" x86_64 >/dev/null
  fi
fi
mock_module="$main_build/tests/p11mock/libp11mock.so"
floor="$tools_build/floor"
floor_work="$tools_build/floor-work"
runner="$tools_build/runner"
codec_bench="$codec_build/codec_bench"

tmp=$(mktemp -d)
if [ -n "${BENCH_KEEP:-}" ]; then
  echo "keeping the certificates, descriptions, working folders and profiles in $tmp"
else
  trap 'rm -rf "$tmp"' EXIT
fi
mkdir -p "$raw" "$tmp/profiles"
unset TEST_MODULE_LOG TEST_MODULE_CONF

# --- certificates and test module descriptions ----------------------------------
max_certs=${cert_counts[-1]}
echo "making $max_certs certificates ..."
mkdir -p "$tmp/certs"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -out "$tmp/certs/key.pem" 2>/dev/null
# An RSA-4096 certificate with three alternative names: 1.5 KiB of DER.
seq -f '%04g' 1 "$max_certs" | xargs -P "$(nproc)" -I{} openssl req -x509 -key "$tmp/certs/key.pem" \
  -subj "/CN=Bench certificate {}/O=Card helpers benchmark/OU=Performance" -days 3650 -set_serial {} \
  -addext "subjectAltName=DNS:bench-{}.example.invalid,DNS:www.bench-{}.example.invalid,email:bench-{}@example.invalid" \
  -outform DER -out "$tmp/certs/{}.der"
cert_bytes=$(cat "$tmp"/certs/*.der | wc -c)
for n in "${cert_counts[@]}"; do
  {
    echo "slot 1"
    echo "  description Bench token $n"
    echo "  manufacturer Card helpers bench"
    seq -f "  cert certs/%04g.der" 1 "$n"
    echo "  fake-key"
  } >"$tmp/test-$n.conf"
done

# --- instruction counts -----------------------------------------------------------
# count PROFILE COMMAND...: runs the command under callgrind, prints its total.
count() {
  local profile=$1
  shift
  valgrind --tool=callgrind --callgrind-out-file="$profile" "$@" >/dev/null 2>&1
  awk '/^(summary|totals):/ { print $2; exit }' "$profile"
}

# sha1_code PROFILE: the SHA-1 code that ran longest, by its function name.
sha1_code() {
  local name
  name=$(callgrind_annotate "$1" 2>/dev/null |
    grep -o -E 'compressShaExtensions|compressAvx2|compressSsse3|innerHash|sha1_block_data_order[a-z0-9_]*' |
    awk 'NR == 1')
  case $name in
    compressShaExtensions) echo "SHA extensions" ;;
    compressAvx2) echo "AVX2+BMI2" ;;
    compressSsse3) echo "SSSE3" ;;
    innerHash) echo "portable" ;;
    sha1_block_data_order_*) echo "OpenSSL ${name#sha1_block_data_order_}" ;;
    sha1_block_data_order) echo "OpenSSL integer" ;;
    *) echo "not named (no symbols)" ;;
  esac
}

# --- one row: a module, a command ------------------------------------------------
# Each module is installed for tovrel as <plugdir>/libjcPKCS11.so.1; the floor
# and pkcs11-tool load that same file.
table_rows=()
declare -A median rss instr engine

# install_module NAME FILE: sets `plug` to the module's plugin directory.
install_module() {
  plug="$tmp/plug-$1"
  if [ ! -d "$plug" ]; then
    mkdir -p "$plug"
    cp "$2" "$plug/libjcPKCS11.so.1"
  fi
}

# check_response FILE COMMAND EXPECTED_CERTS: the answer tovrel wrote is a
# success of that command (with that many certificates for a list).
check_response() {
  local body
  body=$(cat "$1")
  case "$2" in
    getCertList)
      local items
      items=$(grep -o '{hash:"' <<<"$body" | wc -l || true)
      [ "${body:0:1}" = "[" ] && [ "$items" -eq "$3" ] && return 0 ;;
    readTokenCert) [[ "$body" == $'Result=0\nError=OK\nRawCert64Coded\n'?* ]] && return 0 ;;
    signDocumentRaw) [[ "$body" == $'Result=0\nError=OK\nSignedData='?* ]] && return 0 ;;
  esac
  echo "tovrel's answer to $2 is not a success with $3 certificate(s): ${body:0:200}" >&2
  exit 1
}

# The call sequence of a run, as the test module logs it or as OpenSC's spy
# logs it (function names and return values only).
# The spy's own C_GetInterface at load time is left out.
spy_calls() {
  grep -E '^[0-9]+: C_|^Returned:' "$1" | sed -E 's/^[0-9]+: //' |
    awk '/^C_GetInterface$/ { skip = 1; next } skip && /^Returned:/ { skip = 0; next } { skip = 0; print }'
}

# bench_row MODULE_LABEL MODULE_FILE CONF READER COMMAND EXPECTED_CERTS
bench_row() {
  local label=$1 file=$2 conf=$3 reader=$4 command=$5 expected=$6
  install_module "$label" "$file"
  local work="$tmp/work-$label-$command"
  mkdir -p "$work"
  printf '%s/\n' "$plug" >"$work/vn_api_currplugDir.txt"
  local floor_cmd tool_cmd=() floors=(floor)
  case "$command" in
    getCertList)
      printf 'getCertList\n%s\n1234\n' "$reader" >"$work/tovrel_in.txt"
      floor_cmd=(list)
      floors+=(work answer)
      tool_cmd=(pkcs11-tool --module "$plug/libjcPKCS11.so.1" --list-objects --type cert) ;;
    readTokenCert)
      printf 'readTokenCert\n%s\n1234\n' "$reader" >"$work/tovrel_in.txt"
      floor_cmd=(first)
      floors+=(work)
      # pkcs11-tool reads an object only by ID or label; the test module's
      # certificates have neither.
      if [ "$label" = trust ]; then
        local first_label
        first_label=$(pkcs11-tool --module "$file" --list-objects --type cert 2>/dev/null |
          awk 'sub(/^  label: */, "") && !found { print; found = 1 }')
        tool_cmd=(pkcs11-tool --module "$plug/libjcPKCS11.so.1" --read-object --type cert
          --label "$first_label" -o "$work/cert.der")
      fi ;;
    signDocumentRaw)
      printf 'signDocumentRaw\n%s\n1234\n%s\n' "$reader" "$digest_b64" >"$work/tovrel_in.txt"
      floor_cmd=(sign 1234 "$digest_hex")
      printf "$(sed 's/../\\x&/g' <<<"$digest_hex")" >"$work/digest.bin"
      tool_cmd=(pkcs11-tool --module "$plug/libjcPKCS11.so.1" --sign -m GOSTR3410 --login --pin 1234
        -i "$work/digest.bin" -o "$work/signature.bin") ;;
  esac
  local env_cmd=(env -u TEST_MODULE_LOG)
  [ -z "$conf" ] || env_cmd+=(TEST_MODULE_CONF="$conf")

  # argv_of PROGRAM MODULE_FILE: sets `argv` to the program's command line.
  local argv=()
  argv_of() {
    case $1 in
      tovrel) argv=("$tovrel") ;;
      release) argv=("$release_tovrel") ;;
      floor) argv=("$floor" "$2" "$reader" "${floor_cmd[@]}") ;;
      work) argv=("$floor_work" "$2" "$reader" "${floor_cmd[@]}") ;;
      answer) argv=("$floor_work" "$2" "$reader" "${floor_cmd[@]}" floor_answer.txt) ;;
    esac
  }

  # Before measuring: tovrel (each build) answers correctly, and the floors
  # make the same calls. The trust module is watched through OpenSC's spy,
  # the test module keeps its own log.
  local answer="$work/tovrel_out.txt" run_dir=$work module_file="$plug/libjcPKCS11.so.1"
  if [ -z "$conf" ]; then
    local spy_plug="$tmp/plug-spy-$label"
    mkdir -p "$spy_plug"
    cp "$spy_module" "$spy_plug/libjcPKCS11.so.1"
    run_dir="$tmp/spy-$label-$command"
    cp -r "$work" "$run_dir"
    printf '%s/\n' "$spy_plug" >"$run_dir/vn_api_currplugDir.txt"
    module_file="$spy_plug/libjcPKCS11.so.1"
    answer="$run_dir/tovrel_out.txt"
  fi
  local program
  for program in "${builds[@]}" "${floors[@]}"; do
    argv_of "$program" "$module_file"
    rm -f "$tmp/calls-$program" "$answer"
    if [ -n "$conf" ]; then
      (cd "$run_dir" && "${env_cmd[@]}" TEST_MODULE_LOG="$tmp/calls-$program" "${argv[@]}" >/dev/null)
    else
      (cd "$run_dir" && PKCS11SPY="$file" PKCS11SPY_OUTPUT="$tmp/spy-$program" "${argv[@]}" >/dev/null)
      spy_calls "$tmp/spy-$program" >"$tmp/calls-$program"
      rm -f "$tmp/spy-$program"
    fi
    case $program in tovrel | release) check_response "$answer" "$command" "$expected" ;; esac
  done
  for program in "${builds[@]:1}" "${floors[@]}"; do
    if ! cmp -s "$tmp/calls-tovrel" "$tmp/calls-$program"; then
      echo "the $program program does not make tovrel's calls for $command on $label:" >&2
      diff "$tmp/calls-tovrel" "$tmp/calls-$program" | head -20 >&2
      exit 1
    fi
  done
  local call_count
  call_count=$(grep -c '^C_' "$tmp/calls-tovrel")

  # Instructions: each program once under callgrind, on the module itself.
  for program in "${builds[@]}" "${floors[@]}"; do
    argv_of "$program" "$plug/libjcPKCS11.so.1"
    local profile="$tmp/profiles/$label-$command-$program.out"
    instr[$label,$command,$program]=$(cd "$work" && { [ -z "$conf" ] || export TEST_MODULE_CONF="$conf"; } &&
      count "$profile" "${argv[@]}")
    engine[$label,$command,$program]=$(sha1_code "$profile")
  done
  [ "${engine[$label,$command,release]:-}" != "not named (no symbols)" ] ||
    engine[$label,$command,release]="${engine[$label,$command,tovrel]} (stripped; same source as debian12)"

  # Wall clock, all programs in the same rounds.
  local commands=() sep=()
  for program in "${builds[@]}" "${floors[@]}"; do
    argv_of "$program" "$plug/libjcPKCS11.so.1"
    commands+=("${sep[@]}" "$program" "${argv[@]}")
    sep=(:::)
  done
  [ "${#tool_cmd[@]}" -eq 0 ] || commands+=(::: pkcs11-tool "${tool_cmd[@]}")
  "${env_cmd[@]}" "$runner" -r "$runs" -w "$warmup" -C "$work" -- "${commands[@]}" \
    >"$raw/$label-$command.txt"
  local name m q1 q3 min r rmax c
  while read -r name m q1 q3 min r rmax c; do
    median[$label,$command,$name]=$m
    rss[$label,$command,$name]=$r
  done <"$raw/$label-$command.txt"
  local line
  for program in "${builds[@]}"; do table_rows+=("$label|$command|$call_count|$program"); done
  printf '  %-10s %-16s %5d calls, instructions: tovrel %s, floor %s\n' "$label" "$command" "$call_count" \
    "${instr[$label,$command,tovrel]}" "${instr[$label,$command,floor]}"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "measuring (callgrind, then $runs rounds after $warmup warm-up rounds per row) ..."
trust_certs=$(pkcs11-tool --module "$trust_module" --list-objects --type cert 2>/dev/null |
  grep -c '^Certificate Object')
bench_row trust "$trust_module" "" ca-certificates getCertList "$trust_certs"
bench_row trust "$trust_module" "" ca-certificates readTokenCert 1
for n in "${cert_counts[@]}"; do
  bench_row "test-$n" "$mock_module" "$tmp/test-$n.conf" "Bench token" getCertList "$n"
  bench_row "test-$n" "$mock_module" "$tmp/test-$n.conf" "Bench token" readTokenCert 1
  bench_row "test-$n" "$mock_module" "$tmp/test-$n.conf" "Bench token" signDocumentRaw 1
done

# The codec: instructions per call on a certificate-sized input (two runs of
# different repetitions, subtracted), ours beside OpenSSL's; OpenSSL also
# with AVX and AVX2 masked (OPENSSL_ia32cap), which leaves it its SSSE3 code.
codec_calls() { # OPERATION [OPENSSL_ia32cap]: instructions per call, then the SHA-1 code that ran
  local few many
  few=$(unset OPENSSL_ia32cap; [ -z "${2:-}" ] || export OPENSSL_ia32cap="$2"
    count "$tmp/profiles/codec.out" "$codec_bench" count "$1" 1536 10)
  many=$(unset OPENSSL_ia32cap; [ -z "${2:-}" ] || export OPENSSL_ia32cap="$2"
    count "$tmp/profiles/codec.out" "$codec_bench" count "$1" 1536 110)
  echo "$(((many - few) / 100)) $(sha1_code "$tmp/profiles/codec.out")"
}
codec_rows=()
for row in "SHA-1|sha1-avx2|sha1-openssl|" "SHA-1|sha1-ssse3|sha1-openssl|~0x1000000000000000:~0x20000020" \
  "SHA-1|sha1-portable|sha1-openssl|" "Base64 encode|base64-encode|base64-encode-openssl|" \
  "Base64 decode|base64-decode|base64-decode-openssl|"; do
  IFS='|' read -r what ours theirs cap <<<"$row"
  read -r o o_ran < <(codec_calls "$ours")
  read -r t t_ran < <(codec_calls "$theirs" "$cap")
  [ "$what" = SHA-1 ] || o_ran=ours t_ran=OpenSSL
  codec_rows+=("$what|$o_ran|$o|$t_ran|$t")
done

# Throughput, as the machine is and with OpenSSL's SHA extensions masked.
for cap in all ":~0x20000000"; do
  if [ "$cap" = all ]; then set -- env -u OPENSSL_ia32cap; else set -- env OPENSSL_ia32cap="$cap"; fi
  "$@" "$codec_bench" --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_color=false >"$raw/codec-${cap//[:~]/}.txt"
done
echo "  codec      SHA-1, Base64    instructions per call, throughput"

# --- tables ---------------------------------------------------------------------
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else printf "-" }'; }
le() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "-" && a <= b) }'; }
ms() { if [ -n "$1" ]; then printf '%.2f' "$1"; else printf -- '-'; fi; }
slope() { awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN { printf "%.0f", (b - a) / n }'; }

answer_missed="" slope_missed="" codec_missed=""
{
  echo "Build: \"debian12\" is tovrel built here (Release, this machine's GCC); \"release\" is the" \
    "release binary (build/release/x86_64/bin, built in a Debian 11 root). \"work\" is the floor +" \
    "necessary work (OpenSSL's SHA-1 and Base64 of every certificate read), \"answer\" the same writing" \
    "them to an answer file."
  echo
  echo "Instructions (callgrind, whole process, user space):"
  echo
  echo "| module | command | build | calls | tovrel | floor | work | answer | tovrel/floor | tovrel/work | tovrel/answer | SHA-1 code: tovrel; work |"
  echo "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---|"
  for row in "${table_rows[@]}"; do
    IFS='|' read -r label command calls build <<<"$row"
    t=${instr[$label,$command,$build]} f=${instr[$label,$command,floor]}
    w=${instr[$label,$command,work]:-} a=${instr[$label,$command,answer]:-}
    answer_ratio=$(ratio "$t" "$a")
    [ -z "$a" ] || le "$answer_ratio" 1.00 || answer_missed+=" $label/$build ($answer_ratio)"
    code="-" # SHA-1 runs for the list only
    [ -z "$a" ] || code="${engine[$label,$command,$build]}; ${engine[$label,$command,work]}"
    [ "$build" = tovrel ] && build_name=debian12 || build_name=$build
    echo "| $label | $command | $build_name | $calls | $t | $f | ${w:--} | ${a:--} | $(ratio "$t" "$f") |" \
      "$(ratio "$t" "$w") | $answer_ratio | $code |"
  done
  echo
  echo "Per certificate: the slope of getCertList on the test module from ${cert_counts[1]} to" \
    "${cert_counts[-1]} certificates, in instructions:"
  echo
  lo=${cert_counts[1]} hi=${cert_counts[-1]}
  echo "| program | per certificate | above the floor |"
  echo "|---|---:|---:|"
  floor_slope=$(slope "${instr[test-$lo,getCertList,floor]}" "${instr[test-$hi,getCertList,floor]}" $((hi - lo)))
  answer_slope=$(slope "${instr[test-$lo,getCertList,answer]}" "${instr[test-$hi,getCertList,answer]}" $((hi - lo)))
  for program in "${builds[@]}" floor work answer; do
    s=$(slope "${instr[test-$lo,getCertList,$program]}" "${instr[test-$hi,getCertList,$program]}" $((hi - lo)))
    case $program in
      tovrel | release) le "$s" "$answer_slope" || slope_missed+=" $program ($s against $answer_slope)" ;;
    esac
    echo "| ${program/tovrel/tovrel (debian12)} | $s | $((s - floor_slope)) |"
  done
  echo
  echo "Codec, instructions per call on 1536 bytes (ours beside OpenSSL's; SHA-1 as each profile names it):"
  echo
  echo "| operation | ours | instructions | OpenSSL | instructions | ours/OpenSSL |"
  echo "|---|---|---:|---|---:|---:|"
  for row in "${codec_rows[@]}"; do
    IFS='|' read -r what o_ran o t_ran t <<<"$row"
    r=$(ratio "$o" "$t")
    case $o_ran in AVX2* | SSSE3) le "$r" 1.10 || codec_missed+=" $o_ran ($r)" ;; esac
    echo "| $what | $o_ran | $o | $t_ran | $t | $r |"
  done
  echo
  echo "Wall clock (information; medians of $runs rounds):"
  echo
  echo "| module | command | build | tovrel ms | floor ms | work ms | answer ms | tovrel/answer | pkcs11-tool ms | peak RSS tovrel KiB | peak RSS floor KiB |"
  echo "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"
  for row in "${table_rows[@]}"; do
    IFS='|' read -r label command calls build <<<"$row"
    t=${median[$label,$command,$build]} a=${median[$label,$command,answer]:-}
    [ "$build" = tovrel ] && build_name=debian12 || build_name=$build
    echo "| $label | $command | $build_name | $(ms "$t") | $(ms "${median[$label,$command,floor]}") |" \
      "$(ms "${median[$label,$command,work]:-}") | $(ms "$a") | $(ratio "$t" "${a:-0}") |" \
      "$(ms "${median[$label,$command,pkcs11-tool]:-}") | ${rss[$label,$command,$build]} | ${rss[$label,$command,floor]} |"
  done
  for cap in all ":~0x20000000"; do
    echo
    echo "Codec throughput (CPU time, median of 9), OpenSSL_ia32cap: $cap:"
    echo
    grep '^|' "$raw/codec-${cap//[:~]/}.txt"
  done
  echo
  verdict() { if [ -z "$2" ]; then echo "- $1: met"; else echo "- $1: MISSED on$2"; fi; }
  echo "Targets (instructions):"
  verdict "getCertList within 1.00 of the floor + necessary work + answer file" "$answer_missed"
  verdict "tovrel's slope per certificate at most that of the floor + work + answer" "$slope_missed"
  verdict "the codec's SHA-1 without the SHA extensions within 1.10 of OpenSSL's" "$codec_missed"
} >"$tmp/tables.md"

{
  echo "Machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), $(nproc) cores;" \
    "$(sed -n 's/^PRETTY_NAME="\(.*\)"/\1/p' /etc/os-release); working folders on" \
    "$(df -T "$tmp" | awk 'NR == 2 { print $2 }'); load average $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after."
  echo "$max_certs test certificates of $((cert_bytes / max_certs)) bytes on average; p11-kit trust module" \
    "with $trust_certs certificates. SHA-1 natively: $("$codec_bench" count sha1-extensions 0 0)" \
    "(this machine's CPU; under callgrind the SHA extensions are hidden)."
  echo
  cat "$tmp/tables.md"
} | tee "$results"
echo
echo "(written to ${results#"$root/"})"
