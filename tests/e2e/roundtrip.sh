#!/usr/bin/env bash
# A varied tree backed up into an empty folder storage and restored into an empty folder: the same
# bytes, modification times and links; the storage layout, version file and blobs as an
# independent reader decodes them; the log and the console of backup, restore and a run without
# changes.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

# Stored version times are written for the local zone; in UTC they equal the save time.
export TZ=UTC
src=$SCRATCH/site
store=$SCRATCH/storage
mkdir -p "$store"
make_project "$src" alice/site

# --- the tree ----------------------------------------------------------------------------------
E2E_DIR=$E2E_DIR python3 - "$src" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(6)
sys.path.insert(0, os.environ["E2E_DIR"])
from tree_tool import text, writer
put = writer(root)

main_cpp = text(30000, 1)
put("README.md", b"# site\n\nA sample.\n", 1600000100)
put(".gitignore", b"*.tmp\n", 1600000101)
put("junk.tmp", b"ignored\n", 1600000102)
put("src/main.cpp", main_cpp, 1600000103)
put("src/lib/util.h", text(200, 2), 1600000104)
put("src/lib/empty.h", b"", 1600000105)
put("empty.txt", b"", 1600000106)
dup = text(5000, 3)
put("dup1.txt", dup, 1600000107)
put("docs/dup2.txt", dup, 1600000108)
put("docs/copy of main.cpp", main_cpp, 1600000109)
put("photo.JPG", rnd.randbytes(20000), 1600000110)
put("archive.tar.gz", text(20000, 4), 1600000111)
put("notes.", text(3000, 5), 1600000112)
put("tiny.txt", b"x", 1600000113)
put("hundred.txt", rnd.randbytes(100), 1600000114)
put("random.bin", rnd.randbytes(65536), 1600000115)
put("deep/a/b/c/d/e/leaf.txt", b"leaf\n", 1600000116)
put("caf\u00e9/na\u00efve.txt", "d\u00e9j\u00e0 vu\n".encode(), 1600000117)
put("emoji\U0001F600/\U0001F389.txt", "\U0001F389\n".encode(), 1600000118)
put("back\\slash.txt", b"a name with a backslash\n", 1600000119)
put("src/old.txt", b"old\n", 1000000000)
put("src/frac.txt", b"fraction\n", 1600000000.7)
# 50 MB of log-like text: a large file that deflates well.
with open(os.path.join(root, "big.log"), "wb") as f:
    line = 0
    while f.tell() < 50 * 1024 * 1024:
        f.write(b"".join(b"2026-01-01T00:00:%02d host service[%d]: request %d done in %d ms\n"
                         % (i % 60, i % 977, line + i, (line + i) * 7 % 1000) for i in range(4096)))
        line += 4096
os.utime(os.path.join(root, "big.log"), (1600000120, 1600000120))
os.makedirs(os.path.join(root, "emptydir"))
os.makedirs(os.path.join(root, "nested/empty"))
PY
ln -s "$src/src/lib" "$src/src/link_to_lib"
ln -s "$src/README.md" "$src/link_to_readme"
ln -s /etc/hostname "$src/outside"
ln -s README.md "$src/relative"

# What a version holds: everything but the ignored file and the links that do not lead inside.
snapshot "$src" "$SCRATCH/snap/expected"
sed -i -E '/^F junk\.tmp |^L (outside|relative) -> /d' "$SCRATCH/snap/expected"
snapshot "$src" "$SCRATCH/snap/expected-paths" --paths
sed -i -E '/^F junk\.tmp$|^L (outside|relative)$/d' "$SCRATCH/snap/expected-paths"
entries=$(wc -l <"$SCRATCH/snap/expected")
files=$(grep -c '^F ' "$SCRATCH/snap/expected")
contents=$(grep '^F ' "$SCRATCH/snap/expected" | awk '{print $NF}' | sort -u | wc -l)

