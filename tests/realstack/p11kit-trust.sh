#!/usr/bin/env bash
# The bridge against p11-kit's trust module, which exports only C_GetFunctionList
# and whose token is read-only: every certificate of the system CA store is listed.
#   p11kit-trust.sh TOVREL MODULE
set -u
tovrel=$1 module=$2
here=$(cd "$(dirname "$0")" && pwd)
TMP=$(mktemp -d); trap 'rm -rf "$TMP"' EXIT
. "$here/../support/bridge_runs.sh"
[ -f "$module" ] || { echo "p11-kit trust module $module not installed; skipped"; exit 77; }

run_bridge tovrel "$tovrel" "$module" getCertList ca-certificates
check "getCertList exits 0" same "$STATUS" 0
check "the read-only token is opened with a read-only session" grep -q 'read-only session' <<< "$TRACE"
items=$(list_items "$RESPONSE")

# An independent listing: pkcs11-tool's certificate objects on the same module.
pkcs11-tool --module "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkcs11/p11-kit-trust.so" \
  --list-objects --type cert 2>/dev/null > "$TMP/objects"
expected_count=$(grep -c '^Certificate Object' "$TMP/objects")
check "lists as many certificates as pkcs11-tool sees ($expected_count)" \
  same "$(grep -c . <<< "$items")" "$expected_count"

# Every fingerprint is the SHA-1 of its own DER, and they are those of the CA bundle.
bad=0
while read -r hash b64; do
  [ "$(base64 -d <<< "$b64" | sha1sum | cut -c1-40 | tr a-f A-F)" = "$hash" ] || bad=$((bad + 1))
done <<< "$items"
check "each hash is the SHA-1 of the DER its Base64 decodes to" same "$bad" 0
awk '/BEGIN CERTIFICATE/ {n++} {print > ("'"$TMP"'/ca." n ".pem")}' /etc/ssl/certs/ca-certificates.crt
for f in "$TMP"/ca.*.pem; do
  openssl x509 -in "$f" -noout -fingerprint -sha1 2>/dev/null | sed 's/.*=//; s/://g'
done | sort > "$TMP/bundle"
cut -d' ' -f1 <<< "$items" | sort > "$TMP/listed"
check "the fingerprints are those of the CA bundle" cmp -s "$TMP/bundle" "$TMP/listed"
finish
