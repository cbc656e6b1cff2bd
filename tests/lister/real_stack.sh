#!/usr/bin/env bash
# quillet against the real reader stack: pcscd with the vpcd reader driver,
# the installed OpenSC library, and vpcd-card, our virtual card. It checks
# the reader names and ATRs that come back through the structure layouts the
# lister declares for OpenSC, the report and the trace, with no card, with a
# card OpenSC accepts, after a card change, and with a card OpenSC refuses.
#
#   real_stack.sh --quillet PATH --card PATH --module-dir DIR/
#
# The test starts its own pcscd on a private copy of the vpcd configuration
# and stops it, and every card, by the PID it started. It runs in private
# mount and network namespaces, with a tmpfs of its own on /run: the
# machine's own pcscd (a workstation with a reader runs one) keeps its socket,
# pid file and ports, and is never touched. Exit 77 (skipped) when pcscd or
# vpcd is not installed, or without the right to make the namespaces (root).
set -u

quillet="" card="" module_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quillet) quillet=$2; shift 2 ;;
    --card) card=$2; shift 2 ;;
    --module-dir) module_dir=$2; shift 2 ;;
    *) echo "real_stack: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -x "$quillet" ] && [ -x "$card" ] && [ -n "$module_dir" ] || {
  echo "real_stack: need --quillet, --card and --module-dir" >&2; exit 2; }

VPCD_DRIVER=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
VPCD_CONF=/etc/reader.conf.d/vpcd
if ! command -v pcscd > /dev/null || [ ! -f "$VPCD_DRIVER" ] || [ ! -f "$VPCD_CONF" ]; then
  echo "pcscd or the vpcd reader driver is not installed: skipped"
  exit 77
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
die() { echo "FAIL: $*"; exit 1; }

# Everything below, pcscd, the cards, opensc-tool and quillet, runs in
# private namespaces.
. "$(dirname "$0")/../support/private_pcscd.sh"
enter_private_pcscd "$0" --quillet "$quillet" --card "$card" --module-dir "$module_dir"
case $? in
  0) ;;
  77) echo "needs private mount and network namespaces (root): skipped"; exit 77 ;;
  *) die "cannot set up the private namespaces for pcscd (mounts, iproute2's ip)" ;;
esac

module=${module_dir}opensc-pkcs11.so
[ -e "$module" ] || die "no OpenSC module at $module"
command -v opensc-tool > /dev/null || die "opensc-tool (package opensc) is missing"

# vpcd listens on CHANNEL for the first reader and CHANNEL + 1 for the second.
CHANNEL=0x8D21
PORT0=$((CHANNEL)) PORT1=$((CHANNEL + 1))