# --- backup into the empty storage -----------------------------------------------------------
t0=$(date +%s)
kvcs_ok backup "$src" -m=backup -s="$store"
t1=$(date +%s)
expect_verdict backup "kestrun::vcs::save 1"
[ "$(last_event)" = "kestrun::vcs::save 1" ] || fail "backup: last event '$(last_event)'"
expect_no_event backup 'kestrun::vcs::[^ ]*[!~] .*'
expect_event backup 'kestrun::vcs::project::path '
expect_event backup "kestrun::vcs::project::create alice/site $src/"
expect_event backup 'kestrun::vcs::project::state::path '
expect_event backup "kestrun::vcs::finder::scan::dir $src/src/lib"
expect_event backup 'kestrun::vcs::finder::ignore .*junk\.tmp.*'
expect_event backup "kestrun::vcs::storage_driver\\.connect $store"
expect_event backup "kestrun::vcs::storage_driver\\.disconnect $store"
expect_event backup 'kestrun::vcs::storage::state::nn 0'
expect_event backup "kestrun::vcs::state::diff::start $entries/0"
expect_event backup "kestrun::vcs::state::diff::finish $entries"
expect_event backup "kestrun::vcs::save::count $entries"
expect_event backup 'kestrun::vcs::command::write# 100\.0+'
expect_event backup 'kestrun::vcs::file::pack 0=>1 empty\.txt'
expect_event backup 'kestrun::vcs::file::pack 1=>2 tiny\.txt'
expect_event backup 'kestrun::vcs::file::pack 20000=>20001 archive\.tar\.gz'
expect_event backup 'kestrun::vcs::file::pack 20000=>20001 photo\.JPG'
expect_event backup 'kestrun::vcs::file::pack 65536=>65537 random\.bin'
expect_event backup 'kestrun::vcs::file::pack 30000=>[0-9]{3,5} src/main\.cpp'
expect_event backup 'kestrun::vcs::file::pack# 100\.0+'
expect_event backup 'kestrun::vcs::file::upload 0 empty\.txt'
expect_event backup 'kestrun::vcs::file::upload 5000 docs/dup2\.txt'
expect_no_event backup 'kestrun::vcs::file::upload 5000 dup1\.txt'
n=$(count_events 'kestrun::vcs::file::pack [0-9]+=>[0-9]+ .*')
[ "$n" -eq "$files" ] || fail "backup: $n files packed, expected $files"
n=$(count_events 'kestrun::vcs::file::upload [0-9]+ .*')
[ "$n" -eq "$contents" ] || fail "backup: $n blobs uploaded, expected one per content ($contents)"
# Without -l the console holds the four lines and then only spinner steps.
if tail -n +5 "$SCRATCH/out" | tr -d -- '-\\|/\b' | grep -q .; then
  fail "backup: more than the spinner on the console: $(tail -n +5 "$SCRATCH/out" | head -3)"
fi

# --- the storage, decoded apart from kvcs ------------------------------------------------------
layout=$("${READER[@]}" layout "$store" 2>&1) || fail "layout: $layout"
[ "$layout" = "{\"blobs\": $contents, \"projects\": {\"alice/site\": 1}}" ] ||
  fail "layout: $layout, expected one version and $contents blobs"
storage_check check "$store"
version_paths "$store" alice/site 1 | sed 's/^A//' >"$SCRATCH/v1-paths" ||
  fail "version 1 cannot be read"
expect_content "$SCRATCH/v1-paths" "$(cat "$SCRATCH/snap/expected-paths")"$'\n' "version 1 commands"
"${READER[@]}" version "$store/projects/alice/site/1.gz" >"$SCRATCH/v1.json"
stored_time=$(head -n 1 "$SCRATCH/v1.json" | python3 -c 'import json,sys; print(json.load(sys.stdin)["time"])')
[ "$stored_time" -ge "$t0" ] && [ "$stored_time" -le "$t1" ] ||
  fail "version 1: stored time $stored_time outside the run ($t0..$t1)"
for want in '"path": "src/link_to_lib", "target": "src/lib"' \
  '"path": "link_to_readme", "target": "README.md"' \
  '"path": "src/old.txt", "size": 4, "time": 1000000000' \
  '"path": "src/frac.txt", "size": 9, "time": 1600000001' \
  '"path": "back\\slash.txt"' '"path": "emoji😀/🎉.txt"' '"path": "café/naïve.txt"'; do
  grep -qF "$want" "$SCRATCH/v1.json" || fail "version 1: no command with $want"
done
# The empty content: Keccak-256 of nothing, CRC 0, size 0.
empty_blob=$(grep -F '"path": "empty.txt"' "$SCRATCH/v1.json" |
  python3 -c 'import json,sys; print(json.load(sys.stdin)["blob"])')
