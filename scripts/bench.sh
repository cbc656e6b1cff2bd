#!/usr/bin/env bash
# The bridge benchmark: the per-run cost and peak memory of tovrel's commands
# next to a floor measured in the same run, and how the certificate list grows
# with the number of certificates.
#
#   scripts/bench.sh            (BENCH_RUNS=N rounds, default 50; BENCH_WARMUP=N, default 3;
#                                BENCH_KEEP=1 keeps the working folders, e.g. for a profiler)
#
# The floor (tests/bench/bridge/floor.c) loads the same module and makes exactly the
# PKCS#11 calls that tovrel makes for the command, and nothing else; this
# script checks that first, by comparing the programs' call logs. "Floor +
# necessary work" (floor-work, the same source) also computes, with OpenSSL,
# the SHA-1 fingerprint and the Base64 text of every certificate it reads:
# the least that any program can spend on the command with that module. Beside
# them runs pkcs11-tool doing the same job where it has a way to. Modules:
#   - p11-kit's trust module (the system CA store, reader "ca-certificates");
#   - the test module (tests/p11mock) with 10, 100, 500 and 1000 certificates
#     of about 1.5 KiB made here with openssl, and a fake signing key.
# Every command of a row is started once per round, round after round
# (tests/bench/bridge/runner.c), and the medians are reported. Nothing is asserted:
# the script prints the ratios and whether each target is met, and exits 0
# unless something could not be built or did not answer correctly. It ends with
# the SHA-1 throughput of the codec (SHA extensions and portable code) beside
# OpenSSL's, from tests/bench/codec.
#
# The working folders are made under $TMPDIR (default /tmp). Their file system
# shows in the results: tovrel writes each answer to a new file and renames it
# over the last one, which costs more on ext4 than on tmpfs.
#
# Builds (Release): the native tree in build/bench/main (tovrel and the test
# module only), tests/bench/bridge in build/bench/tools. The release build of tovrel
# (build/release/x86_64/bin, made in a Debian 11 root by scripts/release.sh,
# which runs first when it is missing) is measured in the same rounds: each
# table row says which build it measured; BENCH_RELEASE=0 leaves it out. The
# tables also go to build/bench/results.md, the raw timings to build/bench/raw/.
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
cert_counts=(10 100 500 1000) # descriptions made
row_counts=(10 100 1000)       # table rows
growth_counts=(100 500 1000)   # the growth measurement
digest_b64="AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="
digest_hex="000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"

# --- what the benchmark needs, installed when missing --------------------------
bash "$root/scripts/install-deps.sh" >/dev/null

# The modules of the ABI the benchmark builds for (this machine's compiler).
multiarch=$(gcc -print-multiarch)
trust_module=/usr/lib/$multiarch/pkcs11/p11-kit-trust.so
spy_module=/usr/lib/$multiarch/pkcs11/pkcs11-spy.so

# --- builds ---------------------------------------------------------------------
echo "building (Release) ..."
cmake -S "$root" -B "$main_build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$main_build" -j"$(nproc)" --target tovrel p11mock >/dev/null
cmake -S "$root/tests/bench/bridge" -B "$tools_build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tools_build" -j"$(nproc)" >/dev/null
cmake -S "$root/tests/bench/codec" -B "$codec_build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$codec_build" -j"$(nproc)" >/dev/null
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

tmp=$(mktemp -d)
if [ -n "${BENCH_KEEP:-}" ]; then
  echo "keeping the certificates, descriptions and working folders in $tmp"
else
  trap 'rm -rf "$tmp"' EXIT
fi
mkdir -p "$raw"
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

