#!/usr/bin/env bash
# Real GOST signatures made through the bridge by our test module with OpenSSL's
# gost engine, one token per key generation: GOST R 34.10-2012 with 256-bit keys
# (the demo token) and GOST R 34.10-2001. The Base64 signature that tovrel and
# marbek return is verified against the certificate by OpenSSL on its own, and by
# the curve arithmetic of gost_verify.py, which pins the signature layout.
#   gost-signatures.sh TOVREL MARBEK MODULE
set -u
tovrel=$1 marbek=$2 module=$3
here=$(cd "$(dirname "$0")" && pwd)
fixtures=$here/../fixtures
TMP=$(mktemp -d); trap 'rm -rf "$TMP"' EXIT
. "$here/../support/bridge_runs.sh"
unshare -m true 2>/dev/null || { echo "needs a private mount namespace (root); skipped"; exit 77; }
unset TEST_MODULE_LOG

printf 'slot 1\n  description Aladdin R.D. JaCarta GOST 2.0 0\n  manufacturer Aladdin R.D.\n  cert %s\n  key %s\n' \
  "$fixtures/demo-2001-cert.der" "$fixtures/demo-2001-key.pem" > "$TMP/token-2001.conf"

for generation in 2012-256 2001; do
  if [ "$generation" = 2001 ]; then
    export TEST_MODULE_CONF=$TMP/token-2001.conf; cert=$fixtures/demo-2001-cert
  else
    export TEST_MODULE_CONF=$fixtures/demo-token.conf; cert=$fixtures/demo-cert
  fi
  for variant in tovrel marbek; do
    program=$tovrel
    [ "$variant" = marbek ] && program=$marbek
    for i in 1 2 3; do
      head -c 32 /dev/urandom > "$TMP/digest.bin"
      run_bridge "$variant" "$program" "$module" signDocumentRaw "JaCarta" 1234 "$(base64 -w0 < "$TMP/digest.bin")"
      sed -n 's/^SignedData=//p' <<< "$RESPONSE" | base64 -d > "$TMP/signature.bin"
      what="$variant, $generation key: signature $i"
      check "$what is 64 bytes" same "$(stat -c %s "$TMP/signature.bin")" 64
      check "$what verifies under the certificate" gost_verifies "$cert.pem" "$TMP/digest.bin" "$TMP/signature.bin"
      check "$what is s then r of the little-endian digest" \
        layout_verifies "$cert.der" "$TMP/digest.bin" "$TMP/signature.bin"
      # One flipped digest bit must make the same signature fail.
      perl -0777 -pi -e 'substr($_, 31, 1) ^= "\x01"' "$TMP/digest.bin"
      check "$what does not verify for another digest" \
        not gost_verifies "$cert.pem" "$TMP/digest.bin" "$TMP/signature.bin"
      check "$what is rejected for another digest by the curve arithmetic" \
        layout_rejects "$cert.der" "$TMP/digest.bin" "$TMP/signature.bin"
    done
  done
done
finish
