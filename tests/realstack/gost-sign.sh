#!/usr/bin/env bash
# A real GOST R 34.10-2001 signature made through the bridge: our test module
# signs with OpenSSL's gost engine, and the Base64 signature that tovrel and
# marbek return is verified against the certificate by OpenSSL on its own.
#   gost-sign.sh TOVREL MARBEK MODULE
set -u
tovrel=$1 marbek=$2 module=$3
here=$(cd "$(dirname "$0")" && pwd)
fixtures=$here/../fixtures
TMP=$(mktemp -d); trap 'rm -rf "$TMP"' EXIT
. "$here/common.sh"
unshare -m true 2>/dev/null || { echo "needs a private mount namespace (root); skipped"; exit 77; }
export TEST_MODULE_CONF=$fixtures/demo-token.conf
unset TEST_MODULE_LOG

verify() {  # digest-file signature-file
  # The verifier is the machine's own OpenSSL, whatever engine the module under test uses.
  env -u OPENSSL_ENGINES openssl pkeyutl -engine gost -verify -certin -inkey "$fixtures/demo-cert.pem" \
    -in "$1" -sigfile "$2" > /dev/null 2>&1
}
for variant in tovrel marbek; do
  program=$tovrel
  [ "$variant" = marbek ] && program=$marbek
  for i in 1 2 3; do
    head -c 32 /dev/urandom > "$TMP/digest.bin"
    run_bridge "$variant" "$program" "$module" signDocumentRaw "JaCarta" 1234 "$(base64 -w0 < "$TMP/digest.bin")"
    sed -n 's/^SignedData=//p' <<< "$RESPONSE" | base64 -d > "$TMP/signature.bin"
    check "$variant: signature $i is 64 bytes" same "$(stat -c %s "$TMP/signature.bin")" 64
    check "$variant: signature $i verifies under the certificate" verify "$TMP/digest.bin" "$TMP/signature.bin"
    # One flipped digest bit must make the same signature fail.
    perl -0777 -pi -e 'substr($_, 31, 1) ^= "\x01"' "$TMP/digest.bin"
    check "$variant: signature $i does not verify for another digest" \
      bash -c '! "$@"' _ verify "$TMP/digest.bin" "$TMP/signature.bin"
  done
done
finish
