#!/usr/bin/env bash
# Line coverage of bridge/ and lister/ that the whole-run targets reach: builds
# the programs, the driver and its libraries with gcc --coverage into
# build/coverage, replays every input of the given folders through the driver
# (tovrel's and marbek's inputs through both bridges), and prints, per source
# file, the lines run of the lines compiled, both in all and without the
# lines that no library answer can reach (WHOLE_RUN_UNREACHABLE below:
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

# What no library answer reaches: the host's side of a run, which the driver
# holds fixed. FILE:* is a whole file, FILE:NAME a function, FILE@TEXT every
# line holding TEXT with the block or statement it opens. The reason follows.
export WHOLE_RUN_UNREACHABLE='
usage.cpp:*                                       the command line
command_line.cpp:*                                the command line
request.cpp:*                                     the request file (the request fuzz target)
plugin_dir.cpp:*                                  the plugin-directory file (the plugin_dir target)
digest_param.cpp:*                                the digest text (the digest_param target)
file_utils.cpp:*                                  the working folder and its file system (the cases)
process_guard.h:*                                 the descriptors the host hands over
diagnostics.cpp:packageArchitecture               the module file
diagnostics.cpp:elfDescription                    the module file
diagnostics.cpp:elfMismatch                       the module file
diagnostics.cpp:loaderReason                      the loader
diagnostics.cpp:tellLoadFailure                   the loader
diagnostics.cpp:checkModuleFile                   the module file
responses.cpp:answerOutOfMemory                   running out of memory
main.cpp@answerCommandLine(argc, argv); status    the command line
*.cpp@== ModuleLocation::NoPluginDirFile) {       the plugin-directory file
*.cpp@== ModuleLocation::TooLong) {               the plugin-directory file
*.cpp@if (!pinWorkFolder()) {                     the working folder
*.cpp@== ModuleFile::Missing) {                   the module file
*.cpp@if (!removeEarlierResponse()) {             the working folder
*.cpp@if (!removeOrEmpty(REPORT_FILE)) {          the working folder
*.cpp@if (!module)                                the loader
*.cpp@if (!library)                               the loader
*.cpp@if (!findModulePath(modulePath))            the plugin-directory file
*.cpp@if (!loadLibrary(MODULE_PATH))              the plugin-directory file and the loader
*.cpp@if (!usable)                                the module file
*.cpp@if (!readRequestHead(                       the request file
*.cpp@if (!readable                               the request file
*.cpp@else if (request.lineCount < MIN_REQUEST_LINES)  the request file
*.cpp@if (request.lineCount < MIN_REQUEST_LINES) {     the request file
*.cpp@catch (const std::bad_alloc&) {             running out of memory
*.cpp@if (!ch_readName)                           running out of memory
*.cpp@if (!slots) {                               running out of memory
*.cpp@if (!block) {                               running out of memory
*.cpp@if (bodySize > MAX_LIST_BYTES) {            a quarter GiB of certificate values
*.cpp@if (report && std::fclose(report) != 0)     the report in memory (running out of it)
*.cpp@if (!written) {                             the working folder
responses.cpp@if (!whole) {                       the working folder
'
cd "$cov"
objects=$(find bridge lister -name '*.gcda' | sed 's/\.gcda$/.o/')
# shellcheck disable=SC2086
gcov --json-format --stdout $objects 2>/dev/null | ROOT="$root" python3 -c '
import json, os, re, sys, fnmatch
rules = []
for l in os.environ["WHOLE_RUN_UNREACHABLE"].splitlines():
    l = l.strip()
    if not l:
        continue
    m = re.match(r"(\S+?)(:|@)(.*?)\s{2,}(.*)$", l)
    rules.append((m.group(1), m.group(2), m.group(3).strip(), m.group(4)))
lines = {}   # file -> line -> [count, function]
for doc in sys.stdin:
    for f in json.loads(doc)["files"]:
        name = f["file"]
        at = max(name.rfind("bridge/"), name.rfind("lister/"))
        if at < 0 or "/tests/" in name:
            continue
        name = name[at:]
        spans = [(fn["start_line"], fn["end_line"], fn["demangled_name"]) for fn in f.get("functions", [])]
        got = lines.setdefault(name, {})
        for l in f["lines"]:
            n = l["line_number"]
            fn = next((x for s, e, x in spans if s <= n <= e), "")
            old = got.setdefault(n, [0, fn])
            old[0] += l["count"]
            old[1] = old[1] or fn
def regions(name):
    """The line numbers the FILE@TEXT rules leave out of `name`."""
    out = set()
    path = os.path.join(os.environ["ROOT"], name)
    text = open(path).read().splitlines() if os.path.exists(path) else []
    for pattern, kind, what, _ in rules:
        if kind != "@" or not fnmatch.fnmatch(os.path.basename(name), pattern):
            continue
        for i, line in enumerate(text):
            at = line.find(what)
            if at < 0:
                continue
            depth, j, rest = 0, i, line[at:]
            opened = False
            while j < len(text):
                depth += rest.count("{") - rest.count("}")
                opened = opened or "{" in rest
                out.add(j + 1)
                if (opened and depth <= 0) or (not opened and j > i and rest.rstrip().endswith(";")):
                    break
                j += 1
                rest = text[j] if j < len(text) else ""
    return out
def excluded(name, fn, n, region):
    base = os.path.basename(name)
    short = fn.replace("(anonymous namespace)::", "").split("(")[0].split("::")[-1]
    for pattern, kind, what, _ in rules:
        if kind == ":" and fnmatch.fnmatch(base, pattern) and (what == "*" or what == short):
            return True
    return n in region
tot = [0, 0, 0, 0]
pct = lambda a, b: "%5.1f%%" % (100.0 * a / b) if b else "    -"
print("%-28s %18s %26s" % ("file", "lines run", "lines an answer can reach, run"))
for name in sorted(lines):
    ls = lines[name]
    region = regions(name)
    run = sum(1 for c, _ in ls.values() if c)
    reach = [(n, c) for n, (c, fn) in ls.items() if not excluded(name, fn, n, region)]
    rrun = sum(1 for _, c in reach if c)
    tot[0] += run; tot[1] += len(ls); tot[2] += rrun; tot[3] += len(reach)
    print("%-28s %6d/%-5d %s %10d/%-5d %s" % (name, run, len(ls), pct(run, len(ls)), rrun, len(reach), pct(rrun, len(reach))))
    missed = sorted(n for n, c in reach if not c)
    if missed and os.environ.get("SHOW_MISSED"):
        print("    not run: " + ",".join(map(str, missed)))
print("%-28s %6d/%-5d %s %10d/%-5d %s" % ("all", tot[0], tot[1], pct(tot[0], tot[1]), tot[2], tot[3], pct(tot[2], tot[3])))
'
