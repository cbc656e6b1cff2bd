#!/usr/bin/env bash
# Prints the URI of the Debian archive this machine's apt uses for its own
# release (one-line and deb822 sources alike); the same archive also serves
# the other releases the tests fetch from. DEBIAN_MIRROR, when set, wins.
# Fails with a message when no such archive is configured.
set -euo pipefail

if [ -n "${DEBIAN_MIRROR:-}" ]; then
  echo "$DEBIAN_MIRROR"
  exit 0
fi
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
uri=$({
  awk -v c="$codename" '$1 == "deb" {
      i = 2
      if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
      if ($(i + 1) == c) print $i
    }' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true
  awk -v c="$codename" 'BEGIN { RS = ""; FS = "\n" } {
      uri = ""; found = 0
      for (i = 1; i <= NF; i++) {
        n = split($i, w, /[ \t]+/)
        if (w[1] == "URIs:") uri = w[2]
        if (w[1] == "Suites:") for (j = 2; j <= n; j++) if (w[j] == c) found = 1
      }
      if (found && uri != "") print uri
    }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true
} | head -n 1)
if [ -z "$uri" ]; then
  echo "$0: no Debian archive for '$codename' in apt's sources; set DEBIAN_MIRROR" >&2
  exit 1
fi
echo "$uri"
