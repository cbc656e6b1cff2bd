#!/usr/bin/env bash
# Runs a command in the source tree inside the Debian 12 root, where the i386
# runtime is installed as a foreign architecture (scripts/debian-root.sh): the
# way to build and test the 32-bit trees on a machine whose own dpkg has no
# i386 packages. The build folder is the clone's own, so the presets work:
#
#   scripts/in-root.sh cmake --preset i386
#   scripts/in-root.sh cmake --build --preset i386 -j2
#   scripts/in-root.sh ctest --preset i386 -j2
#
# Needs root, as debootstrap and the root's mounts do; the first call makes the
# root (a few minutes), later ones reuse it.
exec bash "$(dirname "$0")/debian-root.sh" run bookworm x86_64 "$@"
