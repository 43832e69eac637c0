#!/usr/bin/env bash
# kvcs.exe with kellar-fs.dll under Wine, given Windows paths: backup, incremental backup, restore
# of each version, a subfolder run, --nosave, a Storage ID from %APPDATA%, names beyond the BMP,
# the start-up errors and the log. When KVCS_LINUX names the Linux kvcs, the same trees are backed
# up by it too and both storages must hold the same blobs and the same commands.
# Usage: wine.sh path/to/kvcs.exe (WINEPREFIX set; KVCS_WINE names wine64 when not the default)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../lib.sh"
source "$here/../run_helpers.bash"
source "$here/wine_setup.bash"

# Linux side (optional): the same runs of the Linux kvcs into a storage of its own.
linux=${KVCS_LINUX:-}
linux_run() {
  [ -n "$linux" ] || return 0
  XDG_CONFIG_HOME=$SCRATCH/linux-config "$linux" "$@" >"$SCRATCH/linux-out" 2>&1 ||
    fail "Linux kvcs $*: exit code $?"
}
# The content a stored blob holds, whatever deflate stream carries it: the two programs may be
# built with different deflaters.
decoded() {
  python3 -c 'import sys, zlib
b = open(sys.argv[1], "rb").read()
sys.stdout.buffer.write(zlib.decompress(b[1:], 31) if b[:1] == b"\x01" else b[1:])' "$1"
}
# same_storage LABEL: blob names and contents agree, and every version file holds the same
# commands (the header's save time aside).
same_storage() {
  [ -n "$linux" ] || return 0
  diff <(cd "$store" && find files -type f | LC_ALL=C sort) \
    <(cd "$lstore" && find files -type f | LC_ALL=C sort) >/dev/null ||
    fail "$1: the two storages hold different blob names"
  local f
  while IFS= read -r f; do
    cmp -s <(decoded "$store/$f") <(decoded "$lstore/$f") || fail "$1: blob $f differs"
  done < <(cd "$store" && find files -type f)
  local n
  for n in $(seq 1 "$(stored_versions "$store" alice/site)"); do
    diff <("${READER[@]}" version "$store/projects/alice/site/$n.gz" | tail -n +2) \
      <("${READER[@]}" version "$lstore/projects/alice/site/$n.gz" | tail -n +2) >/dev/null ||
      fail "$1: version $n holds other commands than the Linux one"
  done
}

echo "skipped under Wine: making and reading symbolic links and junctions (Wine 8 does neither),"
echo "  and creation times (Wine keeps none); the Linux scenarios cover links"

# --- start-up errors ---------------------------------------------------------------------------
kvcs_run
expect_status 1 "no arguments"
expect_empty "$SCRATCH/out" "no arguments"
expect_content "$SCRATCH/err" "$(usage_report "The value of parameter 'folder' is not defined" \
  kvcs.exe "$appdata_generic/Kestrun VCS/storages.json" "$KVCS_VERSION")"$'\n' "no arguments"
[ -z "$LOG" ] || fail "no arguments: a log was written"
kvcs_run 'C:\p' -x=1 -m=backup -s=x
expect_status 1 "unknown option"
[ "$(head -n 1 "$SCRATCH/err")" = "Argument '-x' is not defined" ] ||
  fail "unknown option: $(head -n 1 "$SCRATCH/err")"