# The working files on a tmpfs: a 32-bit pcscd built without large-file
# interfaces cannot list a folder on ext4 when it runs under emulation (the
# directory offsets do not fit), and would find no reader configuration.
tmp=$(mktemp -d)
mount -t tmpfs -o mode=700 tmpfs "$tmp" || die "cannot mount a tmpfs on $tmp"
pcscd_pid="" card_pids=()
cleanup() {
  local pid
  for pid in "${card_pids[@]}"; do
    kill "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null
  done
  if [ -n "$pcscd_pid" ]; then
    kill "$pcscd_pid" 2> /dev/null
    wait "$pcscd_pid" 2> /dev/null
  fi
  umount "$tmp" 2> /dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

mkdir -p "$tmp/conf" "$tmp/work"
sed "s/0x8C7B/$CHANNEL/g" "$VPCD_CONF" > "$tmp/conf/vpcd"
grep -q "$CHANNEL" "$tmp/conf/vpcd" || die "unexpected $VPCD_CONF: no CHANNELID 0x8C7B to move"
printf '%s\n' "$module_dir" > "$tmp/work/vn_api_currplugDir.txt"

start_private_pcscd "$tmp/conf" "$tmp/pcscd.log"
pcscd_pid=$PCSCD_PID

# Card column of `opensc-tool -l` for reader INDEX: Yes or No.
reader_card() {
  opensc-tool -l 2> /dev/null | awk -v r="$1" '$1 == r { print $2 }'
}
# wait_for INDEX Yes|No: until pcscd sees the reader in that state (10 s at most).
wait_for() {
  local i
  for i in $(seq 100); do
    [ "$(reader_card "$1")" = "$2" ] && return 0
    kill -0 "$pcscd_pid" 2> /dev/null || { cat "$tmp/pcscd.log"; die "pcscd stopped"; }
    sleep 0.1
  done
  cat "$tmp/pcscd.log"
  die "reader $1 did not reach card state $2"
}

wait_for 0 No
wait_for 1 No
R0="Virtual PCD 00 00" R1="Virtual PCD 00 01"
for name in "$R0" "$R1"; do
  opensc-tool -l 2> /dev/null | grep -q " $name\$" || die "opensc-tool -l does not list the reader $name"
done

# insert PORT ATR SW: starts a card; its PID is kept for removal and cleanup.
inserted=""
insert() {
  "$card" --port "$1" --atr "$2" --sw "$3" --log "$tmp/card.log" &
  inserted=$!
  card_pids+=("$inserted")
}
remove() {
  kill "$1" 2> /dev/null
  wait "$1" 2> /dev/null
}

# run NAME [lissi]: one quillet run in the working folder.
run() {
  local name=$1
  if [ "${2:-}" = lissi ]; then
    # The LISSI module path in a private mount namespace: /opt stays untouched.
    QUILLET=$quillet WORK=$tmp/work unshare -m sh -c '
      mount -t tmpfs tmpfs /opt &&
      mkdir -p /opt/lissi-crypto/lircryptoki_fs/lib &&
      : > /opt/lissi-crypto/lircryptoki_fs/lib/liblircryptoki_fs.so &&
      cd "$WORK" && exec "$QUILLET"' > "$tmp/$name.stdout" 2> "$tmp/$name.stderr"
  else
    (cd "$tmp/work" && exec "$quillet") > "$tmp/$name.stdout" 2> "$tmp/$name.stderr"
  fi
  local status=$?
  [ "$status" -eq 0 ] || fail "$name: exit status $status"
  [ -s "$tmp/$name.stderr" ] && { echo "--- $name: stderr"; head -c 2000 "$tmp/$name.stderr"; }
  cp "$tmp/work/quillet_out.txt" "$tmp/$name.report" 2> /dev/null || : > "$tmp/$name.report"
}

# check NAME WHAT EXPECTED-FILE ACTUAL-FILE
check() {
  if ! cmp -s "$3" "$4"; then
    fail "$1: $2 differs"
    diff -u "$3" "$4" | head -n 40
  fi
}

# Trace pieces, as the lister prints them.
trace_start() {
  printf 'run\nCurrent path to opensc-pkcs11.so: \n%slib loaded\nreaders count:%s\n' "$module" "$1"
}
trace_no_card() {  # INDEX NAME
  printf 'reader %s try getted\nreader %s is getted. getting card info\n' "$1" "$2"
  printf 'reader %s cardinfo is getted. State: 0\nreader has no card\n' "$2"
}
trace_card() {  # INDEX NAME STATE
  printf 'reader %s try getted\nreader %s is getted. getting card info\n' "$1" "$2"
  printf 'reader %s cardinfo is getted. State: %s\nreader %s has card. try connect\n' "$2" "$3" "$2"
}
trace_atr() {  # NAME ATR
  printf 'reader %s card connected. getting atr...\nreader %s card atr: %s\n' "$1" "$1" "$2"
  printf 'reader %s card disconnected\n' "$1"
}

expected=$tmp/expected

# 1. No card: both readers, neither with a card; then the same with the LISSI module.
run no-card
printf '[{readerName:"%s",cardPresence:0},{readerName:"%s",cardPresence:0}]' "$R0" "$R1" > "$expected"
check no-card report "$expected" "$tmp/no-card.report"
{ trace_start 2; trace_no_card 0 "$R0"; trace_no_card 1 "$R1"; printf '\ncheck lissi lib'; } > "$expected"
check no-card trace "$expected" "$tmp/no-card.stdout"

run no-card-lissi lissi
printf '[{readerName:"%s",cardPresence:0},{readerName:"%s",cardPresence:0},' "$R0" "$R1" > "$expected"
printf '{readerName:"Lissi Virtual SW Token",atr:"LISSI_SW_VIRTUAL_TOKEN"}]' >> "$expected"
check no-card-lissi report "$expected" "$tmp/no-card-lissi.report"
{ trace_start 2; trace_no_card 0 "$R0"; trace_no_card 1 "$R1"
  printf '\ncheck lissi lib\nlissi lib exist'; } > "$expected"
check no-card-lissi trace "$expected" "$tmp/no-card-lissi.stdout"

# The presence result for reader NAME in trace FILE; for an inserted card
# OpenSC reports 1, or 3 when it also flags the card as changed.
presence_of() {  # RUN NAME FILE: sets $state
  state=$(sed -n "s/^reader $2 cardinfo is getted. State: //p" "$3")
  case "$state" in 1|3) ;; *) fail "$1: presence result '$state', expected 1 or 3" ;; esac
}

