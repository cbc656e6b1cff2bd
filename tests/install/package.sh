#!/usr/bin/env bash
# Checks the install layout and the three packages of a build:
#   - without --packages: `cmake --install` into a temporary prefix gives the
#     three programs in bin/, their manual pages in share/man/man1/ and the
#     documents in share/doc/card-helpers/, and cpack makes the .deb, the .rpm
#     and the .tar.gz, which are then checked;
#   - with --packages DIR: the packages already made there (the release) are
#     checked, and the SHA256SUMS beside them must list exactly them, rightly.
# Each package must name the tree's architecture, depend on the C library alone
# (with --glibc-floor: on exactly that glibc version), hold exactly the three
# programs, their manual pages (gzip -9n) and the four documents, and unpack
# (dpkg -x, rpm2cpio | cpio, tar) into programs of the tree's ELF class that
# are still hardened after stripping and that run: --version and --help,
# which touch no file, each one's start-up failure in an empty working
# directory, and a real readTokenCert through the test module.
# Everything is made in a temporary folder that is removed at the end.
#   package.sh --build DIR --abi ABI --source DIR [--module TEST_MODULE]
#              [--packages DIR] [--glibc-floor VERSION]
set -u
build="" abi="" source="" module="" packages="" floor=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --abi) abi=$2; shift 2 ;;
    --source) source=$2; shift 2 ;;
    --module) module=$2; shift 2 ;;
    --packages) packages=$2; shift 2 ;;
    --glibc-floor) floor=$2; shift 2 ;;
    *) echo "package.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

case "$abi" in
  x86_64) deb_arch=amd64 rpm_arch=x86_64 elf_class=ELF64 ;;
  i386) deb_arch=i386 rpm_arch=i686 elf_class=ELF32 ;;
  *) echo "unknown ABI '$abi'"; exit 2 ;;
esac

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

programs=(tovrel marbek quillet)
docs=(README.md LICENSE packaging/copyright)
pages=(tovrel.1 marbek.1 quillet.1)
lissi_module=/opt/lissi-crypto/lircryptoki_fs/lib/liblircryptoki_fs.so

# --- cmake --install and cpack -----------------------------------------------
release=$packages
if [ -z "$packages" ]; then
  if cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" 2>&1; then
    for p in "${programs[@]}"; do
      [ -x "$tmp/prefix/bin/$p" ] || fail "install: bin/$p missing or not executable"
    done
    for d in "${docs[@]}"; do
      cmp -s "$source/$d" "$tmp/prefix/share/doc/card-helpers/$(basename "$d")" ||
        fail "install: share/doc/card-helpers/$(basename "$d") missing or not the source's"
    done
  else
    fail "cmake --install failed"; cat "$tmp/install.log"
  fi
  if ! (cd "$build" && cpack -G "DEB;RPM;TGZ" -B "$tmp/out") >"$tmp/cpack.log" 2>&1; then
    echo "FAIL: cpack failed"; cat "$tmp/cpack.log"; exit 1
  fi
  packages=$tmp/out
fi

# one_package PATTERN: the single file of the package folder that matches.
one_package() {
  local found=("$packages"/$1)
  if [ "${#found[@]}" -ne 1 ] || [ ! -f "${found[0]}" ]; then
    fail "expected one $1 in $packages, found: $(ls "$packages" | tr '\n' ' ')"
    return 1
  fi
  echo "${found[0]}"
}

# The regular files of an installed package, exactly, under PREFIX.
expected_files() {
  printf "$1/%s\n" bin/marbek bin/quillet bin/tovrel share/doc/card-helpers/LICENSE \
    share/doc/card-helpers/README.md share/doc/card-helpers/changelog.gz \
    share/doc/card-helpers/copyright share/man/man1/marbek.1.gz share/man/man1/quillet.1.gz \
    share/man/man1/tovrel.1.gz
}
same_files() {  # what expected actual
  [ "$2" = "$3" ] || fail "$1: package files differ:"$'\n'"$(diff <(echo "$2") <(echo "$3"))"
}

# --- the .deb ------------------------------------------------------------------
if deb=$(one_package "card-helpers_*_$deb_arch.deb"); then
  field() { dpkg-deb -f "$deb" "$1"; }
  [ "$(field Package)" = card-helpers ] || fail "deb: Package is '$(field Package)'"
  [ "$(field Architecture)" = "$deb_arch" ] || fail "deb: Architecture is '$(field Architecture)', not $deb_arch"
  depends=$(field Depends)
  if [ -n "$floor" ]; then
    [ "$depends" = "libc6 (>= $floor)" ] || fail "deb: Depends is '$depends', not 'libc6 (>= $floor)'"
  else
    [[ "$depends" =~ ^libc6(\ \(\>=\ [0-9]+(\.[0-9]+)*\))?$ ]] || fail "deb: Depends is '$depends', not libc6 alone"
  fi
  [ "$(field Maintainer)" = "Card helpers team <team@example.invalid>" ] ||
    fail "deb: Maintainer is '$(field Maintainer)'"
  [ -n "$(field Description)" ] || fail "deb: no Description"
  version=$(field Version)
  same_files deb "$(expected_files ./usr)" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)"
  dpkg -x "$deb" "$tmp/deb" || fail "dpkg -x failed"
