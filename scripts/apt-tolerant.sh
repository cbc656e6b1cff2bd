#!/usr/bin/env bash
# apt-get for a machine or root that must be set up whatever state the Debian
# archive is in. An archive that is being synchronised can serve an index that
# does not match its Release file ("File has unexpected size ... Mirror sync in
# progress?") for a whole day; apt-get update then exits non-zero although
# every package needed may still be installable from the other indexes.
#
#   scripts/apt-tolerant.sh update [APT-OPTION...]
#       apt-get update; when some indexes cannot be fetched, tries twice more
#       (APT_RETRY_DELAY seconds apart, default 30), then goes on with what was
#       fetched and names the indexes it goes on without (standard error).
#       Exits 0 even then: only an install can tell whether they mattered.
#   scripts/apt-tolerant.sh install PACKAGE...
#       the update above, then apt-get install (no recommends, --no-remove).
#       On failure it names the packages that are not installed and the
#       indexes that were missing, and exits 1.
#
# Runs as root (or through sudo), on the machine or inside a Debian root
# (scripts/debian-root.sh copies it in).
set -uo pipefail

delay=${APT_RETRY_DELAY:-30}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

log=$(mktemp)
trap 'rm -f "$log"' EXIT
missing_indexes=""

# failed_indexes LOG: the indexes apt-get update could not fetch, one a line.
failed_indexes() {
  sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$1" | sort -u
}

update() {
  local try
  for try in 1 2 3; do
    if $SUDO apt-get -q "$@" update > "$log" 2>&1; then
      missing_indexes=""
      return 0
    fi
    missing_indexes=$(failed_indexes "$log")
    if [ -z "$missing_indexes" ]; then
      # Not an index of the archive: no network, a broken sources list.
      grep -E '^(E|W):' "$log" >&2
      missing_indexes="(none named; apt-get update failed: see above)"
    fi
    if [ "$try" -lt 3 ]; then
      echo "apt-get update: could not fetch (try $try of 3, again in $delay s):" >&2
      sed 's/^/  /' <<< "$missing_indexes" >&2
      sleep "$delay"
    fi
  done
  echo "apt-get update: going on without these indexes:" >&2
  sed 's/^/  /' <<< "$missing_indexes" >&2
  grep -E 'unexpected size|Hash Sum mismatch|Mirror sync' "$log" | sort -u | sed 's/^/  /' >&2
  return 0
}

install() {
  update
  if $SUDO apt-get install -y -q --no-install-recommends --no-remove "$@" > "$log" 2>&1; then
    return 0
  fi
  grep -E '^(E|W):|^ [^ ].* : Depends' "$log" >&2
  local p not_installed=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q "install ok installed" || not_installed+=("$p")
  done
  echo "apt-get install failed; not installed: ${not_installed[*]:-(all were, but apt-get failed)}" >&2
  if [ -n "$missing_indexes" ]; then
    echo "indexes that were missing:" >&2
    sed 's/^/  /' <<< "$missing_indexes" >&2
  fi
  return 1
}

case "${1:-}" in
  update) shift; update "$@" ;;
  install) shift; [ $# -gt 0 ] || { echo "usage: $0 install PACKAGE..." >&2; exit 2; }; install "$@" ;;
  *) echo "usage: $0 update [APT-OPTION...] | install PACKAGE..." >&2; exit 2 ;;
esac
