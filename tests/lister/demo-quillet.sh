#!/usr/bin/env bash
# quillet on a virtual card reader, for the README's main-job command: starts
# pcscd with the vpcd reader driver in private namespaces, puts our virtual card in
# the first reader, runs quillet the way the host does and shows the trace and
# the reader report. Stops everything it started.
#   demo-quillet.sh BUILD_DIR
set -u
build=$1
quillet=$build/lister/quillet card=$build/tests/lister/vpcd-card
module_dir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/pkcs11/
if ! command -v pcscd > /dev/null || [ ! -f /etc/reader.conf.d/vpcd ]; then
  echo "pcscd with the vpcd reader driver is not installed: no virtual reader to show"; exit 1
fi
. "$(dirname "$0")/../support/private_pcscd.sh"
enter_private_pcscd "$0" "$@" || { echo "cannot make private namespaces for a pcscd of the demo's own (root?)"; exit 1; }
tmp=$(mktemp -d) pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2> /dev/null; wait "$p" 2> /dev/null; done; rm -rf "$tmp"' EXIT
mkdir -p "$tmp/conf" "$tmp/work"
sed 's/0x8C7B/0x8D31/g' /etc/reader.conf.d/vpcd > "$tmp/conf/vpcd"
start_private_pcscd "$tmp/conf" /dev/null; pids+=("$PCSCD_PID")
sleep 1
"$card" --port $((0x8D31)) --atr "3B 0A 71 75 69 6C 6C 65 74 2D 30 31" --sw 9000 --log /dev/null & pids+=($!)
for _ in $(seq 50); do opensc-tool -l 2> /dev/null | grep -q 'Yes' && break; sleep 0.1; done
printf '%s\n' "$module_dir" > "$tmp/work/vn_api_currplugDir.txt"
echo "--- vn_api_currplugDir.txt"; cat "$tmp/work/vn_api_currplugDir.txt"
(cd "$tmp/work" && "$quillet") > "$tmp/trace"
echo "--- trace (standard output), exit status $?"; cat "$tmp/trace"; echo
echo "--- quillet_out.txt"; cat "$tmp/work/quillet_out.txt"; echo
