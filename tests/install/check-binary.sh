#!/usr/bin/env bash
# Checks a shipped program: it needs nothing beyond libc (and libdl and the
# dynamic loader), and it is hardened (PIE, full RELRO with immediate binding,
# no executable stack, stack protector, fortified libc calls).
#   check-binary.sh PROGRAM [sanitized]
set -u
program=$1 sanitized=${2:-}
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

[ "$failures" -eq 0 ] && echo "ok: $(basename "$program")"
exit $((failures != 0))