# --- the tree ----------------------------------------------------------------------------------
src=$SCRATCH/site
store=$SCRATCH/storage
lsrc=$SCRATCH/linux-site
lstore=$SCRATCH/linux-storage
mkdir -p "$store" "$lstore"
make_project "$src" alice/site
E2E_DIR=$E2E_DIR python3 - "$src" <<'PY'
import os, random, sys
root = sys.argv[1]
sys.path.insert(0, os.environ["E2E_DIR"])
from tree_tool import text, writer
put = writer(root)
rnd = random.Random(14)
put("README.md", b"# site\n", 1600000100)
put(".gitignore", b"*.tmp\n", 1600000101)
put("junk.tmp", b"ignored\n", 1600000102)
put("src/main.cpp", text(30000, 1), 1600000103)
put("src/lib/empty.h", b"", 1600000104)
put("photo.JPG", rnd.randbytes(20000), 1600000105)
put("random.bin", rnd.randbytes(65536), 1600000106)
put("deep/a/b/c/leaf.txt", b"leaf\n", 1600000107)
put("caf\u00e9/na\u00efve.txt", "d\u00e9j\u00e0 vu\n".encode(), 1600000108)
put("emoji\U0001F600/\U0001F389.txt", "\U0001F389\n".encode(), 1600000109)
put("\U0001F4C1 folder/\U00010348 gothic \U0001F600.md", text(4000, 2), 1600000110)
put("src/frac.txt", b"fraction\n", 1600000000.7)
put("big.log", text(2 * 1024 * 1024, 3), 1600000111)
os.makedirs(os.path.join(root, "emptydir"))
PY
cp -a "$src" "$lsrc"
snapshot "$src" "$SCRATCH/snap/v1"
sed -i -E '/^F junk\.tmp /d' "$SCRATCH/snap/v1"

# --- backup, then the storage as an independent reader and the Linux program see it ------------
kvcs_ok backup "$(winpath "$src")" -m=backup -s="$(winpath "$store")"
expect_verdict backup "kestrun::vcs::save 1"
expect_no_event backup 'kestrun::vcs::[^ ]*[!~] .*'
expect_event backup "kestrun::vcs::project::create alice/site Z:$src/"
expect_event backup 'kestrun::vcs::finder::ignore .*junk\.tmp.*'
expect_event backup 'kestrun::vcs::file::upload 0 src/lib/empty\.h'
expect_event backup 'kestrun::vcs::file::pack [0-9]+=>[0-9]+ emoji😀/🎉\.txt'
head -n 4 "$SCRATCH/out" >"$SCRATCH/head"
expect_content "$SCRATCH/head" "name: Kestrun VCS
version: $KVCS_VERSION
Folder: Z:$src/
Log file: $appdata_generic/Kestrun VCS/logs/$(basename "$LOG")
" "backup: console lines"
storage_check backup "$store"
[ "$(stored_versions "$store" alice/site)" = 1 ] || fail "backup: not exactly version 1 stored"
"${READER[@]}" extract "$store" alice/site 1 "$SCRATCH/extracted" >/dev/null ||
  fail "the reader cannot rebuild version 1"
expect_tree "reader round trip" "$SCRATCH/extracted" "$SCRATCH/snap/v1"
linux_run "$lsrc" -m=backup -s="$lstore"
same_storage "version 1"

# --- an incremental backup ---------------------------------------------------------------------
blobs_before=$(blob_count "$store")
for tree in "$src" "$lsrc"; do
  put_file "$tree/src/main.cpp" "int main() { return 0; }" 1600000200
  put_file "$tree/new 🦀.rs" "fn main() {}" 1600000201
  rm "$tree/random.bin"
done
snapshot "$src" "$SCRATCH/snap/v2"
sed -i -E '/^F junk\.tmp /d' "$SCRATCH/snap/v2"
kvcs_ok incremental "$(winpath "$src")" -m=backup -s="$(winpath "$store")"
expect_verdict incremental "kestrun::vcs::save 2"
[ "$(blob_count "$store")" -eq $((blobs_before + 2)) ] ||
  fail "incremental: $(blob_count "$store") blobs, expected $((blobs_before + 2))"
version_paths "$store" alice/site 2 >"$SCRATCH/v2-paths"
expect_content "$SCRATCH/v2-paths" "R random.bin
AF new 🦀.rs
R src/main.cpp
AF src/main.cpp
" "incremental: version 2 commands"
linux_run "$lsrc" -m=backup -s="$lstore"
same_storage "version 2"

