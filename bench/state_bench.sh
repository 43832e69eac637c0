#!/usr/bin/env bash
# Benchmarks of the tree state: the project scan of a generated tree of about 100,000 entries
# against `git status` on the same tree (index built), the difference of two states of that size,
# and the replay of 200 small versions from the local cache.
#
# Usage: bench/state_bench.sh [WORK_FOLDER]     (default /tmp/kvcs-bench-state)
# The tree takes about 6 GB and some minutes to generate and to add to git; both are kept in the
# work folder and reused by later runs. KVCS_BUILD_DIR picks the build folder (default build/),
# KVCS_GEN_TREE the generator (default ../shared/bench/gen_tree.py beside the checkout).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(mkdir -p "${1:-/tmp/kvcs-bench-state}" && cd "${1:-/tmp/kvcs-bench-state}" && pwd)
build=${KVCS_BUILD_DIR:-$repo/build}
gen=${KVCS_GEN_TREE:-$repo/../shared/bench/gen_tree.py}
tree=$work/tree

if [ ! -f "$tree/kestrun-vcs.json" ]; then
  echo "== generating the tree in $tree"
  rm -rf "$tree"
  mkdir -p "$tree"
  # About 8,000 entries per unit of scale; the generator's random file cannot grow past scale 5,
  # so the tree is made of parts with seeds of their own.
  for i in 1 2 3 4; do python3 "$gen" "$tree/part$i" --scale 3.125 --seed "$i" -q; done
  python3 "$gen" "$tree/part5" --scale 0.6 --seed 5 -q
  echo '{"name": "bench/tree"}' >"$tree/kestrun-vcs.json"
fi
# The same ".gitignore" leaves the work folder out of both and lets the scan skip ".git".
if [ ! -f "$tree/.gitignore" ]; then printf '.k-vcs/\n' >"$tree/.gitignore"; fi
if [ ! -f "$tree/.git/index" ] || [ -n "$(cd "$tree" && git status --porcelain | head -1)" ]; then
  echo "== building git's index"
  (cd "$tree" && git init -q && git add -A &&
    git -c user.name=bench -c user.email=bench@localhost commit -qm tree)
fi
echo "entries in the tree: $(cd "$tree" && find . -path ./.git -prune -o -path ./.k-vcs -prune -o -print | wc -l)"

echo "== building"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$repo" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target state_bench kellar-fs -j 4 >/dev/null
bench=$build/bench/state_bench

echo "== git status (index built)"
(cd "$tree" && git status >/dev/null)  # lets git refresh its index once
python3 - "$tree" <<'EOF'
import statistics, subprocess, sys, time
times = []
for _ in range(5):
    start = time.perf_counter()
    subprocess.run(["git", "-C", sys.argv[1], "status"], stdout=subprocess.DEVNULL, check=True)
    times.append((time.perf_counter() - start) * 1000)
times.sort()
print(f"{'git status':<28} best {times[0]:9.1f} ms   median {statistics.median(times):9.1f} ms   (5 runs)")
EOF

echo "== kvcs"
"$bench" scan "$tree"
"$bench" diff "$tree"
"$bench" replay "$work/replay" "$build/bin"
