#!/usr/bin/env bash
# Makes sure this machine can run 32-bit x86 programs, and says how it runs
# them: prints "native" (the kernel runs them) or "emulated" (qemu-user,
# registered with binfmt_misc). The i386 builds, their tests and the i386
# Debian roots need one or the other.
#
#   scripts/i386-exec.sh            check; register the emulator if the kernel cannot
#   I386_EMULATION=force scripts/i386-exec.sh
#                                   register the emulator even where the kernel
#                                   can: a registered entry takes precedence over
#                                   the kernel's own loader, so this reproduces a
#                                   machine without 32-bit execution
#   scripts/i386-exec.sh --remove   remove the entry this script registers
#
# Some kernels have no 32-bit user mode ("Exec format error" for any i386
# program). Then, as root, qemu-user-static is installed and the i386 ELF
# format registered with flag F: the kernel opens the emulator at
# registration, so i386 programs also run inside chroots that lack it. The
# entry stays registered until --remove (or the next boot). Fails, saying
# why, where that cannot be done (not root, no binfmt_misc); it never lets
# the i386 stages pass by not running them.
set -euo pipefail

binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/qemu-i386
emulator=/usr/bin/qemu-i386-static
# The i386 ELF executable and shared-object header, as Debian's qemu-user
# packaging describes it for other hosts (none is shipped for amd64).
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if [ "${1:-}" = --remove ]; then
  if [ -e "$entry" ]; then
    echo -1 | $SUDO tee "$entry" > /dev/null
  fi
  exit 0
fi

# A 32-bit program that only exits with 42, written byte by byte (an ELF
# header, one program header and three instructions), so that the check needs
# no 32-bit compiler or library on this machine.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf '%b' '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
  '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
  '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' \
  '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
  '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
  '\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' > "$probe_dir/probe"
chmod +x "$probe_dir/probe"
runs() { "$probe_dir/probe" 2> /dev/null; [ $? -eq 42 ]; }
registered() { [ -e "$entry" ] && grep -qx enabled "$entry"; }

if [ "${I386_EMULATION:-}" != force ] && ! registered && runs; then
  echo native
  exit 0
fi

if ! registered; then
  if [ "$(id -u)" -ne 0 ] && ! sudo -n true 2> /dev/null; then
    echo "$0: this kernel does not run 32-bit programs, and registering an emulator for them" \
      "(qemu-user with binfmt_misc) needs root" >&2
    exit 1
  fi
  if [ ! -x "$emulator" ]; then
    bash "$(dirname "$0")/apt-tolerant.sh" install qemu-user-static > /dev/null || {
      echo "$0: could not install qemu-user-static, the emulator for 32-bit programs" >&2; exit 1; }
  fi
  if [ ! -e "$binfmt/register" ]; then
    $SUDO mount -t binfmt_misc binfmt_misc "$binfmt" 2> /dev/null || {
      echo "$0: binfmt_misc is not available on this kernel, so 32-bit programs cannot be" \
        "handed to an emulator" >&2; exit 1; }
  fi
  # A disabled entry of that name is replaced.
  [ ! -e "$entry" ] || echo -1 | $SUDO tee "$entry" > /dev/null
  printf '%s' ":qemu-i386:M::$magic:$mask:$emulator:F" | $SUDO tee "$binfmt/register" > /dev/null || {
    echo "$0: could not register the i386 emulator with binfmt_misc" >&2; exit 1; }
fi
if ! runs; then
  echo "$0: 32-bit programs do not run, even with the emulator registered ($entry)" >&2
  exit 1
fi
echo emulated
