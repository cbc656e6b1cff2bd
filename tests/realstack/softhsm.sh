#!/usr/bin/env bash
# The bridge against SoftHSM2, a real PKCS#11 module: a token with three
# certificates and an RSA key pair in a private token directory.
#   softhsm.sh TOVREL MARBEK MODULE SPY
set -u
tovrel=$1 marbek=$2 module=$3 spy=$4
here=$(cd "$(dirname "$0")" && pwd)
fixtures=$here/../fixtures
TMP=$(mktemp -d); trap 'rm -rf "$TMP"' EXIT
. "$here/../support/bridge_runs.sh"
[ -f "$module" ] || { echo "SoftHSM2 module $module not installed; skipped"; exit 77; }
unshare -m true 2>/dev/null || { echo "needs a private mount namespace (root); skipped"; exit 77; }

# Token set-up with the machine's own (amd64) tools: token files are the same for both ABIs.
softhsm_config ERROR
tool_module=/usr/lib/softhsm/libsofthsm2.so
p11() { pkcs11-tool --module "$tool_module" "$@" 2>/dev/null; }
softhsm2-util --init-token --free --label bridge --so-pin 12345678 --pin 1234 > /dev/null || exit 1
for i in 1 2 3; do
  p11 --login --pin 1234 --write-object "$fixtures/cert$i.der" --type cert --id "0$i" > /dev/null || exit 1
done
p11 --login --pin 1234 --keypairgen --key-type rsa:2048 --id 09 > /dev/null || exit 1

# The initialised token's slot description, and the list as pkcs11-tool sees it.
description=$(softhsm2-util --show-slots | awk '/Description:/ {d=$0} /Initialized: *yes/ {print d; exit}' |
  sed -e 's/^ *Description: *//' -e 's/ *$//')
expected=""
for id in $(p11 --list-objects --type cert | sed -n 's/^ *ID: *//p'); do
  p11 --read-object --type cert --id "$id" -o "$TMP/c.der" > /dev/null
  fp=$(openssl x509 -inform der -in "$TMP/c.der" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
  expected+="$fp $(base64 -w0 < "$TMP/c.der")"$'\n'
done
expected=${expected%$'\n'}
digest=$(head -c 32 /dev/urandom | base64 -w0)

for variant in tovrel marbek; do
  program=$tovrel; reader=$description
  [ "$variant" = marbek ] && program=$marbek

  run_bridge "$variant" "$program" "$module" getCertList "$reader" 1234
  check "$variant: getCertList exits 0" same "$STATUS" 0
  # SoftHSM2 keeps its objects in a set ordered by address, so its search order
  # can differ from one process (and ABI) to the next: compare as sets here; the
  # test module's cases prove the order.
  check "$variant: lists the three certificates with their SHA-1 fingerprints" \
    same "$(list_items "$RESPONSE" | sort)" "$(sort <<< "$expected")"
  check "$variant: the list is the whole body" same "$(list_items "$RESPONSE" | wc -l)" 3

  run_bridge "$variant" "$program" "$module" readTokenCert "$reader" 1234
  check "$variant: readTokenCert returns one of the certificates, in a certificate body" \
    grep -qxF -- "$(sed -n '4p' <<< "$RESPONSE")" <<< "$(cut -d' ' -f2 <<< "$expected")"
  check "$variant: readTokenCert body header" \
    same "$(head -n 3 <<< "$RESPONSE")" $'Result=0\nError=OK\nRawCert64Coded'

  run_bridge "$variant" "$program" "$module" signDocumentRaw "$reader" 4321 "$digest"
  check "$variant: a wrong PIN answers C_Login 160" \
    same "$RESPONSE" $'Result=160\nError=CKR_PIN_INCORRECT\nError func=C_Login'
  check "$variant: the PIN is not in the trace" bash -c '! grep -q 4321 <<< "$1"' _ "$TRACE"

  run_bridge "$variant" "$program" "$module" signDocumentRaw "$reader" 1234 "$digest"
  check "$variant: SoftHSM2 has no GOST, so signing stops at C_SignInit 112" \
    same "$RESPONSE" $'Result=112\nError=CKR_MECHANISM_INVALID\nError func=C_SignInit'
done

# OpenSC's pkcs11-spy between the bridge and SoftHSM2 logs every call with its
# arguments, read by a tool that is not ours: the signing run's calls, in order.
if [ -f "$spy" ]; then
  export PKCS11SPY=$module PKCS11SPY_OUTPUT=$TMP/spy.log
  run_bridge tovrel "$tovrel" "$spy" signDocumentRaw "$description" 1234 "$digest"
  unset PKCS11SPY PKCS11SPY_OUTPUT
  check "spy: the signing run makes exactly these calls, in this order" same "$(spy_calls "$TMP/spy.log")" \
    "C_Initialize C_GetSlotList C_GetSlotList C_GetSlotInfo C_GetSlotInfo C_OpenSession C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_Login C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_FindObjectsInit C_FindObjects C_FindObjectsFinal C_SignInit C_Logout C_CloseSession C_Finalize "
  # The parameter line only where the spy writes one (not OpenSC 0.21's).
  parameter=""
  grep -q 'pParameter\[ulParameterLen\]' "$TMP/spy.log" && parameter="pParameter[ulParameterLen] NULL;"
  check "spy: session flags, user type, PIN length, search classes and mechanism" \
    same "$(spy_arguments "$TMP/spy.log")" \
    "flags = 0x6;CKA_CLASS CKO_CERTIFICATE;userType = CKU_USER;pPin[ulPinLen] 4;CKA_CLASS CKO_PRIVATE_KEY;CKA_CLASS CKO_PUBLIC_KEY;pMechanism->type = CKM_GOSTR3410;$parameter"
else
  echo "pkcs11-spy not installed: call sequence not checked"
fi

# SoftHSM2 also lists its free slot, "SoftHSM slot ID 0x..." too, after the
# initialised one: a reader name both contain picks the last, whose token is not usable.
run_bridge tovrel "$tovrel" "$module" getCertList "SoftHSM slot ID 0x" 1234
check "tovrel: the last matching slot wins, the free token answers C_OpenSession 225" \
  same "$RESPONSE" $'Result=225\nError=CKR_TOKEN_NOT_RECOGNIZED\nError func=C_OpenSession'
run_bridge tovrel "$tovrel" "$module" getCertList "softhsm slot" 1234
check "tovrel: reader names match case-sensitively" \
  same "$RESPONSE" $'Result=1025\nError=CKR_TOKEN_NOT_FOUND\nError func=C_FindToken'
finish
