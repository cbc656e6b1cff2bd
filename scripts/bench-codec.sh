#!/usr/bin/env bash
# Builds the codec benchmark (Release) into build/bench/codec and runs it twice: as
# the machine is, and with OpenSSL's use of the SHA extensions masked
# (OPENSSL_ia32cap bit 29 of the extended word), so that its SHA-1 runs its
# fastest code without them. Our SHA-1 is measured on each of its engines in
# both runs (the SHA extensions, AVX2+BMI2 and SSSE3 where the CPU has them,
# and the portable code). Each run ends with a table of throughputs in MB/s and ours/OpenSSL
# ratios. Extra arguments go to the benchmark program, e.g.
#   scripts/bench-codec.sh --benchmark_filter=Sha1
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/bench/codec"

cmake -S "$root/tests/bench/codec" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

# Repetitions in random order, so that a load change on a shared machine
# spreads over all the benchmarks alike.
args=(--benchmark_repetitions=9 --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true "$@")

echo "=== codec benchmark, OpenSSL with all CPU features"
env -u OPENSSL_ia32cap "$build/codec_bench" "${args[@]}"
echo
echo "=== codec benchmark, OpenSSL without the SHA extensions"
OPENSSL_ia32cap=":~0x20000000" "$build/codec_bench" "${args[@]}"
