#!/usr/bin/env bash
# Checks the install layout and the Debian package of a built tree:
#   - `cmake --install` into a temporary prefix gives the three programs in bin/
#     and README.md and LICENSE in share/doc/card-helpers/;
#   - cpack makes card-helpers_*_<arch>.deb whose control data names the
#     architecture of the tree and depends on libc6 alone, and whose files are
#     exactly those five under /usr;
#   - the programs unpacked from it are of the tree's ELF class, still hardened
#     after stripping, and run: each one's start-up failure in an empty working
#     directory, and a real readTokenCert through the test module.
# Everything is made in a temporary folder that is removed at the end.
#   package.sh BUILD_DIR ABI SOURCE_DIR [TEST_MODULE]
set -u
build=$1 abi=$2 source=$3 module=${4:-}

case "$abi" in
  x86_64) arch=amd64 elf_class=ELF64 ;;
  i386) arch=i386 elf_class=ELF32 ;;
  *) echo "unknown ABI $abi"; exit 2 ;;
esac

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

programs=(tovrel marbek quillet)
docs=(README.md LICENSE)
lissi_module=/opt/lissi-crypto/lircryptoki_fs/lib/liblircryptoki_fs.so

# --- cmake --install ---------------------------------------------------------
if cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" 2>&1; then
  for p in "${programs[@]}"; do
    [ -x "$tmp/prefix/bin/$p" ] || fail "install: bin/$p missing or not executable"
  done
  for d in "${docs[@]}"; do
    cmp -s "$source/$d" "$tmp/prefix/share/doc/card-helpers/$d" ||
      fail "install: share/doc/card-helpers/$d missing or not the source's"
  done
else
  fail "cmake --install failed"; cat "$tmp/install.log"
fi

# --- cpack -------------------------------------------------------------------
if ! (cd "$build" && cpack -G DEB -B "$tmp/out") >"$tmp/cpack.log" 2>&1; then
  echo "FAIL: cpack failed"; cat "$tmp/cpack.log"; exit 1
fi
debs=("$tmp"/out/card-helpers_*_"$arch".deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "FAIL: expected one card-helpers_*_$arch.deb, found:"; ls "$tmp/out"; exit 1
fi
deb=${debs[0]}

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = card-helpers ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)', not $arch"
depends=$(field Depends)
[[ "$depends" =~ ^libc6(\ \(\>=\ [0-9]+(\.[0-9]+)*\))?$ ]] || fail "Depends is '$depends', not libc6 alone"
[ "$(field Maintainer)" = "Card helpers team <team@example.invalid>" ] ||
  fail "Maintainer is '$(field Maintainer)'"
[ -n "$(field Description)" ] || fail "no Description"
dpkg-deb -I "$deb" >/dev/null || fail "dpkg-deb -I cannot read the package"

# The regular files of the package, exactly.
expected=$(printf '%s\n' ./usr/bin/marbek ./usr/bin/quillet ./usr/bin/tovrel \
  ./usr/share/doc/card-helpers/LICENSE ./usr/share/doc/card-helpers/README.md)
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
[ "$actual" = "$expected" ] || fail "package files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"

# --- the unpacked programs -----------------------------------------------------
root=$tmp/root
dpkg -x "$deb" "$root" || { echo "FAIL: dpkg -x failed"; exit 1; }
for d in "${docs[@]}"; do
  cmp -s "$source/$d" "$root/usr/share/doc/card-helpers/$d" || fail "packaged $d is not the source's"
done
for p in "${programs[@]}"; do
  bin=$root/usr/bin/$p
  [ -x "$bin" ] || { fail "$p not executable in the package"; continue; }
  readelf -h "$bin" | grep -q "Class:[[:space:]]*$elf_class" || fail "$p is not $elf_class"
  bash "$source/tests/install/check-binary.sh" "$bin" >"$tmp/check.log" ||
    fail "packaged $p: $(cat "$tmp/check.log")"
done

# Runs a packaged program in a fresh empty working directory; sets `out`
# (its standard output) and `status`.
run_empty() {
  local work
  work=$(mktemp -d "$tmp/work.XXXXXX")
  out=$(cd "$work" && "$@" 2>/dev/null)
  status=$?
  [ -z "$(ls -A "$work")" ] || fail "$(basename "$1") left files in an empty working directory: $(ls -A "$work")"
}

run_empty "$root/usr/bin/tovrel"
[ "$status" -eq 1 ] || fail "tovrel without a plugin-directory file: exit $status, not 1"
[ "${out%%$'\n'*}" = run ] || fail "tovrel: first trace line is not 'run'"
grep -q 'vn_api_currplugDir.txt not exist' <<<"$out" || fail "tovrel: no 'vn_api_currplugDir.txt not exist'"

run_empty "$root/usr/bin/quillet"
[ "$status" -eq 1 ] || fail "quillet without a plugin-directory file: exit $status, not 1"
grep -q 'vn_api_currplugDir.txt not exist' <<<"$out" || fail "quillet: no 'vn_api_currplugDir.txt not exist'"

# marbek loads the LISSI module from its fixed path; where that exists it is
# hidden behind an empty /opt in a private mount namespace.
if [ ! -e "$lissi_module" ]; then
  run_empty "$root/usr/bin/marbek"
elif [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
  run_empty unshare -m sh -c 'mount -t tmpfs tmpfs /opt && exec "$0"' "$root/usr/bin/marbek"
else
  echo "note: $lissi_module exists and cannot be hidden here; marbek's load failure not checked"
  status=1 out="Can't load dll"
fi
[ "$status" -eq 1 ] || fail "marbek without its module: exit $status, not 1"
grep -q "Can't load dll" <<<"$out" || fail "marbek: no \"Can't load dll\""

# A real request through the test module: the first certificate of the demo token.
if [ -n "$module" ]; then
  work=$tmp/token
  mkdir -p "$work/plug"
  cp "$module" "$work/plug/libjcPKCS11.so.1"
  printf '%s/\n' "$work/plug" >"$work/vn_api_currplugDir.txt"
  printf 'readTokenCert\nJaCarta\n1234\n' >"$work/tovrel_in.txt"
  (cd "$work" && env -u TEST_MODULE_LOG TEST_MODULE_CONF="$source/tests/fixtures/demo-token.conf" \
    "$root/usr/bin/tovrel" >/dev/null 2>"$tmp/token.err")
  status=$?
  printf 'Result=0\nError=OK\nRawCert64Coded\n%s' "$(base64 -w0 "$source/tests/fixtures/demo-cert.der")" \
    >"$tmp/expected_out.txt"
  [ "$status" -eq 0 ] || fail "packaged tovrel readTokenCert: exit $status ($(cat "$tmp/token.err"))"
  cmp -s "$tmp/expected_out.txt" "$work/tovrel_out.txt" ||
    fail "packaged tovrel readTokenCert: response is not the demo certificate"
fi

[ "$failures" -eq 0 ] && echo "ok: $(basename "$deb")"
exit $((failures != 0))