# --- one row: a module, a command ------------------------------------------------
# Each module is installed for tovrel as <plugdir>/libjcPKCS11.so.1; the floor
# and pkcs11-tool load that same file.
table_rows=()
declare -A median rss cpu

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
  local floor_cmd tool_cmd=() has_work=
  case "$command" in
    getCertList)
      printf 'getCertList\n%s\n1234\n' "$reader" >"$work/tovrel_in.txt"
      floor_cmd=(list)
      has_work=1
      tool_cmd=(pkcs11-tool --module "$plug/libjcPKCS11.so.1" --list-objects --type cert) ;;
    readTokenCert)
      printf 'readTokenCert\n%s\n1234\n' "$reader" >"$work/tovrel_in.txt"
      floor_cmd=(first)
      has_work=1
      # pkcs11-tool reads an object only by ID or label; the test module's
      # certificates have neither.
      if [ "$label" = trust ]; then
        local first_label
        first_label=$(pkcs11-tool --module "$file" --list-objects --type cert 2>/dev/null |
          sed -n 's/^  label: *//p' | head -1)
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

  # Before timing: tovrel (each build) answers correctly, and the floor and
  # the floor with the work make the same calls. The trust module is watched
  # through OpenSC's spy, the test module keeps its own log.
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
  local floors=(floor) program argv=()
  [ -z "$has_work" ] || floors+=(work)
  for program in "${builds[@]}" "${floors[@]}"; do
    case $program in
      tovrel) argv=("$tovrel") ;;
      release) argv=("$release_tovrel") ;;
      floor) argv=("$floor" "$module_file" "$reader" "${floor_cmd[@]}") ;;
      work) argv=("$floor_work" "$module_file" "$reader" "${floor_cmd[@]}") ;;
    esac
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

  local commands=(tovrel "$tovrel" :::)
  [ "$with_release" = 0 ] || commands+=(release "$release_tovrel" :::)
  commands+=(floor "$floor" "$plug/libjcPKCS11.so.1" "$reader" "${floor_cmd[@]}")
  [ -z "$has_work" ] || commands+=(::: work "$floor_work" "$plug/libjcPKCS11.so.1" "$reader" "${floor_cmd[@]}")
  [ "${#tool_cmd[@]}" -eq 0 ] || commands+=(::: pkcs11-tool "${tool_cmd[@]}")
  "${env_cmd[@]}" "$runner" -r "$runs" -w "$warmup" -C "$work" -- "${commands[@]}" \
    >"$raw/$label-$command.txt"
  local name m q1 q3 min r rmax c
  while read -r name m q1 q3 min r rmax c; do
    median[$label,$command,$name]=$m
    rss[$label,$command,$name]=$r
    cpu[$label,$command,$name]=$c
  done <"$raw/$label-$command.txt"
  local line
  line=$(printf '  %-10s %-16s %5d calls' "$label" "$command" "$call_count")
  for program in "${builds[@]}" "${floors[@]}"; do
    line+=$(printf '  %s %.2f ms' "$program" "${median[$label,$command,$program]}")
  done
  for program in "${builds[@]}"; do table_rows+=("$label|$command|$call_count|$program"); done
  echo "$line"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "measuring ($runs rounds after $warmup warm-up rounds per row) ..."
trust_certs=$(pkcs11-tool --module "$trust_module" --list-objects --type cert 2>/dev/null |
  grep -c '^Certificate Object')
bench_row trust "$trust_module" "" ca-certificates getCertList "$trust_certs"
bench_row trust "$trust_module" "" ca-certificates readTokenCert 1
for n in "${row_counts[@]}"; do
  bench_row "test-$n" "$mock_module" "$tmp/test-$n.conf" "Bench token" getCertList "$n"
  bench_row "test-$n" "$mock_module" "$tmp/test-$n.conf" "Bench token" readTokenCert 1
  bench_row "test-$n" "$mock_module" "$tmp/test-$n.conf" "Bench token" signDocumentRaw 1
done

# Growth: getCertList of tovrel, of the floor, of the floor with the
# necessary work and of that writing an answer file too, at every size, all
# in the same rounds, so that the slopes between sizes do not pick up a load
# change between rows.
install_module growth "$mock_module"
growth_commands=()
for n in "${growth_counts[@]}"; do
  work="$tmp/growth-$n"
  mkdir -p "$work"
  printf '%s/\n' "$plug" >"$work/vn_api_currplugDir.txt"
  printf 'getCertList\nBench token\n1234\n' >"$work/tovrel_in.txt"
  [ "${#growth_commands[@]}" -eq 0 ] || growth_commands+=(:::)
  growth_commands+=("tovrel-$n" -C "$work" -e "TEST_MODULE_CONF=$tmp/test-$n.conf" "$tovrel" :::
    "floor-$n" -C "$work" -e "TEST_MODULE_CONF=$tmp/test-$n.conf" "$floor" "$plug/libjcPKCS11.so.1"
    "Bench token" list :::
    "work-$n" -C "$work" -e "TEST_MODULE_CONF=$tmp/test-$n.conf" "$floor_work" "$plug/libjcPKCS11.so.1"
    "Bench token" list :::
    "answer-$n" -C "$work" -e "TEST_MODULE_CONF=$tmp/test-$n.conf" "$floor_work" "$plug/libjcPKCS11.so.1"
    "Bench token" list floor_answer.txt)