fi

# --- the .rpm ------------------------------------------------------------------
if rpm=$(one_package "card-helpers-*.$rpm_arch.rpm"); then
  query() { rpm -qp --nosignature --qf "$1" "$rpm" 2>/dev/null; }
  [ "$(query '%{NAME}')" = card-helpers ] || fail "rpm: Name is '$(query '%{NAME}')'"
  [ "$(query '%{ARCH}')" = "$rpm_arch" ] || fail "rpm: Arch is '$(query '%{ARCH}')', not $rpm_arch"
  [ "$(query '%{LICENSE}')" = MIT ] || fail "rpm: License is '$(query '%{LICENSE}')'"
  requires=$(rpm -qp --nosignature --requires "$rpm" 2>/dev/null | grep -v '^rpmlib(' | sort -u)
  # Only the C library, libdl, the loader and its hash style (no shell: the
  # package has no scriptlets); the (64bit) marker on x86_64.
  others=$(grep -vE '^(libc\.so\.6|libdl\.so\.2|ld-linux(-x86-64)?\.so\.2|rtld\(GNU_HASH\))' <<< "$requires")
  [ -z "$others" ] || fail "rpm: requires more than the C library:"$'\n'"$others"
  if [ "$abi" = x86_64 ]; then
    grep -E '^lib' <<< "$requires" | grep -vq '(64bit)$' && fail "rpm: a library requirement without (64bit)"
  else
    grep -q '(64bit)' <<< "$requires" && fail "rpm: a 64-bit requirement in a 32-bit package"
  fi
  newest=$(grep -oE 'GLIBC_[0-9.]+' <<< "$requires" | sed 's/GLIBC_//' | sort -V | tail -n 1)
  [ -n "$newest" ] || fail "rpm: no libc.so.6(GLIBC_...) requirement"
  if [ -n "$floor" ] && [ "$newest" != "$floor" ]; then
    fail "rpm: the newest required glibc version is $newest, not $floor"
  fi
  same_files rpm "$(expected_files /usr)" "$(rpm -qplv --nosignature "$rpm" 2>/dev/null | awk '$1 !~ /^d/ { print $9 }' | sort)"
  mkdir "$tmp/rpm"
  (cd "$tmp/rpm" && rpm2cpio "$rpm" | cpio -idm --quiet) || fail "rpm2cpio | cpio failed"
fi

# --- the .tar.gz ---------------------------------------------------------------
if tgz=$(one_package "card-helpers-*-linux-$rpm_arch.tar.gz"); then
  top=$(basename "$tgz" .tar.gz)
  same_files tgz "$(expected_files "$top")" "$(tar -tzvf "$tgz" | awk '$1 !~ /^d/ { print $6 }' | sort)"
  mkdir "$tmp/tgz"
  tar -xzf "$tgz" -C "$tmp/tgz" || fail "tar -xzf failed"
fi

# --- the unpacked programs -----------------------------------------------------
# Runs a packaged program in a fresh empty working directory; sets `out`
# (its standard output) and `status`.
run_empty() {
  local work
  work=$(mktemp -d "$tmp/work.XXXXXX")
  out=$(cd "$work" && "$@" 2>/dev/null)
  status=$?
  [ -z "$(ls -A "$work")" ] || fail "$(basename "$1") left files in an empty working directory: $(ls -A "$work")"
}

# check_tree KIND DIR: the programs under DIR/bin of one unpacked package.
# same_compressed SOURCE PACKAGED: PACKAGED is SOURCE compressed with gzip -n,
# whose header holds neither a file name nor a time (flag bit 0x08 clear, bytes
# 4 to 7 zero), so that the package's bytes do not depend on when or where it
# was built.
same_compressed() {
  cmp -s "$1" <(gzip -dc "$2" 2>/dev/null) &&
    [ "$(od -An -tx1 -j3 -N5 "$2" | tr -d ' \n')" = 0000000000 ]
}