[ -f "$store/$empty_blob" ] && [ "$(od -An -tx1 "$store/$empty_blob" | tr -d ' ')" = 00 ] ||
  fail "the empty file's blob $empty_blob is not the single byte 0"
[ "$(grep -F '"path": "empty.txt"' "$SCRATCH/v1.json" |
  python3 -c 'import json,sys; print(json.load(sys.stdin)["identity"])')" = \
  c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a47000000000 ] ||
  fail "the empty file's identity is not Keccak-256('') and CRC 0"

# The reader rebuilds version 1 by itself: the same tree as the source.
"${READER[@]}" extract "$store" alice/site 1 "$SCRATCH/extracted" >/dev/null ||
  fail "the reader cannot rebuild version 1"
expect_tree "reader round trip" "$SCRATCH/extracted" "$SCRATCH/snap/expected"

# --- a backup without changes writes nothing ---------------------------------------------------
snapshot "$store" "$SCRATCH/snap/store" --dir-mtime
kvcs_ok no-change "$src" -m=backup -s="$store"
expect_event no-change "kestrun::vcs::storage::state::nn 1"
expect_event no-change "kestrun::vcs::state::diff::start $entries/$entries"
expect_event no-change 'kestrun::vcs::state::diff::finish 0'
expect_event no-change 'kestrun::vcs::save::count 0'
expect_verdict no-change 'kestrun::vcs::save commands empty'
expect_no_event no-change 'kestrun::vcs::(file::(pack|upload)|command::write).*'
expect_tree no-change "$store" "$SCRATCH/snap/store" --dir-mtime

# --- restore into an empty folder --------------------------------------------------------------
dst=$SCRATCH/restored
fresh_copy "$src" "$dst"
kvcs_ok restore "$dst" -m=restore -s="$store"
expect_verdict restore 'kestrun::vcs::save local'
[ "$(last_event)" = "kestrun::vcs::save local" ] || fail "restore: last event '$(last_event)'"
expect_no_event restore 'kestrun::vcs::[^ ]*[!~] .*'
expect_event restore 'kestrun::vcs::storage::state::nn 1'
expect_event restore "kestrun::vcs::state::diff::start $entries/1"
expect_event restore "kestrun::vcs::state::diff::finish $((entries - 1))"
expect_event restore 'kestrun::vcs::file::download [0-9]+ big\.log'
expect_event restore 'kestrun::vcs::file::unpack src/main\.cpp'
expect_event restore 'kestrun::vcs::link::create# 100\.0+'
n=$(count_events 'kestrun::vcs::file::download [0-9]+ .*')
[ "$n" -eq $((files - 1)) ] || fail "restore: $n downloads, expected $((files - 1))"
n=$(count_events 'kestrun::vcs::file::unpack .*')
[ "$n" -eq $((files - 1)) ] || fail "restore: $n files unpacked, expected $((files - 1))"
expect_tree restore "$dst" "$SCRATCH/snap/expected"

# Restoring again changes nothing; backing the restored copy up finds nothing new either.
kvcs_ok restore-again "$dst" -m=restore -s="$store"
expect_verdict restore-again 'kestrun::vcs::save commands empty'
kvcs_ok backup-copy "$dst" -m=backup -s="$store"
expect_verdict backup-copy 'kestrun::vcs::save commands empty'
expect_tree backup-copy "$store" "$SCRATCH/snap/store" --dir-mtime

# --- with -l the console shows every event of the log, then the project's release -------------
dst2=$SCRATCH/restored-l
fresh_copy "$src" "$dst2"
kvcs_ok restore-l "$dst2" -m=restore --storage="$store" -l -n=1
expect_verdict restore-l 'kestrun::vcs::save local'
{
  log_events
  echo "kestrun::vcs::project::destroy alice/site $dst2/"
  echo "kestrun::vcs::project::temp clear"
} >"$SCRATCH/console-want"
tail -n +5 "$SCRATCH/out" >"$SCRATCH/console-got"
cmp -s "$SCRATCH/console-want" "$SCRATCH/console-got" || {
  fail "restore-l: the console lines are not the log's events and the release events"
  diff "$SCRATCH/console-want" "$SCRATCH/console-got" | head -10 | sed 's/^/    /' >&2 || true
}
expect_tree restore-l "$dst2" "$SCRATCH/snap/expected"
[ ! -e "$dst2/.k-vcs/temp" ] || fail "restore-l: the temporary folder was left behind"

finish
