#!/usr/bin/env bash
# The bridge against a real GOST module nobody on this project wrote: SoftHSM2
# built with GOST (scripts/softhsm-gost.sh), holding a GOST R 34.10-2001 key pair
# made by OpenSSL's gost engine and its certificate, in a private token directory.
# Signatures are verified by OpenSSL and by the curve arithmetic of gost_verify.py;
# OpenSC's pkcs11-spy checks the signing run's calls and arguments.
#   softhsm-gost.sh TOVREL MARBEK MODULE SPY IMPORTER
# MODULE is SoftHSM2 with GOST for the ABI of the programs; OPENSSL_ENGINES, when
# set, is the gost engine folder of that ABI, which the module loads.
set -u
tovrel=$1 marbek=$2 module=$3 spy=$4 importer=$5
here=$(cd "$(dirname "$0")" && pwd)
fixtures=$here/../fixtures
TMP=$(mktemp -d); trap 'rm -rf "$TMP"' EXIT
. "$here/../support/bridge_runs.sh"
if [ -z "$module" ] || [ ! -f "$module" ]; then
  echo "SoftHSM2 with GOST not given: configure with -DSOFTHSM2_GOST_MODULE=PATH," \
    "made by scripts/softhsm-gost.sh (scripts/test.sh does both); skipped"
  exit 77
fi
unshare -m true 2>/dev/null || { echo "needs a private mount namespace (root); skipped"; exit 77; }
host_openssl() { env -u OPENSSL_ENGINES openssl "$@"; }

# The token: initialised with the machine's softhsm2-util (token files are the
# same for every build of this version), then the key pair and certificate are
# put on it through the module under test with C_CreateObject: d as 32 bytes
# big-endian (OpenSSL prints it without leading zeros), the public key as the
# certificate carries it (the last 64 bytes of the key's SubjectPublicKeyInfo).
softhsm_config ERROR
softhsm2-util --init-token --free --label gost --so-pin 12345678 --pin 1234 > /dev/null || exit 1
key=$fixtures/demo-2001-key.pem cert=$fixtures/demo-2001-cert
host_openssl pkey -engine gost -in "$key" -text -noout 2>/dev/null | sed -n 's/^Private key: *//p' |
  perl -ne 'chomp; print pack("H*", ("0" x (64 - length($_))) . $_) if length($_) && length($_) <= 64' > "$TMP/d.bin"
host_openssl pkey -engine gost -in "$key" -pubout -outform DER 2>/dev/null | tail -c 64 > "$TMP/point.bin"
"$importer" "$module" 1234 "$cert.der" "$TMP/d.bin" "$TMP/point.bin" || { echo "FAIL: token set-up"; exit 1; }

# The initialised token's slot description; SoftHSM2 also lists a free slot
# ("SoftHSM slot ID 0x1") after it, so only the full description picks ours.
description=$(softhsm2-util --show-slots | awk '/Description:/ {d=$0} /Initialized: *yes/ {print d; exit}' |
  sed -e 's/^ *Description: *//' -e 's/ *$//')
