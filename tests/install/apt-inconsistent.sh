#!/usr/bin/env bash
# scripts/apt-tolerant.sh against an archive caught mid-sync: a source whose
# Packages file does not match its Release file (as a mirror serves one while it
# synchronises) must not stop an install of packages the other sources hold,
# and must be named; a package that cannot be installed must still fail the
# install, naming it and the missing index. Changes the machine's apt sources
# and installs a package: run only in a throwaway root
# (scripts/test.sh's apt stage: an overlay of the Debian 12 root).
set -uo pipefail
cd "$(dirname "$0")/../.."
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
. tests/support/bridge_runs.sh

# The repository: one package listed, a Release file whose size and checksum
# of that list are off by a few bytes.
repo=$TMP/repo
mkdir -p "$repo"
printf 'Package: card-helpers-mid-sync\nVersion: 1\nArchitecture: all\nFilename: ./none.deb\nSize: 1\n\n' \
  > "$repo/Packages"
size=$(stat -c %s "$repo/Packages")
{
  echo "Origin: mid-sync"
  echo "Label: mid-sync"
  echo "Date: $(date -uR)"
  echo "SHA256:"
  echo " $(printf 'stale' | sha256sum | cut -d' ' -f1) $((size + 7)) Packages"
} > "$repo/Release"
echo "deb [trusted=yes] file:$repo ./" > /etc/apt/sources.list.d/mid-sync.list

wanted=hello
check "the root lacks $wanted before the install" \
  bash -c "! dpkg-query -W -f='\${Status}' $wanted 2> /dev/null | grep -q 'install ok installed'"

APT_RETRY_DELAY=1 bash scripts/apt-tolerant.sh install "$wanted" > "$TMP/out" 2> "$TMP/err"
status=$?
cat "$TMP/err"
check "the install succeeds beside the inconsistent index" same "$status" 0
check "$wanted is installed" bash -c "dpkg-query -W -f='\${Status}' $wanted | grep -q 'install ok installed'"
check "the index gone without is named" grep -q "file:$repo" "$TMP/err"
check "it was tried three times" same "$(grep -c '^apt-get update: could not fetch' "$TMP/err")" 2

APT_RETRY_DELAY=1 bash scripts/apt-tolerant.sh install card-helpers-no-such-package \
  > "$TMP/out" 2> "$TMP/err"
status=$?
check "an install that cannot be done fails" same "$status" 1
check "it names the package" grep -q 'not installed: card-helpers-no-such-package' "$TMP/err"
check "and the missing index" bash -c "grep -A3 'indexes that were missing' '$TMP/err' | grep -q 'file:$repo'"

rm -f /etc/apt/sources.list.d/mid-sync.list
[ "$failures" -eq 0 ] || { echo "$failures checks failed"; exit 1; }
echo "an inconsistent index is gone without and named; installs past it succeed, others fail naming both"