check_tree() {
  local kind=$1 dir=$2 p bin page
  for d in "${docs[@]}"; do
    cmp -s "$source/$d" "$dir/share/doc/card-helpers/$(basename "$d")" ||
      fail "$kind: packaged $(basename "$d") is not the source's"
  done
  same_compressed "$source/packaging/changelog" "$dir/share/doc/card-helpers/changelog.gz" ||
    fail "$kind: packaged changelog.gz is not packaging/changelog compressed with gzip -n"
  for page in "${pages[@]}"; do
    same_compressed "$source/man/$page" "$dir/share/man/man1/$page.gz" ||
      fail "$kind: packaged $page.gz is not man/$page compressed with gzip -n"
  done
  for p in "${programs[@]}"; do
    bin=$dir/bin/$p
    [ -x "$bin" ] || { fail "$kind: $p not executable in the package"; continue; }
    readelf -h "$bin" | grep -q "Class:[[:space:]]*$elf_class" || fail "$kind: $p is not $elf_class"
    bash "$source/tests/install/check-binary.sh" "$bin" ${floor:+--glibc-floor "$floor"} >"$tmp/check.log" ||
      fail "$kind: packaged $p: $(cat "$tmp/check.log")"
  done

  # --version and --help (or -V, -h) as the first argument: the text, exit
  # status 0, and nothing written into the working directory.
  for p in "${programs[@]}"; do
    for option in --version -V; do
      run_empty "$dir/bin/$p" "$option" ignored
      [ "$status" -eq 0 ] && [ "$out" = "$p (card-helpers) ${version:-?}" ] ||
        fail "$kind: $p $option: exit $status, '$out', not '$p (card-helpers) ${version:-?}'"
    done
    for option in --help -h; do
      run_empty "$dir/bin/$p" "$option"
      [ "$status" -eq 0 ] && [ "${out%%:*}" = "$p" ] && grep -q "man $p" <<<"$out" ||
        fail "$kind: $p $option: exit $status, or the usage text does not name $p and its manual"
    done
  done

  run_empty "$dir/bin/tovrel"
  [ "$status" -eq 1 ] || fail "$kind: tovrel without a plugin-directory file: exit $status, not 1"
  [ "${out%%$'\n'*}" = run ] || fail "$kind: tovrel: first trace line is not 'run'"
  grep -q 'vn_api_currplugDir.txt not exist' <<<"$out" || fail "$kind: tovrel: no 'vn_api_currplugDir.txt not exist'"

  run_empty "$dir/bin/quillet"
  [ "$status" -eq 1 ] || fail "$kind: quillet without a plugin-directory file: exit $status, not 1"
  grep -q 'vn_api_currplugDir.txt not exist' <<<"$out" || fail "$kind: quillet: no 'vn_api_currplugDir.txt not exist'"

  # marbek loads the LISSI module from its fixed path; where that exists it is
  # hidden behind an empty /opt in a private mount namespace.
  if [ ! -e "$lissi_module" ]; then
    run_empty "$dir/bin/marbek"
  elif [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
    run_empty unshare -m sh -c 'mount -t tmpfs tmpfs /opt && exec "$0"' "$dir/bin/marbek"
  else
    echo "note: $lissi_module exists and cannot be hidden here; marbek's load failure not checked"
    status=1 out="Can't load dll"
  fi
  [ "$status" -eq 1 ] || fail "$kind: marbek without its module: exit $status, not 1"
  grep -q "Can't load dll" <<<"$out" || fail "$kind: marbek: no \"Can't load dll\""

  # A real request through the test module: the first certificate of the demo token.
  if [ -n "$module" ]; then
    local work=$tmp/token-$kind
    mkdir -p "$work/plug"
    cp "$module" "$work/plug/libjcPKCS11.so.1"
    printf '%s/plug/\n' "$work" >"$work/vn_api_currplugDir.txt"
    printf 'readTokenCert\nJaCarta\n1234\n' >"$work/tovrel_in.txt"
    (cd "$work" && env -u TEST_MODULE_LOG TEST_MODULE_CONF="$source/tests/fixtures/demo-token.conf" \
      "$dir/bin/tovrel" >/dev/null 2>"$tmp/token.err")
    status=$?
    printf 'Result=0\nError=OK\nRawCert64Coded\n%s' "$(base64 -w0 "$source/tests/fixtures/demo-cert.der")" \
      >"$tmp/expected_out.txt"
    [ "$status" -eq 0 ] || fail "$kind: packaged tovrel readTokenCert: exit $status ($(cat "$tmp/token.err"))"
    cmp -s "$tmp/expected_out.txt" "$work/tovrel_out.txt" ||
      fail "$kind: packaged tovrel readTokenCert: response is not the demo certificate"
  fi
}

# --- SHA256SUMS beside the release packages -----------------------------------
if [ -n "$release" ]; then
  if [ ! -f "$packages/SHA256SUMS" ]; then
    fail "no SHA256SUMS beside the packages in $packages"
  else
    listed=$(awk '{ sub(/^\*/, "", $2); print $2 }' "$packages/SHA256SUMS" | sort)
    present=$(cd "$packages" && ls card-helpers* | sort)
    [ "$listed" = "$present" ] || fail "SHA256SUMS lists '$(echo $listed)', the folder holds '$(echo $present)'"
    (cd "$packages" && sha256sum --check --strict --quiet SHA256SUMS) || fail "SHA256SUMS does not check"
  fi
fi

[ -d "$tmp/deb" ] && check_tree deb "$tmp/deb/usr"
[ -d "$tmp/rpm" ] && check_tree rpm "$tmp/rpm/usr"
[ -d "$tmp/tgz" ] && check_tree tgz "$tmp/tgz/$top"

[ "$failures" -eq 0 ] && echo "ok: $(cd "$packages" && ls card-helpers* | tr '\n' ' ')"
exit $((failures != 0))
