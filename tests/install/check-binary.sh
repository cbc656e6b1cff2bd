#!/usr/bin/env bash
# Checks a shipped program: it needs nothing beyond libc (and libdl and the
# dynamic loader), and it is hardened (PIE, full RELRO with immediate binding,
# no executable stack, stack protector, fortified libc calls). With a floor,
# no symbol it needs from glibc may be newer than that version, so that it
# starts on every distribution whose glibc is at least that old.
#   check-binary.sh PROGRAM [sanitized | --glibc-floor VERSION]
set -u
program=$1 sanitized="" floor=""
case "${2:-}" in
  sanitized) sanitized=1 ;;
  --glibc-floor) floor=${3:?--glibc-floor needs a version} ;;
  "") ;;
  *) echo "check-binary: unknown argument $2" >&2; exit 2 ;;
esac
failures=0
fail() { echo "FAIL: $(basename "$program"): $*"; failures=$((failures + 1)); }

dynamic=$(readelf -dW "$program") || { echo "cannot read $program"; exit 1; }
headers=$(readelf -lW "$program")
symbols=$(readelf --dyn-syms -W "$program")

if [ -z "$sanitized" ]; then
  while read -r lib; do
    case "$lib" in
      libc.so.6|libdl.so.2|ld-linux.so.2|ld-linux-x86-64.so.2) ;;
      *) fail "needs $lib" ;;
    esac
  done < <(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<< "$dynamic")
  grep -q '__stack_chk_fail' <<< "$symbols" || fail "no stack protector"
  grep -qE '__[a-z]+_chk@' <<< "$symbols" || fail "no fortified libc calls"
fi
grep -qE 'FLAGS_1.*PIE' <<< "$dynamic" || fail "not a position-independent executable"
grep -qE '\(FLAGS\).*BIND_NOW|FLAGS_1.*NOW' <<< "$dynamic" || fail "no immediate binding"
grep -q 'GNU_RELRO' <<< "$headers" || fail "no RELRO segment"
grep -E 'GNU_STACK' <<< "$headers" | grep -q 'RWE' && fail "executable stack"

if [ -n "$floor" ]; then
  # The versions of the undefined dynamic symbols, as an integrator would look them up.
  needed=$(objdump -T "$program" | awk '$0 ~ /\*UND\*/' | grep -oE 'GLIBC_[0-9A-Z_.]+' | sort -Vu)
  [ -n "$needed" ] || fail "objdump -T shows no glibc symbol versions"
  grep -q 'GLIBC_PRIVATE' <<< "$needed" && fail "needs GLIBC_PRIVATE symbols"
  newest=$(grep -oE '^GLIBC_[0-9.]+$' <<< "$needed" | sed 's/^GLIBC_//' | sort -V | tail -n 1)
  if [ -n "$newest" ] && [ "$(printf '%s\n%s\n' "$floor" "$newest" | sort -V | tail -n 1)" != "$floor" ]; then
    fail "needs GLIBC_$newest, newer than the floor GLIBC_$floor:"$'\n'"$(objdump -T "$program" |
      awk -v v="GLIBC_$newest" '$0 ~ /\*UND\*/ && index($0, v) { print "  " $NF " " v }')"
  fi
fi

[ "$failures" -eq 0 ] && echo "ok: $(basename "$program")${floor:+, glibc <= $floor}"
exit $((failures != 0))