fingerprint=$(host_openssl x509 -inform der -in "$cert.der" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
cert64=$(base64 -w0 < "$cert.der")

signatures=10
for variant in tovrel marbek; do
  program=$tovrel
  [ "$variant" = marbek ] && program=$marbek

  run_bridge "$variant" "$program" "$module" getCertList "$description" 1234
  check "$variant: getCertList lists the certificate with its SHA-1 fingerprint" \
    same "$RESPONSE" "[{hash:\"$fingerprint\",cert_base64:\"$cert64\"}]"
  run_bridge "$variant" "$program" "$module" readTokenCert "$description" 1234
  check "$variant: readTokenCert returns the certificate" \
    same "$RESPONSE" "$(printf 'Result=0\nError=OK\nRawCert64Coded\n%s' "$cert64")"

  run_bridge "$variant" "$program" "$module" signDocumentRaw "$description" 4321 "$(head -c 32 /dev/urandom | base64 -w0)"
  check "$variant: a wrong PIN answers C_Login 160" \
    same "$RESPONSE" $'Result=160\nError=CKR_PIN_INCORRECT\nError func=C_Login'

  verified=0 layout=0 changed=0
  for i in $(seq "$signatures"); do
    head -c 32 /dev/urandom > "$TMP/digest.bin"
    run_bridge "$variant" "$program" "$module" signDocumentRaw "$description" 1234 "$(base64 -w0 < "$TMP/digest.bin")"
    sed -n 's/^SignedData=//p' <<< "$RESPONSE" | base64 -d > "$TMP/signature.bin"
    [ "$(stat -c %s "$TMP/signature.bin")" = 64 ] || { echo "signature $i: $RESPONSE"; continue; }
    gost_verifies "$cert.pem" "$TMP/digest.bin" "$TMP/signature.bin" && verified=$((verified + 1))
    layout_verifies "$cert.der" "$TMP/digest.bin" "$TMP/signature.bin" && layout=$((layout + 1))
    perl -0777 -pi -e 'substr($_, 0, 1) ^= "\x80"' "$TMP/digest.bin"
    ! gost_verifies "$cert.pem" "$TMP/digest.bin" "$TMP/signature.bin" &&
      layout_rejects "$cert.der" "$TMP/digest.bin" "$TMP/signature.bin" && changed=$((changed + 1))
  done
  check "$variant: $signatures signatures of random digests verify with OpenSSL" same "$verified" "$signatures"
  check "$variant: they are s then r of the little-endian digest (curve arithmetic)" same "$layout" "$signatures"
  check "$variant: none verifies, either way, for a changed digest" same "$changed" "$signatures"
done

# OpenSC's pkcs11-spy between tovrel and the module logs every call with its
# arguments, read by a tool that is not ours: the signing run's calls in order,
# the digest that reaches C_Sign, and the signature that comes back unchanged.
export PKCS11SPY=$module PKCS11SPY_OUTPUT=$TMP/spy.log
head -c 32 /dev/urandom > "$TMP/digest.bin"
run_bridge tovrel "$tovrel" "$spy" signDocumentRaw "$description" 1234 "$(base64 -w0 < "$TMP/digest.bin")"
unset PKCS11SPY PKCS11SPY_OUTPUT
check "spy: the signing run makes exactly these calls, in this order" same "$(spy_calls "$TMP/spy.log")" \
  "C_Initialize C_GetSlotList C_GetSlotList C_GetSlotInfo C_GetSlotInfo C_OpenSession C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_SignInit C_Sign C_Logout C_CloseSession C_Finalize "
check "spy: session flags, user type, PIN length, search classes, mechanism, data and signature lengths" \
  same "$(spy_arguments "$TMP/spy.log")" \
  "flags = 0x6;CKA_CLASS CKO_CERTIFICATE;userType = CKU_USER;pPin[ulPinLen] 4;CKA_CLASS CKO_PRIVATE_KEY;CKA_CLASS CKO_PUBLIC_KEY;pMechanism->type = CKM_GOSTR3410;pParameter[ulParameterLen] NULL;pData[ulDataLen] 32;pSignature[*pulSignatureLen] 64;"
# spy_bytes HEADER: the hex dump that follows the line holding HEADER, as plain hex.
spy_bytes() {
  awk -v h="$1" 'index($0, h) { on = 1; next }
    on && /^    [0-9a-fA-F]+  / { printf "%s", substr($0, 15, 48); next }
    on { exit }' "$TMP/spy.log" | tr -d ' \n' | tr 'A-F' 'a-f'
}
check "spy: C_Sign gets the host's digest" same "$(spy_bytes 'pData[ulDataLen]')" "$(od -An -v -tx1 "$TMP/digest.bin" | tr -d ' \n')"
check "spy: the response carries the module's signature unchanged" same "$(spy_bytes 'pSignature[*pulSignatureLen]')" \
  "$(sed -n 's/^SignedData=//p' <<< "$RESPONSE" | base64 -d | od -An -v -tx1 | tr -d ' \n')"

# A second token whose only key is RSA: the GOST module accepts CKM_GOSTR3410 for
# it at C_SignInit and fails the signature itself.
softhsm2-util --init-token --free --label rsa --so-pin 12345678 --pin 1234 > /dev/null || exit 1
rsa_description=$(softhsm2-util --show-slots | awk '/Description:/ {d=$0} /Label: *rsa *$/ {print d; exit}' |
  sed -e 's/^ *Description: *//' -e 's/ *$//')
tool() { pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label rsa --login --pin 1234 "$@" > /dev/null 2>&1; }
tool --write-object "$fixtures/cert1.der" --type cert --id 01 && tool --keypairgen --key-type rsa:2048 --id 01 ||
  { echo "FAIL: RSA token set-up"; exit 1; }
run_bridge tovrel "$tovrel" "$module" signDocumentRaw "$rsa_description" 1234 "$(head -c 32 /dev/urandom | base64 -w0)"
check "tovrel: an RSA key on the GOST module answers C_Sign 5" \
  same "$RESPONSE" $'Result=5\nError=CKR_GENERAL_ERROR\nError func=C_Sign'
finish