done
"$runner" -r "$runs" -w "$warmup" -- "${growth_commands[@]}" >"$raw/growth.txt"
while read -r name m q1 q3 min r rmax c; do
  median[growth,${name%-*},${name##*-}]=$m
  cpu[growth,${name%-*},${name##*-}]=$c
done <"$raw/growth.txt"
for n in "${growth_counts[@]}"; do
  check_response "$tmp/growth-$n/tovrel_out.txt" getCertList "$n"
done
printf '  growth     getCertList      %s certificates, interleaved\n' "${growth_counts[*]}"

# The codec's throughput: what the per-certificate work costs on this CPU.
# Repetitions in random order, so that a load change spreads over all of them.
"$codec_build/codec_bench" --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_color=false >"$raw/codec.txt"
grep '^|' "$raw/codec.txt" >"$tmp/codec.md"
echo "  codec      SHA-1, Base64    throughput"

# --- tables ---------------------------------------------------------------------
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.3f", a / b; else printf "-" }'; }
le() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "-" && a <= b) }'; }

time_missed="" work_missed="" tool_missed="" memory_missed="" growth_missed=""
{
  echo "Build: \"debian12\" is tovrel built here (Release, this machine's GCC); \"release\" is the" \
    "release binary (build/release/x86_64/bin, built in a Debian 11 root). Both run in the same rounds" \
    "as the floor and the floor + necessary work (\"floor+work\": OpenSSL's SHA-1 and Base64 of every" \
    "certificate read)."
  echo
  echo "| module | command | build | calls | tovrel ms | floor ms | tovrel/floor | CPU tovrel/floor | floor+work ms | tovrel/(floor+work) | CPU tovrel/(floor+work) | pkcs11-tool ms | peak RSS tovrel KiB | peak RSS floor KiB | RSS ratio |"
  echo "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for row in "${table_rows[@]}"; do
    IFS='|' read -r label command calls build <<<"$row"
    t=${median[$label,$command,$build]} f=${median[$label,$command,floor]}
    tool=${median[$label,$command,pkcs11-tool]:-}
    rt=${rss[$label,$command,$build]} rf=${rss[$label,$command,floor]}
    time_ratio=$(ratio "$t" "$f") rss_ratio=$(ratio "$rt" "$rf")
    cpu_ratio=$(ratio "${cpu[$label,$command,$build]}" "${cpu[$label,$command,floor]}")
    le "$time_ratio" 1.10 || time_missed+=" $label/$command/$build ($time_ratio)"
    w=${median[$label,$command,work]:-} work_ratio=- work_cpu_ratio=-
    if [ -n "$w" ]; then
      work_ratio=$(ratio "$t" "$w")
      work_cpu_ratio=$(ratio "${cpu[$label,$command,$build]}" "${cpu[$label,$command,work]}")
      w=$(printf '%.2f' "$w")
      [ "$command" != getCertList ] || le "$work_ratio" 1.05 || work_missed+=" $label/$build ($work_ratio)"
    fi
    le "$rss_ratio" 1.5 || memory_missed+=" $label/$command/$build ($rss_ratio)"
    if [ -n "$tool" ]; then
      awk -v a="$t" -v b="$tool" 'BEGIN { exit !(a < b) }' || tool_missed+=" $label/$command/$build"
    fi
    [ -z "$tool" ] || tool=$(printf '%.2f' "$tool")
    build_name=$build
    [ "$build" = tovrel ] && build_name=debian12
    printf '| %s | %s | %s | %s | %.2f | %.2f | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$label" "$command" \
      "$build_name" "$calls" "$t" "$f" "$time_ratio" "$cpu_ratio" "${w:--}" "$work_ratio" "$work_cpu_ratio" "${tool:--}" \
      "$rt" "$rf" "$rss_ratio"
  done
  echo
  echo "Growth of getCertList on the test module, all sizes measured in the same rounds:" \
    "time per certificate between two sizes."
  echo
  # Columns from growth_counts: the time at each size, the time per
  # certificate between neighbouring sizes and over the whole span, and the
  # last span's slope against the first's.
  first=${growth_counts[0]} last=${growth_counts[-1]}
  spans=()
  for ((i = 1; i < ${#growth_counts[@]}; i++)); do spans+=("${growth_counts[i - 1]}→${growth_counts[i]}"); done
  header="| program |" rule="|---|"
  for n in "${growth_counts[@]}"; do header+=" $n certs ms |"; rule+="---:|"; done
  for span in "${spans[@]}" "$first→$last"; do header+=" µs/cert $span |"; rule+="---:|"; done
  echo "$header later/earlier |"
  echo "$rule---:|"
  for program in tovrel floor work answer; do
    row="| $program |"
    [ "$program" != work ] || row="| floor+work |"
    [ "$program" != answer ] || row="| floor+work+answer |"
    for n in "${growth_counts[@]}"; do row+=" $(printf '%.2f' "${median[growth,$program,$n]}") |"; done
    slopes=()
    for ((i = 1; i < ${#growth_counts[@]}; i++)); do
      slopes+=("$(awk -v a="${median[growth,$program,${growth_counts[i - 1]}]}" -v b="${median[growth,$program,${growth_counts[i]}]}" \
        -v n="$((growth_counts[i] - growth_counts[i - 1]))" 'BEGIN { printf "%.2f", (b - a) * 1000 / n }')")
    done
    whole=$(awk -v a="${median[growth,$program,$first]}" -v b="${median[growth,$program,$last]}" \
      -v n="$((last - first))" 'BEGIN { printf "%.2f", (b - a) * 1000 / n }')
    g=$(awk -v s1="${slopes[0]}" -v s2="${slopes[-1]}" 'BEGIN { printf "%.3f", (s1 > 0 ? s2 / s1 : 0) }')
    case $program in tovrel | floor)
      awk -v g="$g" 'BEGIN { exit !(g >= 0.8 && g <= 1.2) }' || growth_missed+=" $program ($g)" ;;
    esac
    for slope in "${slopes[@]}" "$whole"; do row+=" $slope |"; done
    echo "$row $g |"
  done
  # Per certificate: the difference of two programs' slopes over the whole
  # span, from the wall-clock medians and from the CPU-time medians (which a
  # busy machine disturbs less).
  per_cert() { # PROGRAM BASE ARRAY
    local -n times=$3
    awk -v b1="${times[growth,$1,$first]}" -v b2="${times[growth,$1,$last]}" -v f1="${times[growth,$2,$first]}" \
      -v f2="${times[growth,$2,$last]}" -v n="$((last - first))" 'BEGIN { printf "%.2f", ((b2 - b1) - (f2 - f1)) * 1000 / n }'
  }
  echo
  echo "Per certificate ($first→$last), from the slopes above (wall clock; CPU time):"
  echo
  echo "- tovrel's own cost above the floor: $(per_cert tovrel floor median) µs; $(per_cert tovrel floor cpu) µs"
  echo "- the necessary work (OpenSSL's SHA-1 and Base64) above the floor: $(per_cert work floor median) µs;" \
    "$(per_cert work floor cpu) µs"
  echo "- tovrel's cost above the floor + necessary work: $(per_cert tovrel work median) µs; $(per_cert tovrel work cpu) µs"
  echo "- writing the fingerprints and texts to an answer file, above the floor + necessary work:" \
    "$(per_cert answer work median) µs; $(per_cert answer work cpu) µs"
  echo "- tovrel's cost above the floor + necessary work + answer file: $(per_cert tovrel answer median) µs;" \
    "$(per_cert tovrel answer cpu) µs"
  line="tovrel against the floor + necessary work + answer file, getCertList (wall clock; CPU time):"
  for n in "${growth_counts[@]}"; do
    line+=" $(ratio "${median[growth,tovrel,$n]}" "${median[growth,answer,$n]}");"
    line+=" $(ratio "${cpu[growth,tovrel,$n]}" "${cpu[growth,answer,$n]}") at $n,"
  done
  echo
  echo "${line%,} certificates (same rounds)."
  echo
  echo "SHA-1 and Base64 throughput of the codec (tests/bench/codec, CPU time, median of 9) beside OpenSSL's;" \
    "the codec's SHA-1 on the SHA extensions and on the portable code:"
  echo
  cat "$tmp/codec.md"
  echo
  verdict() { if [ -z "$2" ]; then echo "- $1: met"; else echo "- $1: MISSED on$2"; fi; }
  echo "Targets:"
  verdict "tovrel within 1.10 of the floor" "$time_missed"
  verdict "getCertList within 1.05 of the floor + necessary work" "$work_missed"
  verdict "tovrel faster than pkcs11-tool where it runs" "$tool_missed"
  verdict "time per certificate constant within 20% (${spans[-1]} against ${spans[0]})" "$growth_missed"
  verdict "peak memory within 1.5 of the floor" "$memory_missed"
} >"$tmp/tables.md"

runner_rss=$("$runner" -r 3 -w 0 -- true true | awk '{ print $6 }')
{
  echo "Machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), $(nproc) cores;" \
    "$(sed -n 's/^PRETTY_NAME="\(.*\)"/\1/p' /etc/os-release); working folders on" \
    "$(df -T "$tmp" | awk 'NR == 2 { print $2 }'); load average $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after."
  echo "Medians of $runs rounds after $warmup warm-up rounds; $max_certs test certificates of" \
    "$((cert_bytes / max_certs)) bytes on average; p11-kit trust module with $trust_certs certificates."
  echo "Times are wall-clock medians; \"CPU\" is the ratio of the median user+system times, which leave out" \
    "waiting (for the disk, or for a CPU that another process holds)."
  echo "Peak RSS is ru_maxrss of the child; it includes about $runner_rss KiB that even \`true\` shows."
  echo
  cat "$tmp/tables.md"
} | tee "$results"
echo
echo "(written to ${results#"$root/"})"