# --- a subfolder run and --nosave --------------------------------------------------------------
put_file "$src/src/lib/util.h" "int util();" 1600000300
put_file "$src/README.md" "# site, changed outside the subfolder" 1600000301
kvcs_ok subfolder "$(winpath "$src/src")" -m=backup -s="$(winpath "$store")"
expect_verdict subfolder "kestrun::vcs::save 3"
version_paths "$store" alice/site 3 >"$SCRATCH/v3-paths"
expect_content "$SCRATCH/v3-paths" "AF src/lib/util.h
" "subfolder: version 3 commands"
kvcs_ok nosave "$(winpath "$src")" -m=backup -s="$(winpath "$store")" --nosave
expect_event nosave 'kestrun::vcs::state::diff::finish [1-9][0-9]*'
expect_no_event nosave 'kestrun::vcs::save.*'
[ "$(stored_versions "$store" alice/site)" = 3 ] || fail "nosave: a version was stored"

# --- a Storage ID from %APPDATA%\Kestrun VCS\storages.json -------------------------------------
store_json=$(winpath "$store" | sed 's/\\/\\\\/g')
STORAGES_JSON="{\"main\": \"$store_json\"}" kvcs_ok storage-id "$(winpath "$src")" -m=backup -s=main
expect_verdict storage-id "kestrun::vcs::save 4"
STORAGES_JSON=""

# --- restores of every version into empty folders ----------------------------------------------
for n in 1 2; do
  dst=$SCRATCH/restored-$n
  fresh_copy "$src" "$dst"
  kvcs_ok "restore $n" "$(winpath "$dst")" -m=restore -s="$(winpath "$store")" -n=$n
  expect_verdict "restore $n" 'kestrun::vcs::save local'
  expect_tree "restore $n" "$dst" "$SCRATCH/snap/v$n"
done
snapshot "$src" "$SCRATCH/snap/latest"
sed -i -E '/^F junk\.tmp /d' "$SCRATCH/snap/latest"
dst=$SCRATCH/restored-latest
fresh_copy "$src" "$dst"
kvcs_ok "restore latest" "$(winpath "$dst")" -m=restore -s="$(winpath "$store")"
expect_tree "restore latest" "$dst" "$SCRATCH/snap/latest"
# Back to version 1 in place: files added since are removed, changed ones come back.
kvcs_ok "restore 1 in place" "$(winpath "$dst")" -m=restore -s="$(winpath "$store")" -n=1
expect_tree "restore 1 in place" "$dst" "$SCRATCH/snap/v1"

# --- Unix links, which Wine shows as reparse points it cannot read -----------------------------
# A Unix link to a folder looks like a reparse point without a tag under Wine: the scan must not
# walk into it nor record it, and no restore path may pass through it.
outside=$SCRATCH/outside
put_file "$outside/secret.txt" "not the project's" 1600000400
linked=$SCRATCH/linked
make_project "$linked" alice/linked
put_file "$linked/kept.txt" "kept" 1600000401
ln -s "$outside" "$linked/escape"
# Clearing the temporary folder never follows a link in it. Wine can neither remove such a link
# nor tell it from a folder when removing: the run stops, and the folder it leads to stays whole.
mkdir -p "$linked/.k-vcs/temp"
ln -s "$outside" "$linked/.k-vcs/temp/escape"
kvcs_run "$(winpath "$linked")" -m=backup -s="$(winpath "$store")"
grep -q "filesystem error: remove_all: .*temp\]" "$SCRATCH/out" ||
  fail "link in the temporary folder: no remove_all error shown"
[ -f "$outside/secret.txt" ] || fail "link in the temporary folder: the linked folder was emptied"
rm "$linked/.k-vcs/temp/escape"
kvcs_ok "unix link backup" "$(winpath "$linked")" -m=backup -s="$(winpath "$store")"
expect_verdict "unix link backup" "kestrun::vcs::save 1"
version_paths "$store" alice/linked 1 >"$SCRATCH/linked-paths"
expect_content "$SCRATCH/linked-paths" "AF kept.txt
AF kestrun-vcs.json
" "unix link backup: version 1 commands"
# A version naming a folder below the link (no honest backup writes one) fails the restore and
# writes nothing outside.
hostile=$SCRATCH/hostile
write_version "$hostile/projects/alice/linked/1.gz" 'Aescape/new\0D'
kvcs_run "$(winpath "$linked")" -m=restore -s="$(winpath "$hostile")"
expect_verdict "restore through a unix link" "kestrun::vcs::save! local"
[ ! -e "$outside/new" ] || fail "restore through a unix link: a folder was made outside"
[ "$(ls "$outside")" = secret.txt ] || fail "restore through a unix link: the outside changed"

