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

# Every fingerprint is the SHA-1 of its own DER, and they are those of the CA
# bundle: Python's own Base64 and SHA-1, in one process (where 32-bit programs
# run under emulation, a process per certificate would take minutes).
printf '%s\n' "$items" > "$TMP/items"
python3 - "$TMP" /etc/ssl/certs/ca-certificates.crt <<'PY'
import base64, hashlib, re, sys
tmp, bundle = sys.argv[1], sys.argv[2]
bad, listed = 0, []
for line in open(tmp + "/items").read().splitlines():
    digest, text = line.split(" ", 1)
    bad += hashlib.sha1(base64.b64decode(text)).hexdigest().upper() != digest
    listed.append(digest)
pem = open(bundle).read()
blocks = re.findall(r"-----BEGIN CERTIFICATE-----(.*?)-----END CERTIFICATE-----", pem, re.S)
known = sorted(hashlib.sha1(base64.b64decode("".join(b.split()))).hexdigest().upper() for b in blocks)
open(tmp + "/bad", "w").write(str(bad))
open(tmp + "/bundle", "w").write("\n".join(known) + "\n")
open(tmp + "/listed", "w").write("\n".join(sorted(listed)) + "\n")
PY
check "each hash is the SHA-1 of the DER its Base64 decodes to" same "$(cat "$TMP/bad")" 0
check "the fingerprints are those of the CA bundle" cmp -s "$TMP/bundle" "$TMP/listed"
finish
