#!/usr/bin/env bash
# Plays one protocol case (tests/cases/README.md) for one program variant, the way the
# host runs the program: a fresh working directory with the host's files, the test module
# where the program looks for its library, one run, then the exit status, the trace, the
# response file, the module's call log and any dump files compared byte for byte.
#
#   run-case.sh --variant tovrel|marbek|quillet --program PATH --module LIB --case DIR
#
# UPDATE_EXPECTED=1 records what the program produced instead of comparing.
# KEEP=1 keeps the temporary folder and prints where it is.
# CASE_TIMEOUT (seconds, default 120) ends a run that hangs; it then fails.
set -u
umask 022

variant="" program="" module="" case_dir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --variant) variant=$2; shift 2 ;;
    --program) program=$2; shift 2 ;;
    --module) module=$2; shift 2 ;;
    --case) case_dir=$2; shift 2 ;;
    *) echo "run-case: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$variant" ] && [ -x "$program" ] && [ -d "$case_dir" ] || {
  echo "run-case: need --variant, an executable --program and a --case folder" >&2; exit 2; }
# Every case costs the processes it starts, and where the suite runs under an
# emulator each start is dear: what the shell can do itself, it does.
case_dir=$(cd "$case_dir" && pwd)
case "$program" in /*) ;; *) program=$PWD/$program ;; esac
case "$module" in /* | "") ;; *) module=$PWD/$module ;; esac
here=.
[[ "$0" == */* ]] && here=${0%/*}
fixtures=$(cd "$here/fixtures" 2>/dev/null && pwd || echo "")

LISSI_DIR=/opt/lissi-crypto/lircryptoki_fs/lib
LISSI_PATH=$LISSI_DIR/liblircryptoki_fs.so
case "$variant" in
  tovrel) response=tovrel_out.txt; request=tovrel_in.txt; module_name=libjcPKCS11.so.1 ;;
  marbek) response=marbek_out.txt; request=marbek_in.txt; module_name="" ;;
  quillet) response=quillet_out.txt; request=""; module_name=opensc-pkcs11.so ;;
  *) echo "run-case: unknown variant $variant" >&2; exit 2 ;;
esac

tmp=$(mktemp -d)
if [ "${KEEP:-0}" = 1 ]; then
  echo "run-case: keeping $tmp"
else
  trap 'rm -rf "$tmp"' EXIT
fi
work=$tmp/work plug=$tmp/plug outside=$tmp/outside
mkdir -p "$work" "$plug" "$outside"
export PLUGDIR=$plug WORKDIR=$work OUTSIDE=$outside

has() { [ -e "$case_dir/$1" ]; }
# Replaces the placeholders of a case file with this run's folders.
fill() { perl -0777 -pe 's/\@(PLUGDIR|FIXTURES|CASE|WORKDIR|OUTSIDE)\@/$ENV{$1}/g' "$1"; }
export FIXTURES=$fixtures CASE=$case_dir

# The host's files.
if ! has no-plugdir; then
  if has plugdir; then fill "$case_dir/plugdir" > "$work/vn_api_currplugDir.txt"
  else printf '%s/\n' "$plug" > "$work/vn_api_currplugDir.txt"; fi
fi
if [ -n "$request" ] && has request; then cp "$case_dir/request" "$work/$request"; fi
# A request file made as large as this (truncate's sizes, e.g. 3G), sparse.
if [ -n "$request" ] && has request-size; then truncate -s "$(cat "$case_dir/request-size")" "$work/$request"; fi
if has flag; then : > "$work/VELNOR_VIVIRAV_NOTDELETE_LOGS.FLAG"; fi
if has old-response; then cp "$case_dir/old-response" "$work/$response"; fi
if has old-files; then cp -R "$case_dir/old-files/." "$work/"; fi
# Files the host left as something else than a plain file: a FIFO nobody
# writes to, or a symbolic link (to a device, or out of the working directory).
if has fifos; then
  while read -r name; do
    name=${name//@REQUEST@/$request}
    [ -n "$name" ] && rm -f "$work/$name" && mkfifo "$work/$name"
  done < "$case_dir/fifos"
fi
if has links; then
  while read -r name target; do
    name=${name//@REQUEST@/$request}
    [ -n "$name" ] || continue
    case "$target" in @OUTSIDE@/*) printf 'outside\n' > "$outside/${target#@OUTSIDE@/}" ;; esac
    rm -f "$work/$name" && ln -s "${target/@OUTSIDE@/$outside}" "$work/$name"
  done < "$case_dir/links"
fi
# Hard links: the file outside and the name in the working directory are one file.
if has hardlinks; then
  while read -r name target; do
    name=${name//@REQUEST@/$request}
    name=${name//@RESPONSE@/$response}
    [ -n "$name" ] || continue
    printf 'outside\n' > "$outside/${target#@OUTSIDE@/}"
    rm -f "$work/$name" && ln "$outside/${target#@OUTSIDE@/}" "$work/$name"
  done < "$case_dir/hardlinks"
fi

# The test module and its description.
lib=$module
if has module-variant; then
  module_variant=$(< "$case_dir/module-variant")
  lib=${module%/*}/lib${module_variant//[$' \n']/}.so
fi
# module-file: any file (a crafted ELF header, say) installed as the module.
has module-file && lib=$(fill "$case_dir/module-file") && lib=${lib%$'\n'}
: > "$tmp/calls"
if has no-call-log; then unset TEST_MODULE_LOG; else export TEST_MODULE_LOG=$tmp/calls; fi
if has module.conf; then
  fill "$case_dir/module.conf" > "$tmp/module.conf"
  export TEST_MODULE_CONF=$tmp/module.conf
else
  unset TEST_MODULE_CONF
fi
if ! has no-module && [ -n "$module_name" ]; then cp "$lib" "$plug/$module_name"; fi

# How the host starts the program: always under a time limit, so that a run
# that hangs fails instead of blocking the suite; optionally as an
# unprivileged user, with some standard descriptors closed, or with standard
# output a pipe whose reader has already gone.
run_as_nobody="" close_fds="" closed_pipe="" limits=""
if has unprivileged || has sticky; then
  # The program and the module must be reachable for that user.
  run_as_nobody=1
  mkdir "$tmp/bin" && cp "$program" "$tmp/bin/" && program=$tmp/bin/$(basename "$program")
  chmod 755 "$tmp"
  chmod 666 "$tmp/calls"
fi
if has unprivileged; then
  # The working directory must not be writable for that user, the response it left must be.
  [ -e "$work/$response" ] && chown 65534:65534 "$work/$response"
fi
# sticky: a shared folder like /tmp, where the response an earlier run left
# belongs to another user (root) and cannot be removed or written by this one.
has sticky && chmod 1777 "$work"
has close-fds && close_fds=$(tr '\n' ' ' < "$case_dir/close-fds")
has stdout-closed-pipe && closed_pipe=1
has file-size-limit && limits+=" -f $(tr -d ' \n' < "$case_dir/file-size-limit")"
has descriptor-limit && limits+=" -n $(tr -d ' \n' < "$case_dir/descriptor-limit")"
# The host passes no arguments; a person at a prompt may.
args_file=""
has args && args_file=$case_dir/args
case_timeout=${CASE_TIMEOUT:-120}
run_program() {
  cd "$work" || exit 125
  local -a command=(timeout -k 5 "$case_timeout")
  [ -n "$run_as_nobody" ] && command+=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  [ -n "$closed_pipe" ] && command+=(perl -e '$SIG{PIPE} = "DEFAULT"; pipe(my $r, my $w) or die "pipe: $!";
    close $r; open(STDOUT, ">&", $w) or die "dup: $!"; close $w; exec @ARGV or die "exec: $!"' --)
  command+=("$program")
  if [ -n "$args_file" ]; then
    local -a args
    mapfile -t args < "$args_file"
    command+=("${args[@]}")
  fi
  local fd
  for fd in $close_fds; do eval "exec $fd>&-"; done
  if [ -n "$limits" ]; then
    # Under a descriptor limit, descriptors this script or its starter left
    # open would count against the program.
    for fd in $(ls /proc/$BASHPID/fd); do [ "$fd" -gt 2 ] && eval "exec $fd>&-"; done 2> /dev/null
    ulimit $limits || exit 125
  fi
  exec "${command[@]}"
}
export -f run_program
export run_as_nobody close_fds closed_pipe case_timeout limits args_file

# expect/folder-unchanged: every name, kind, mode, size, time stamp and content
# in the working directory is the same after the run as before it.
snapshot_work() {
  (cd "$work" && find . -printf '%p %y %m %s %T@ %l\n' | LC_ALL=C sort &&
    find . -type f -exec cksum {} + | LC_ALL=C sort)
}
folder_before=""
if [ -e "$case_dir/expect/folder-unchanged" ]; then
  snapshot_work > "$tmp/folder-before"
  folder_before=$tmp/folder-before
fi

# marbek's module and the LISSI marker live under /opt: run in a private mount
# namespace with a tmpfs there, so the machine's own /opt is neither seen nor touched.
lissi_content=""
if [ "$variant" = marbek ] && ! has no-module; then lissi_content=$lib
elif [ "$variant" != marbek ] && has lissi; then lissi_content=/dev/null; fi
# A private mount namespace needs CAP_SYS_ADMIN: read from this shell's own
# capabilities rather than tried with a process of its own.
sys_admin=0
while read -r key value; do
  [ "$key" = CapEff: ] && sys_admin=$(( (0x$value >> 21) & 1 ))
done < /proc/self/status
if [ "$sys_admin" -ne 1 ]; then
  if [ "$variant" != tovrel ] || has lissi || has unprivileged || has sticky || has read-only; then
    echo "run-case: needs a private mount namespace (run as root); skipped"; exit 77
  fi
  (run_program) > "$tmp/stdout" 2> "$tmp/stderr"
  status=$?
else
  # small-disk: the working directory is a tmpfs of that size, filled up by the
  # host's files, so that writing a response fails for want of space.
  small_disk="" read_only=""
  has small-disk && small_disk=$(tr -d ' \n' < "$case_dir/small-disk")
  has read-only && read_only=1
  export LISSI_DIR LISSI_PATH lissi_content program work small_disk read_only tmp
  unshare -m bash -c '
    mount -t tmpfs tmpfs /opt || exit 125
    if [ -n "$lissi_content" ]; then
      mkdir -p "$LISSI_DIR" && cp "$lissi_content" "$LISSI_PATH" || exit 125
    fi
    if [ -n "$small_disk" ]; then
      mkdir "$tmp/stash" && cp -a "$work/." "$tmp/stash/" &&
        mount -t tmpfs -o "size=$small_disk" tmpfs "$work" && cp -a "$tmp/stash/." "$work/" || exit 125
    fi
    # read-only: the working directory is a read-only mount.
    if [ -n "$read_only" ]; then
      mount --bind "$work" "$work" && mount -o remount,bind,ro "$work" || exit 125
    fi
    (run_program)
    status=$?
    if [ -n "$small_disk" ]; then
      mkdir "$tmp/after" && cp -a "$work/." "$tmp/after/"
    fi
    exit $status' > "$tmp/stdout" 2> "$tmp/stderr"
  status=$?
  if [ -n "$small_disk" ]; then
    rm -rf "$work" && mv "$tmp/after" "$work"
  fi
fi
echo "$status" > "$tmp/status"
[ -z "$folder_before" ] || snapshot_work > "$tmp/folder-after"

# Folders differ from run to run: name them by placeholder.
named=()
for f in "$tmp/stdout" "$tmp/stderr" "$tmp/calls" "$work/$response"; do
  [ -f "$f" ] && named+=("$f")
done
[ ${#named[@]} -eq 0 ] ||
  perl -0777 -pi -e 's/\Q$ENV{WORKDIR}\E/\@WORKDIR\@/g; s/\Q$ENV{PLUGDIR}\E/\@PLUGDIR\@/g' "${named[@]}"
# A check names the program's own ELF class and machine ("ok, 64-bit x86-64, as
# tovrel"): @ELF@ in both ABIs.
own_elf=""
case "$(od -An -tu1 -j4 -N1 "$program")" in
  *1) own_elf="32-bit i386" ;;
  *2) own_elf="64-bit x86-64" ;;
esac
[ -z "$own_elf" ] || OWN_ELF=$own_elf perl -pi -e 's/^(\w[\w ]*: ok, )\Q$ENV{OWN_ELF}\E, as /$1\@ELF\@, as /' "$tmp/stdout"

expect=$case_dir/expect
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

show_diff() {  # expected actual
  if LC_ALL=C grep -qaP '[^\x09\x0a\x0d\x20-\x7e]' "$1" "$2" 2>/dev/null; then
    diff <(od -An -c "$1") <(od -An -c "$2") | head -n 40
  else
    diff -u "$1" "$2" | head -n 60
  fi
}

# The expectation file for NAME: the variant's own if it has one, else the common one.
expected_file() {
  if [ -e "$expect/$variant/$1" ]; then echo "$expect/$variant/$1"; else echo "$expect/$1"; fi
}

# Records ACTUAL as expectation NAME: the common file when there is none yet or it
# matches, otherwise a file of this variant's own.
record() {  # name actual
  mkdir -p "$(dirname "$expect/$1")"
  if [ ! -e "$expect/$1" ]; then cp "$2" "$expect/$1"; rm -f "$expect/$variant/$1"
  elif cmp -s "$2" "$expect/$1"; then rm -f "$expect/$variant/$1"
  else mkdir -p "$(dirname "$expect/$variant/$1")"; cp "$2" "$expect/$variant/$1"; fi
  rmdir "$expect/$variant/files" "$expect/$variant" 2>/dev/null || true
}

compare() {  # name actual [required]
  local exp; exp=$(expected_file "$1")
  if [ ! -e "$exp" ]; then
    [ "${3:-}" = required ] && fail "no expectation $1 for $variant"
    return
  fi
  if [ ! -e "$2" ]; then fail "$1: expected a file, the run left none"; return; fi
  if ! cmp -s "$exp" "$2"; then fail "$1 differs (expected $exp)"; show_diff "$exp" "$2"; fi
}

if [ "${UPDATE_EXPECTED:-0}" = 1 ]; then
  # The variants of one case record into the same folder: one at a time, so
  # that two runs of a new case (ctest -j) never both take the common file.
  exec 8< "$case_dir"
  flock 8
  record status "$tmp/status"
  record stdout "$tmp/stdout"
  # The response is either a body or the claim that there is none; the two go together.
  if [ -f "$work/$response" ]; then cp "$work/$response" "$tmp/response"; else rm -f "$tmp/response"; fi
  if [ ! -e "$expect/response" ] && [ ! -e "$expect/no-response" ]; then
    if [ -f "$tmp/response" ]; then record response "$tmp/response"; else : > "$tmp/none"; record no-response "$tmp/none"; fi
  elif { [ -f "$tmp/response" ] && [ -e "$expect/response" ] && cmp -s "$tmp/response" "$expect/response"; } ||
       { [ ! -f "$tmp/response" ] && [ -e "$expect/no-response" ]; }; then
    rm -f "$expect/$variant/response" "$expect/$variant/no-response"
  else
    mkdir -p "$expect/$variant"; rm -f "$expect/$variant/response" "$expect/$variant/no-response"
    if [ -f "$tmp/response" ]; then cp "$tmp/response" "$expect/$variant/response"; else : > "$expect/$variant/no-response"; fi
  fi
  record calls "$tmp/calls"
  for f in forsign.bin sign.bin; do
    if [ -f "$work/$f" ]; then record "files/$f" "$work/$f"; fi
  done
  rmdir "$expect/$variant" 2>/dev/null || true
  echo "recorded $case_dir for $variant"
  exit 0
fi

compare status "$tmp/status" required
compare stdout "$tmp/stdout" required
if [ -e "$(expected_file no-response)" ] && [ ! -e "$expect/$variant/response" ]; then
  [ -e "$work/$response" ] && fail "$response exists, expected none" && show_diff /dev/null "$work/$response"
else
  compare response "$work/$response" required
fi
compare calls "$tmp/calls"
# Standard error line by line; an expected line ending in @REST@ matches any
# line that begins with the text before it (for the loader's own words).
exp_stderr=$(expected_file stderr)
if [ -e "$exp_stderr" ] && ! perl -e '
    open(my $e, "<", $ARGV[0]) or die; open(my $a, "<", $ARGV[1]) or die;
    my @e = <$e>; my @a = <$a>;
    exit 1 if @e != @a;
    for my $i (0 .. $#e) {
      if ($e[$i] =~ /^(.*)\@REST\@\n\z/s) {
        exit 1 unless substr($a[$i], 0, length $1) eq $1 && $a[$i] =~ /\n\z/;
      } elsif ($e[$i] ne $a[$i]) { exit 1 }
    }' "$exp_stderr" "$tmp/stderr"; then
  fail "stderr differs (expected $exp_stderr)"
  diff -u "$exp_stderr" "$tmp/stderr" | head -n 40
fi
if [ -n "$folder_before" ] && ! cmp -s "$folder_before" "$tmp/folder-after"; then
  fail "the working directory changed"
  diff -u "$folder_before" "$tmp/folder-after" | head -n 40
fi
if [ -e "$(expected_file response-mode)" ] && [ -e "$work/$response" ]; then
  stat -c '%a' "$work/$response" > "$tmp/response-mode"
  compare response-mode "$tmp/response-mode"
fi
leftovers=""
for f in "$work"/*_out.txt.* "$work"/*.bin.* "$work"/.*_out.txt.* "$work"/.*.bin.*; do
  [ -e "$f" ] || [ -L "$f" ] || continue
  leftovers+="${leftovers:+ }${f##*/}"