# Links that Wine cannot make (CreateSymbolicLinkW reports a success that made nothing) are
# named with a reason, nothing stands in their place afterwards, the rest of the version is
# restored, and the verdict says that the folder is not the version.
write_version "$store/projects/alice/linked/2.gz" 'Adir\0D' 'Adir_link\0Ldir\0' \
  'Afile_link\0Lkept.txt\0'
dst=$SCRATCH/linked-restored
make_project "$dst" alice/linked
kvcs_ok "links wine cannot make" "$(winpath "$dst")" -m=restore -s="$(winpath "$store")"
expect_event "links wine cannot make" 'kestrun::vcs::link::create~ dir_link=>dir: .+'
expect_event "links wine cannot make" 'kestrun::vcs::link::create~ file_link=>kept\.txt: .+'
expect_verdict "links wine cannot make" "kestrun::vcs::save! local"
[ -d "$dst/dir" ] && [ "$(cat "$dst/kept.txt")" = kept ] ||
  fail "links wine cannot make: the rest of the version was not restored"
[ ! -e "$dst/dir_link" ] && [ ! -L "$dst/dir_link" ] && [ ! -e "$dst/file_link" ] &&
  [ ! -L "$dst/file_link" ] || fail "links wine cannot make: something stands at a link's place"

# --- a tree deeper than MAX_PATH ---------------------------------------------------------------
# The C runtime lists the current folder in place of a folder whose path passes 260 characters;
# such a folder's entries must be backed up and restored like any others.
deep=$SCRATCH/deep
make_project "$deep" alice/deep
chain=""
for c in a b c d e; do chain+=$(printf "%060d" 0 | tr 0 "$c")/; done
put_file "$deep/${chain}leaf.txt" "deep leaf" 1600000500
put_file "$deep/top.txt" "top" 1600000501
snapshot "$deep" "$SCRATCH/snap/deep"
kvcs_ok "deep backup" "$(winpath "$deep")" -m=backup -s="$(winpath "$store")"
version_paths "$store" alice/deep 1 | grep -q "^AF ${chain}leaf\.txt$" ||
  fail "deep backup: the file past 260 characters is not in the version"
dst=$SCRATCH/deep-restored
fresh_copy "$deep" "$dst"
kvcs_ok "deep restore" "$(winpath "$dst")" -m=restore -s="$(winpath "$store")"
expect_verdict "deep restore" "kestrun::vcs::save local"
expect_tree "deep restore" "$dst" "$SCRATCH/snap/deep"

# --- a storage that refuses new files: the driver's own error reaches the report ---------------
# kellar-fs.dll throws it from its own runtime, and the binding that loaded the library is gone by
# the time the report reads it: the program must report it and end, not fault.
refusing=$SCRATCH/refusing
mkdir -p "$refusing"
if ! chattr +i "$refusing" 2>/dev/null; then
  echo "skipped: the refusing storage (chattr +i is refused on this file system)"
else
  trap 'chattr -i "$refusing" 2>/dev/null || true
        [ -n "${KVCS_KEEP_TEMP:-}" ] || rm -rf "$SCRATCH"' EXIT
  kvcs_run "$(winpath "$src")" -m=backup -s="$(winpath "$refusing")"
  expect_status 0 "refusing storage"
  grep -q '^std::exception.*filesystem error: ' "$SCRATCH/out" ||
    fail "refusing storage: no exception report shown: $(tail -n 3 "$SCRATCH/out")"
  chattr -i "$refusing"
fi

finish
