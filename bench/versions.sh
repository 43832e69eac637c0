#!/usr/bin/env bash
# What a long history costs a no-change backup: one project of 1,000 files backed up into a
# storage holding 2 versions and into one holding 200, each version replacing all 1,000 entries
# (1,000 removals and 1,000 additions), so that a replay from version 1 reads 2,000 commands per
# version. The version files are written here directly (nothing needs the old contents: a
# no-change backup uploads nothing). Each storage gets one run first that fills its cache, then
# the timed runs take turns: with the kept state, and with the kept state removed before the
# run (the replay from version 1 that every run made before the state was kept).
#
# Usage: bench/versions.sh [WORK_FOLDER] [RUNS]   (default /tmp/kvcs-bench-versions, 3 runs)
# KVCS_BUILD_DIR picks the build folder (default build/).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/kvcs-bench-versions}
runs=${2:-3}
kvcs=${KVCS_BUILD_DIR:-$repo/build}/bin/kvcs
[ -x "$kvcs" ] || { echo "no $kvcs: run scripts/build first" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
tree=$work/tree

# The tree, and a storage for each history length whose last version is the tree as it is.
python3 - "$tree" "$work" <<'PY'
import gzip, os, struct, sys
tree, work = sys.argv[1], sys.argv[2]
os.makedirs(tree)
with open(os.path.join(tree, "kestrun-vcs.json"), "w") as f:
    f.write('{"name": "bench/versions"}')
files = []
for i in range(1000):
    path = "d%d/f%04d.txt" % (i % 10, i)
    full = os.path.join(tree, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    body = ("file %d\n" % i).encode() * (i % 50 + 1)
    with open(full, "wb") as f:
        f.write(body)
    t = 1600000000 + i
    os.utime(full, (t, t))
    files.append((path, len(body), t))
folders = sorted({p.split("/")[0] for p, _, _ in files})
project = [("kestrun-vcs.json", os.path.getsize(os.path.join(tree, "kestrun-vcs.json")),
            int(os.path.getmtime(os.path.join(tree, "kestrun-vcs.json"))))]
def add_file(path, size, t):
    return b"A" + path.encode() + b"\0F" + struct.pack("<Qq", size, t) + bytes(36)
for count in (2, 200):
    folder = os.path.join(work, "storage%d" % count, "projects", "bench", "versions")
    os.makedirs(folder)
    for n in range(1, count + 1):
        last = n == count
        commands = []
        if n == 1:
            commands += [b"A" + d.encode() + b"\0D" for d in folders]
            commands += [add_file(p, s, t) for p, s, t in project]
        for path, size, t in files:
            # Older versions give every file another time, so that each replaces all of them.
            time = t if last else t - n * 10000
            if n > 1:
                commands.append(b"R" + path.encode() + b"\0")
            commands.append(add_file(path, size, time))
        body = b"KVCS" + struct.pack("<QI", 0, len(commands)) + b"".join(commands)
        with open(os.path.join(folder, "%d.gz" % n), "wb") as f:
            f.write(gzip.compress(body, 9))
PY

# seconds ARGS...: the wall time of one run.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$kvcs" "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

# A copy of the tree for each storage, so that each kept state is removed alone.
for count in 2 200; do
  cp -a "$tree" "$tree$count"
  "$kvcs" "$tree$count" -m=backup -s="$work/storage$count" >/dev/null 2>&1
done
declare -A times
for _ in $(seq 1 "$runs"); do
  for count in 2 200; do
    times[kept$count]+="$(seconds "$tree$count" -m=backup -s="$work/storage$count") "
    rm -f "$tree$count"/.k-vcs/*/state
    times[full$count]+="$(seconds "$tree$count" -m=backup -s="$work/storage$count") "
  done
done
# The verdict of one more run: nothing to save, or the figures mean nothing.
for count in 2 200; do
  log=$("$kvcs" "$tree$count" -m=backup -s="$work/storage$count" -l 2>&1 || true)
  grep -q 'kestrun::vcs::save commands empty' <<<"$log" ||
    { echo "the backup at $count versions found changes" >&2; exit 1; }
done

range() { tr ' ' '\n' | grep . | sort -g | sed -n '1p;$p' | xargs printf '%.3f ' | sed 's/ $//; s/ / - /'; }
echo "no-change backup, min - max seconds over $runs runs:"
for count in 2 200; do
  printf '  version %3d, kept state:      %s\n' "$count" "$(echo "${times[kept$count]}" | range)"
  printf '  version %3d, from version 1:  %s\n' "$count" "$(echo "${times[full$count]}" | range)"
done
