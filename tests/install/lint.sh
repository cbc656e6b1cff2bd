#!/usr/bin/env bash
# The packages as a distribution's maintainer judges them:
#   - lintian on the .deb: no error and no warning;
#   - the packaged manual pages render without a groff warning and name the
#     package's version;
#   - rpmlint on the .rpm: no tag beyond those README.md lists as not ours
#     (NOT_OURS below, each with its reason).
# The packages are the release's (--packages DIR) or made here with cpack.
#   lint.sh --build DIR --abi ABI [--packages DIR]
set -u
build="" abi="" packages=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --abi) abi=$2; shift 2 ;;
    --packages) packages=$2; shift 2 ;;
    *) echo "lint.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
case "$abi" in
  x86_64) deb_arch=amd64 rpm_arch=x86_64 ;;
  i386) deb_arch=i386 rpm_arch=i686 ;;
  *) echo "unknown ABI '$abi'"; exit 2 ;;
esac

here=$(cd "$(dirname "$0")" && pwd)
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
. "$here/../support/bridge_runs.sh"

# rpmlint 2.4 (Debian 12) with its default configuration:
#   no-signature              packages are signed by whoever publishes them;
#   invalid-license           its list of valid licences is empty until a
#                             distribution's configuration fills it;
#   manpage-not-compressed    it expects bzip2 pages (openSUSE's choice); rpm's
#                             own brp-compress, Fedora and RHEL use gzip;
#   no-manual-page-for-binary it collects the manual's section instead of the
#                             page's name, so it reports every program.
NOT_OURS="no-signature invalid-license manpage-not-compressed no-manual-page-for-binary"

if [ -z "$packages" ]; then
  if ! (cd "$build" && cpack -G "DEB;RPM" -B "$TMP/out") > "$TMP/cpack.log" 2>&1; then
    echo "FAIL: cpack failed"; cat "$TMP/cpack.log"; exit 1
  fi
  packages=$TMP/out
fi
deb=$(ls "$packages"/card-helpers_*_"$deb_arch".deb 2>/dev/null | head -n 1)
rpm=$(ls "$packages"/card-helpers-*."$rpm_arch".rpm 2>/dev/null | head -n 1)
[ -f "$deb" ] || { echo "FAIL: no .deb for $deb_arch in $packages"; exit 1; }

# lintian: its exit status, and no E: or W: line (overrides would be shown as O:).
lintian_clean() {
  lintian --fail-on error,warning "$deb" > "$TMP/lintian.log" 2>&1
  local status=$?
  grep -v 'running with root privileges' "$TMP/lintian.log"
  [ "$status" -eq 0 ] && ! grep -qE '^[EW]: ' "$TMP/lintian.log"
}
check "lintian: $(basename "$deb") has no error and no warning" lintian_clean

dpkg -x "$deb" "$TMP/deb"
version=$(dpkg-deb -f "$deb" Version)
# man_page_clean PAGE: groff has nothing to say about it, and its title line
# names this version.
man_page_clean() {
  local warnings
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$1" 2>&1 > /dev/null)
  [ -z "$warnings" ] || { echo "$warnings"; return 1; }
  zcat "$1" | grep -q "^\.TH .* \"card-helpers $version\"" ||
    { echo "title line: $(zcat "$1" | grep '^\.TH')"; return 1; }
}
for page in tovrel marbek quillet; do
  check "man page $page.1: renders without warnings, version $version" \
    man_page_clean "$TMP/deb/usr/share/man/man1/$page.1.gz"
done

if ! command -v rpmlint > /dev/null; then
  echo "note: rpmlint is not installed; the .rpm is not linted"
elif [ ! -f "$rpm" ]; then
  check "a .rpm for $rpm_arch in $packages" false
else
  # rpmlint_only_not_ours: every tag it reports is one of NOT_OURS.
  rpmlint_only_not_ours() {
    rpmlint "$rpm" > "$TMP/rpmlint.log" 2>&1
    local tag ours=0
    for tag in $(sed -nE 's/^[^ ]+: [EW]: ([^ ]+).*/\1/p' "$TMP/rpmlint.log" | sort -u); do
      [[ " $NOT_OURS " == *" $tag "* ]] || { grep -E ": [EW]: $tag( |$)" "$TMP/rpmlint.log"; ours=1; }
    done
    return "$ours"
  }
  check "rpmlint: $(basename "$rpm") has no tag beyond: $NOT_OURS" rpmlint_only_not_ours
fi
finish
