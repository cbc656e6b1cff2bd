#!/usr/bin/env bash
# The main job end to end, as the host does it: for tovrel and marbek, each of the
# three commands in a fresh working directory against our test PKCS#11 module
# holding a demo token (a certificate with its GOST R 34.10-2012 key pair of
# 256-bit keys, which signs, then a GOST R 34.10-2001 certificate and key pair),
# showing the request, the trace and the response; the signature is then verified
# with OpenSSL against the first certificate. Last, quillet lists the card readers on a
# virtual reader. Builds whatever is missing first.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/x86_64
fixtures=$root/tests/fixtures

bash "$root/scripts/install-deps.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" > /dev/null
fi
cmake --build "$build" -j"$(nproc)" --target tovrel marbek quillet p11mock vpcd-card > /dev/null

module=$build/tests/p11mock/libp11mock.so
export TEST_MODULE_CONF=$fixtures/demo-token.conf
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

show() {  # title, file
  printf -- '--- %s\n' "$1"
  cat "$2"
  printf '\n'
}

# run_command VARIANT COMMAND READER PIN [PARAM]
run_command() {
  local variant=$1 work
  shift
  work=$(mktemp -d "$tmp/$variant.XXXXXX")
  printf '%s\n' "$@" > "$work/${variant}_in.txt"
  printf '\n===== %s: %s\n' "$variant" "$1"
  show "request ${variant}_in.txt" "$work/${variant}_in.txt"
  if [ "$variant" = tovrel ]; then
    mkdir "$work/plugins"
    cp "$module" "$work/plugins/libjcPKCS11.so.1"
    printf '%s/plugins/\n' "$work" > "$work/vn_api_currplugDir.txt"
    (cd "$work" && "$build/bridge/tovrel") > "$work/trace" || true
  else
    # marbek loads its module from a fixed path under /opt: give it one in a
    # private mount namespace, so that the machine's own /opt stays as it is.
    MODULE=$module WORK=$work PROGRAM=$build/bridge/marbek unshare -m bash -c '
      mount -t tmpfs tmpfs /opt && mkdir -p /opt/lissi-crypto/lircryptoki_fs/lib &&
      cp "$MODULE" /opt/lissi-crypto/lircryptoki_fs/lib/liblircryptoki_fs.so &&
      cd "$WORK" && exec "$PROGRAM"' > "$work/trace" || true
  fi
  show "trace (standard output)" "$work/trace"
  show "response ${variant}_out.txt" "$work/${variant}_out.txt"
  LAST_RESPONSE=$work/${variant}_out.txt
}

digest_file=$tmp/digest.bin
printf 'Document to be signed by the demo token' | openssl dgst -sha256 -binary > "$digest_file"
digest=$(base64 -w0 < "$digest_file")
reader="JaCarta GOST 2.0"

for variant in tovrel marbek; do
  run_command "$variant" getCertList "$reader" ""
  run_command "$variant" readTokenCert "$reader" ""
  run_command "$variant" signDocumentRaw "$reader" 1234 "$digest"
  sed -n 's/^SignedData=//p' "$LAST_RESPONSE" | base64 -d > "$tmp/signature.bin"
  printf -- '--- verifying the %s signature (GOST R 34.10-2012, 256-bit key) with OpenSSL against the demo certificate\n' \
    "$variant"
  openssl pkeyutl -engine gost -verify -certin -inkey "$fixtures/demo-cert.pem" \
    -in "$digest_file" -sigfile "$tmp/signature.bin" 2>/dev/null
done

printf '\n===== quillet\n'
bash "$root/tests/lister/demo-quillet.sh" "$build" || echo "(quillet demo did not run)"