done
[ -z "$leftovers" ] || fail "temporary files left behind: $leftovers"
# Nothing outside the working directory is written: neither through a link
# nor after the library changed the current directory (@OUTSIDE@).
for f in "$outside"/* "$outside"/.[!.]*; do
  [ -e "$f" ] || [ -L "$f" ] || continue
  if [ -f "$f" ] && [ ! -L "$f" ] && [ "$(cat "$f")" = outside ]; then continue; fi
  fail "$(basename "$f") outside the working directory was written"
done
for exp in "$expect"/files/* "$expect/$variant"/files/*; do
  [ -e "$exp" ] || continue
  name=${exp##*/}
  [ "$exp" = "$(expected_file "files/$name")" ] && compare "files/$name" "$work/$name"
done
if [ -e "$(expected_file absent)" ]; then
  while read -r name; do
    [ -n "$name" ] && [ -e "$work/$name" ] && fail "$name exists, expected none"
  done < "$(expected_file absent)"
fi
# The PIN (third request line) must never reach the trace.
if [ -n "$request" ] && has request; then
  pin=$(perl -ne 'next if /^\0/; if (++$n == 3) { s/\r?\n$//; print; last }' "$case_dir/request")
  if [ "${#pin}" -ge 4 ] && grep -qF -- "$pin" "$tmp/stdout"; then fail "the PIN appears in the trace"; fi
fi
if [ -s "$tmp/stderr" ]; then echo "--- stderr of the run:"; head -c 4000 "$tmp/stderr"; fi

if [ "$failures" -ne 0 ]; then
  echo "case $(basename "$case_dir") [$variant]: $failures difference(s)"
  exit 1
fi
echo "case $(basename "$case_dir") [$variant]: ok"