# 2. A card that answers 90 00 in the first reader: connected, its ATR as
#    opensc-tool prints it, disconnected; the second reader without card.
ATR_A="3B 0A 71 75 69 6C 6C 65 74 2D 30 31"
insert "$PORT0" "$ATR_A" 9000
card_a=$inserted
wait_for 0 Yes
tool_atr=$(opensc-tool -r 0 -a 2> /dev/null)
[ "$tool_atr" = "3b:0a:71:75:69:6c:6c:65:74:2d:30:31" ] ||
  fail "opensc-tool -a printed '$tool_atr' for the card's ATR $ATR_A"
: > "$tmp/card.log"
run card-a
printf '[{readerName:"%s",cardPresence:1,atr:"%s"},{readerName:"%s",cardPresence:0}]' \
  "$R0" "$tool_atr" "$R1" > "$expected"
check card-a report "$expected" "$tmp/card-a.report"
presence_of card-a "$R0" "$tmp/card-a.stdout"
{ trace_start 2; trace_card 0 "$R0" "$state"; trace_atr "$R0" "$tool_atr"
  trace_no_card 1 "$R1"; printf '\ncheck lissi lib'; } > "$expected"
check card-a trace "$expected" "$tmp/card-a.stdout"
grep -q '^apdu' "$tmp/card.log" || fail "card-a: the card was never sent an APDU, so never connected"

# 3. The card removed and another, with an ATR of the greatest length (33
#    bytes), put in the second reader: the second report holds only what the
#    second run saw, and the whole ATR.
remove "$card_a"
wait_for 0 No
ATR_B="3b:ff:96:00:ff:f1:01:00:00:f1:fe:45:00:7f:03:00:00:71:75:69:6c:6c:65:74:2d:6c:6f:6e:67:2d:41:54:33"
insert "$PORT1" "$ATR_B" 9000
card_b=$inserted
wait_for 1 Yes
# opensc-tool -a renders no ATR of 33 bytes (its text buffer is one short);
# with -v it shows every byte in a hex dump.
tool_atr=$(opensc-tool -r 1 -a -v 2> /dev/null | grep -oE '^([0-9A-F]{2} )+' | tr -s ' \n' '  ' |
  sed 's/ $//' | tr ' A-F' ':a-f')
[ "$tool_atr" = "$ATR_B" ] || fail "opensc-tool -a -v showed '$tool_atr' for the card's ATR $ATR_B"
run card-b
printf '[{readerName:"%s",cardPresence:0},{readerName:"%s",cardPresence:1,atr:"%s"}]' \
  "$R0" "$R1" "$ATR_B" > "$expected"
check card-b report "$expected" "$tmp/card-b.report"
presence_of card-b "$R1" "$tmp/card-b.stdout"
{ trace_start 2; trace_no_card 0 "$R0"; trace_card 1 "$R1" "$state"; trace_atr "$R1" "$ATR_B"
  printf '\ncheck lissi lib'; } > "$expected"
check card-b trace "$expected" "$tmp/card-b.stdout"

# 4. A card that answers 6D 00 to everything: no card driver accepts it, so
#    it is reported present with an empty ATR.
remove "$card_b"
wait_for 1 No
insert "$PORT0" "3b:0a:71:75:69:6c:6c:65:74:2d:30:33" 6D00
wait_for 0 Yes
run refused
printf '[{readerName:"%s",cardPresence:1,atr:""},{readerName:"%s",cardPresence:0}]' \
  "$R0" "$R1" > "$expected"
check refused report "$expected" "$tmp/refused.report"
presence_of refused "$R0" "$tmp/refused.stdout"
result=$(sed -n "s/^reader $R0 card not connected, result //p" "$tmp/refused.stdout")
{ trace_start 2; trace_card 0 "$R0" "$state"
  printf 'reader %s card not connected, result %s\n' "$R0" "$result"
  trace_no_card 1 "$R1"; printf '\ncheck lissi lib'; } > "$expected"
check refused trace "$expected" "$tmp/refused.stdout"
case "$result" in -[0-9]*) ;; *) fail "refused: no OpenSC error code in the trace" ;; esac

if [ "$failures" -ne 0 ]; then
  echo "--- pcscd log (tail)"; tail -n 30 "$tmp/pcscd.log"
  echo "real stack: $failures failure(s)"
  exit 1
fi
echo "real stack: ok (refused card: result $result)"
