#!/usr/bin/env bash
# Line coverage of bridge/ and lister/ that the whole-run targets reach: builds
# the programs, the driver and its libraries with gcc --coverage into
# build/coverage, replays every input of the given folders through the driver
# (tovrel's and marbek's inputs through both bridges), and prints, per source
# file, the lines run of the lines compiled, both in all and without the
# functions that no library answer can reach (WHOLE_RUN_UNREACHABLE below:
# the host's side of a run, which the driver holds fixed and the parser
# targets fuzz).
#
#   scripts/whole-run-coverage.sh [FOLDER...]
#     default: the committed corpus and the queues of scripts/fuzz.sh
#     (build/fuzz/run/whole-run-*/default/queue)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cov="$root/build/coverage"
flags="--coverage -O0"
cmake -S "$root" -B "$cov" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_MODULE_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$cov" -j"$(nproc)" --target whole-run tovrel marbek quillet >/dev/null
find "$cov" -name '*.gcda' -delete

corpus="$root/tests/fuzz/wholerun/corpus"
replay() { # VARIANT FOLDER...
  local v=$1 program="$cov/bridge/$1"
  shift
  [ "$v" = quillet ] && program="$cov/lister/quillet"
  "$cov/tests/fuzz/wholerun/whole-run" --variant "$v" --program "$program" \
    --modules "$cov/tests/fuzz/wholerun" "$@" 2>&1 | grep -v "^whole-run: .*: " | tail -n 2 || true
}
if [ $# -gt 0 ]; then
  for v in tovrel marbek quillet; do replay "$v" "$@"; done
else
  queues() { for q in "$root"/build/fuzz/run/whole-run-"$1"/default/queue; do [ -d "$q" ] && echo "$q"; done; }
  for v in tovrel marbek; do
    # shellcheck disable=SC2046
    replay "$v" "$corpus/tovrel" "$corpus/marbek" $(queues tovrel) $(queues marbek)
  done
  # shellcheck disable=SC2046
  replay quillet "$corpus/quillet" $(queues quillet)
fi

# Functions no library answer reaches, with the part of the host they serve.
export WHOLE_RUN_UNREACHABLE='
usage.cpp:*                 the command line (--help, --version)
command_line.cpp:*          the command line
request.cpp:*               the request file (the request target)
plugin_dir.cpp:*            the plugin-directory file (the plugin_dir target)
digest_param.cpp:*          the digest text (the digest_param target)
file_utils.cpp:beginNamedDraft        file systems without unnamed files
file_utils.cpp:openHostFile           what the host leaves in the folder
file_utils.cpp:findModuleFile         the module path
diagnostics.cpp:elfMismatch           the module file
diagnostics.cpp:loaderReason          the module file
diagnostics.cpp:tellLoadFailure       the module file
'
cd "$cov"
objects=$(find bridge lister -name '*.gcda' | sed 's/\.gcda$/.o/')
# shellcheck disable=SC2086
gcov --json-format --stdout $objects 2>/dev/null | python3 -c '
import json, os, sys, fnmatch
unreach = [l.split()[0].split(":") for l in os.environ["WHOLE_RUN_UNREACHABLE"].splitlines() if l.strip()]
lines = {}   # file -> line -> (count, function)
for doc in sys.stdin:
    d = json.loads(doc)
    for f in d["files"]:
        name = f["file"]
        if not (name.startswith("bridge/") or name.startswith("lister/") or "/bridge/" in name or "/lister/" in name):
            continue
        name = name[name.index("bridge/") if "bridge/" in name else name.index("lister/"):]
        spans = [(fn["start_line"], fn["end_line"], fn["demangled_name"]) for fn in f.get("functions", [])]
        got = lines.setdefault(name, {})
        for l in f["lines"]:
            fn = next((n for s, e, n in spans if s <= l["line_number"] <= e), "")
            old = got.get(l["line_number"], (0, fn))
            got[l["line_number"]] = (old[0] + l["count"], fn or old[1])
def excluded(name, fn):
    base = os.path.basename(name)
    short = fn.split("(")[0].split("::")[-1]
    return any(fnmatch.fnmatch(base, f) and (g == "*" or g == short) for f, g in unreach)
tot = [0, 0, 0, 0]
print("%-28s %14s %20s" % ("file", "lines run", "answer-reachable run"))
for name in sorted(lines):
    ls = lines[name]
    run = sum(1 for c, _ in ls.values() if c)
    reach = [(c, fn) for c, fn in ls.values() if not excluded(name, fn)]
    rrun = sum(1 for c, _ in reach if c)
    tot[0] += run; tot[1] += len(ls); tot[2] += rrun; tot[3] += len(reach)
    pct = lambda a, b: "%5.1f%%" % (100.0 * a / b) if b else "    -"
    print("%-28s %6d/%-5d%s %6d/%-5d %s" % (name, run, len(ls), pct(run, len(ls)), rrun, len(reach), pct(rrun, len(reach))))
print("%-28s %6d/%-5d%5.1f%% %6d/%-5d %5.1f%%" % ("all", tot[0], tot[1], 100.0*tot[0]/tot[1], tot[2], tot[3], 100.0*tot[2]/tot[3]))
'
