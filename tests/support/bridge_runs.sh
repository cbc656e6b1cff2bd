# Helpers for the script tests that run the bridge the way the host does, on
# real modules or, where signatures are checked, on the test module.
# Sourced; expects TMP (a private folder) to be set.

LISSI_PATH=/opt/lissi-crypto/lircryptoki_fs/lib/liblircryptoki_fs.so
failures=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
not() { ! "$@"; }  # for check: a command (or function) that must fail
same() { [ "$1" = "$2" ] || { printf 'expected: %q\nactual:   %q\n' "$2" "$1"; return 1; }; }

# run_bridge VARIANT PROGRAM MODULE REQUEST...: one bridge run in a fresh working
# directory, the way the host makes it. Leaves RESPONSE, TRACE and STATUS.
run_bridge() {
  local variant=$1 program=$2 module=$3; shift 3
  local work; work=$(mktemp -d "$TMP/run.XXXXXX")
  printf '%s\n' "$@" > "$work/${variant}_in.txt"
  if [ "$variant" = tovrel ]; then
    mkdir -p "$work/plug" && ln -s "$module" "$work/plug/libjcPKCS11.so.1"
    printf '%s/plug/\n' "$work" > "$work/vn_api_currplugDir.txt"
    (cd "$work" && "$program") > "$work/trace" 2>&1
    STATUS=$?
  else
    MODULE=$module WORK=$work PROGRAM=$program LISSI_PATH=$LISSI_PATH unshare -m bash -c '
      mount -t tmpfs tmpfs /opt && mkdir -p "$(dirname "$LISSI_PATH")" &&
      cp "$MODULE" "$LISSI_PATH" && cd "$WORK" && exec "$PROGRAM"' > "$work/trace" 2>&1
    STATUS=$?
  fi
  TRACE=$(cat "$work/trace")
  RESPONSE=$(cat "$work/${variant}_out.txt" 2>/dev/null || echo "<no response file>")
}

# softhsm_config LOG_LEVEL: a private SoftHSM2 configuration (SOFTHSM2_CONF,
# exported) with an empty token folder (TOKENS). The folder is on a tmpfs where
# the machine has one at /dev/shm: a 32-bit SoftHSM2 built without large-file
# interfaces, as Debian's is, cannot list a folder on ext4 where 32-bit
# programs run under emulation (the directory offsets do not fit), and finds
# no token. The folder goes when the script ends.
softhsm_config() {
  if [ "$(stat -f -c %T /dev/shm 2> /dev/null)" = tmpfs ] && TOKENS=$(mktemp -d -p /dev/shm); then
    trap 'rm -rf "$TMP" "$TOKENS"' EXIT
  else
    TOKENS=$TMP/tokens; mkdir "$TOKENS"
  fi
  export SOFTHSM2_CONF=$TMP/softhsm2.conf
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = %s\n' "$TOKENS" "$1" \
    > "$SOFTHSM2_CONF"
}

# The certificate items of a list body, one "HASH BASE64" a line.
list_items() {
  sed -e 's/^\[//' -e 's/\]$//' -e 's/},{/}\n{/g' <<< "$1" |
    sed -n 's/^{hash:"\([0-9A-F]*\)",cert_base64:"\([A-Za-z0-9+\/=]*\)"}$/\1 \2/p'
}

# gost_verifies CERT.pem DIGEST SIGNATURE: OpenSSL's gost engine accepts the raw
# signature of the digest under the certificate's key. The verifier is the machine's
# own OpenSSL with its own gost engine, whatever engine the module under test uses;
# where the machine has none (Debian 13 ships none), with the one GOST_VERIFY_ENGINES names
# (an engine of the machine's own ABI), else the one OPENSSL_ENGINES names.
gost_verifies() {
  local environment=(env -u OPENSSL_ENGINES)
  if ! "${environment[@]}" openssl engine gost > /dev/null 2>&1; then
    environment=(env)
    [ -z "${GOST_VERIFY_ENGINES:-}" ] || environment=(env OPENSSL_ENGINES="$GOST_VERIFY_ENGINES")
  fi
  "${environment[@]}" openssl pkeyutl -engine gost -verify -certin -inkey "$1" -in "$2" -sigfile "$3" \
    > /dev/null 2>&1
}

# layout_verifies / layout_rejects CERT.der DIGEST SIGNATURE: the curve arithmetic of
# gost_verify.py, which uses no OpenSSL, accepts the signature, or rejects it as a
# wrong signature (and not as unusable input).
GOST_VERIFY=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/gost_verify.py
layout_verifies() { python3 "$GOST_VERIFY" "$@"; }
layout_rejects() {
  python3 "$GOST_VERIFY" "$@"
  [ $? -eq 1 ]
}

# What OpenSC's pkcs11-spy logged (LOG) of a bridge run, read by a tool that
# is not ours. spy_calls: the function names in call order, each followed by
# a blank. spy_arguments: the arguments the bridge chooses, each followed by
# ";": session flags, user type, PIN length, search classes, mechanism and
# its parameter, data and signature lengths. OpenSC 0.21's spy writes
# "type=" without blanks and no parameter line; both read the same here.
spy_calls() { sed -n 's/^[0-9]*: \(C_[A-Za-z]*\).*/\1/p' "$1" | tr '\n' ' '; }
spy_arguments() {
  grep -oE 'flags = 0x[0-9a-f]+|userType = CKU_[A-Z]+|pPin\[ulPinLen\] [0-9a-f]+ / [0-9]+|CKA_CLASS +CKO_[A-Z_]+|pMechanism->type *= *CKM_[A-Z0-9_]+|pParameter\[ulParameterLen\] [A-Za-z0-9]+|pData\[ulDataLen\] [0-9a-f]+ / [0-9]+|pSignature\[\*pulSignatureLen\] [0-9a-f]+ / [0-9]+' "$1" |
    sed -E 's/ +/ /g; s/type ?= ?/type = /; s/\] [0-9a-f]+ \/ /] /' | tr '\n' ';'
}

finish() {
  if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed"; exit 1; fi
  echo "all checks passed"
}
