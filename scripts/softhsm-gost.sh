#!/usr/bin/env bash
# Builds SoftHSM2 with GOST support for one ABI: a real, third-party PKCS#11 module
# that signs with GOST R 34.10-2001, for the tests. Debian's own package is built
# without GOST; this is the same upstream release from Debian's source package
# (orig tarball plus Debian's patches for OpenSSL 3), with no change of ours.
#
#   scripts/softhsm-gost.sh ABI CACHE      ABI: x86_64 or i386
#
# Prints the path of the built libsofthsm2.so on standard output; everything else
# goes to standard error. The result is cached in CACHE under a key made of the
# pinned tarball checksums (the Debian tarball carries the patch series), the
# configure flags and the ABI, so a repeat run only checks that the file is there.
# The i386 build needs OPENSSL_ENGINES set to the folder of the i386 gost engine
# (/usr/local/lib/i386-extras/usr/lib/i386-linux-gnu/engines-3 in the Debian 12 root of
# scripts/in-root.sh, where the i386 build runs): configure loads the engine, and so does the
# module at run time. DEBIAN_MIRROR overrides the archive URI taken from apt's sources.
#
# Fails with a message, never silently, when the sources cannot be fetched or
# do not match their checksums.
set -euo pipefail

if [ $# -ne 2 ] || { [ "$1" != x86_64 ] && [ "$1" != i386 ]; }; then
  echo "usage: $0 x86_64|i386 CACHE" >&2
  exit 2
fi
abi=$1
mkdir -p "$2"
cache=$(cd "$2" && pwd)

package=softhsm2
version=2.6.1-3
suite=trixie
orig=softhsm2_2.6.1.orig.tar.gz
orig_sha256=ac9ac1e3f4402f88bf3e626a18f070f8031c031947ed469c6e17482495ec72b6
debian=softhsm2_2.6.1-3.debian.tar.xz
debian_sha256=18dae4870fa714733a8daf0f13809eaef4024a3cbcd736cc82b9fb224d61bc98

# Only the library is built; -O0 halves the build time and is fast enough for tests.
flags=(--with-crypto-backend=openssl --enable-gost --disable-ecc --disable-eddsa
  --without-p11-kit --disable-static)
compiler=(CFLAGS="-O0 -g0" CXXFLAGS="-O0 -g0")
if [ "$abi" = i386 ]; then
  # Large-file interfaces: without them a 32-bit readdir fails on ext4 under
  # emulation (64-bit directory offsets), and the token folder looks empty.
  compiler+=(CC="gcc -m32 -D_FILE_OFFSET_BITS=64" CXX="g++ -m32 -D_FILE_OFFSET_BITS=64")
  if [ -z "${OPENSSL_ENGINES:-}" ] || [ ! -e "$OPENSSL_ENGINES/gost.so" ]; then
    echo "$0: the i386 build needs OPENSSL_ENGINES set to the i386 gost engine folder" \
      "(in the Debian 12 root: /usr/local/lib/i386-extras/usr/lib/i386-linux-gnu/engines-3)" >&2
    exit 1
  fi
fi

key=$(printf '%s\n' "$package $version" "$orig_sha256" "$debian_sha256" "${flags[*]}" "${compiler[*]}" "$abi" |
  sha256sum | cut -c1-16)
result=$cache/$abi-$key/libsofthsm2.so
if [ -f "$result" ]; then
  echo "$result"
  exit 0
fi

sources=$cache/sources
have_sources() {
  [ -f "$sources/$orig" ] && [ -f "$sources/$debian" ] &&
    printf '%s  %s\n%s  %s\n' "$orig_sha256" "$sources/$orig" "$debian_sha256" "$sources/$debian" |
      sha256sum --check --status
}

fetch_sources() {
  local mirror
  mirror=$(bash "$(dirname "$0")/debian-mirror.sh") || return 1
  local apt=$cache/apt
  rm -rf "$apt" && mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$sources"
  printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
    "$mirror" "$suite" > "$apt/sources.list"
  local opts=(-q -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o APT::Sandbox::User=root)
  echo "fetching $package $version from $mirror ($suite)" >&2
  if ! bash "$(dirname "$0")/apt-tolerant.sh" update "${opts[@]}" > "$apt/fetch.log" 2>&1 ||
     ! (cd "$sources" && apt-get "${opts[@]}" source --download-only "$package=$version") >> "$apt/fetch.log" 2>&1; then
    cat "$apt/fetch.log" >&2
    echo "$0: cannot fetch the $package $version sources from $mirror ($suite)" >&2
    return 1
  fi
  rm -rf "$apt"
}

if ! have_sources; then
  fetch_sources || exit 1
  if ! have_sources; then
    sha256sum "$sources/$orig" "$sources/$debian" >&2 || true
    echo "$0: the fetched sources do not match the pinned sha256 checksums" >&2
    exit 1
  fi
fi

work=$(mktemp -d "$cache/work.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "building SoftHSM2 with GOST for $abi in $work" >&2
tar -xzf "$sources/$orig" -C "$work"
tree=$work/softhsm2-2.6.1
tar -xJf "$sources/$debian" -C "$tree"
while read -r patch; do
  case "$patch" in '' | '#'*) continue ;; esac
  patch -d "$tree" -p1 --batch --forward --quiet -i "debian/patches/$patch"
done < "$tree/debian/patches/series"

mkdir "$work/build"
if ! (cd "$work/build" && "$tree/configure" -q "${flags[@]}" "${compiler[@]}") > "$work/configure.log" 2>&1; then
  tail -n 40 "$work/configure.log" >&2
  grep -n 'GOST' "$work/build/config.log" >&2 || true
  echo "$0: configuring SoftHSM2 for $abi failed" >&2
  exit 1
fi
if ! make -C "$work/build/src/lib" -j"$(nproc 2>/dev/null || echo 2)" > "$work/make.log" 2>&1; then
  grep -E 'error|Error' "$work/make.log" | head -n 40 >&2
  echo "$0: building SoftHSM2 for $abi failed" >&2
  exit 1
fi

mkdir -p "$cache/$abi-$key.tmp"
cp "$work/build/src/lib/.libs/libsofthsm2.so" "$cache/$abi-$key.tmp/libsofthsm2.so"
rm -rf "$cache/$abi-$key"
mv "$cache/$abi-$key.tmp" "$cache/$abi-$key"
echo "$result"
