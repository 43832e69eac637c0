#!/usr/bin/env bash
# Versions one after the other: an incremental backup stores only what changed, and a restore
# brings back the latest version, one counted back from it, or one given by its number; a
# version above the last, or a number that resolves below the first, ends the run after a failed
# load and changes nothing.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/run_helpers.bash"

src=$SCRATCH/app
store=$SCRATCH/storage
mkdir -p "$store"
make_project "$src" bob/app

# backup_version N: backs the folder up as version N and keeps its snapshot as the version's.
backup_version() {
  kvcs_ok "backup $1" "$src" -m=backup -s="$store"
  expect_verdict "backup $1" "kestrun::vcs::save $1"
  expect_no_event "backup $1" 'kestrun::vcs::[^ ]*[!~] .*'
  [ "$(stored_versions "$store" bob/app)" -eq "$1" ] || fail "backup $1: no version file $1"
  snapshot "$src" "$SCRATCH/snap/v$1"
}

# Version 1.
put_file "$src/a.txt" "first a" 1600000001
put_file "$src/b.txt" "first b" 1600000002
put_file "$src/sub/c.txt" "first c" 1600000003
put_file "$src/sub/deeper/d.txt" "first d" 1600000004
backup_version 1
blobs1=$(blob_count "$store")
[ "$blobs1" -eq 5 ] || fail "version 1: $blobs1 blobs, expected 5"

# A backup with no change: no version, nothing uploaded, the storage untouched.
snapshot "$store" "$SCRATCH/snap/before" --dir-mtime
kvcs_ok no-change "$src" -m=backup -s="$store"
expect_event no-change 'kestrun::vcs::state::diff::finish 0'
expect_event no-change 'kestrun::vcs::save::count 0'
expect_verdict no-change 'kestrun::vcs::save commands empty'
expect_no_event no-change 'kestrun::vcs::file::.*'
expect_unchanged no-change "$store" --dir-mtime

# A file whose time changed but whose content did not is no change either.
touch -d @1600000099 "$src/a.txt"
kvcs_ok same-content "$src" -m=backup -s="$store"
expect_verdict same-content 'kestrun::vcs::save commands empty'
expect_unchanged same-content "$store" --dir-mtime
touch -d @1600000001 "$src/a.txt"

# Version 2, incremental: one file changed, one removed, one added. Only the two new contents
# are uploaded, and the version file holds just these changes: removals first, then the rest in
# path order.
put_file "$src/a.txt" "second a, longer" 1600000011
rm "$src/b.txt"
put_file "$src/e.txt" "new e" 1600000012
backup_version 2
n=$(count_events 'kestrun::vcs::file::upload [0-9]+ .*')
[ "$n" -eq 2 ] || fail "backup 2: $n blobs uploaded, expected 2"
expect_event "backup 2" 'kestrun::vcs::file::upload 16 a\.txt'
expect_event "backup 2" 'kestrun::vcs::file::upload 5 e\.txt'
[ "$(blob_count "$store")" -eq $((blobs1 + 2)) ] || fail "backup 2: $(blob_count "$store") blobs"
expect_content <(version_paths "$store" bob/app 2) "R b.txt
R a.txt
AF a.txt
AF e.txt
" "version 2 commands"

# Version 3: a changed file in a subfolder, same size, later time.
put_file "$src/sub/c.txt" "third c" 1600000021
backup_version 3
expect_content <(version_paths "$store" bob/app 3) "R sub/c.txt
AF sub/c.txt
" "version 3 commands"

# Version 4: a new folder with a file and an empty folder; a file turned into a folder.
put_file "$src/new/f.txt" "fourth f" 1600000031
mkdir -p "$src/new/empty"
rm "$src/e.txt"
put_file "$src/e.txt/inside.txt" "e is a folder now" 1600000032
backup_version 4
expect_content <(version_paths "$store" bob/app 4) "R e.txt
AD e.txt
AF e.txt/inside.txt
AD new
AD new/empty
AF new/f.txt
" "version 4 commands"

# Version 5: a whole folder removed, contents before their folder.
rm -r "$src/sub"
backup_version 5
expect_content <(version_paths "$store" bob/app 5) "R sub/deeper/d.txt
R sub/deeper
R sub/c.txt
R sub
" "version 5 commands"
storage_check storage "$store"

# --- restores ------------------------------------------------------------------------------------
# Each restore starts from whatever the previous one left, so every step removes, replaces and
# adds. restore_to LABEL N_OPTION VERSION.
dst=$SCRATCH/restored
fresh_copy "$src" "$dst"
restore_to() {
  kvcs_ok "$1" "$dst" -m=restore -s="$store" "$2"
  expect_event "$1" "kestrun::vcs::storage::state::nn $3"
  expect_no_event "$1" 'kestrun::vcs::[^ ]*[!~] .*'
  expect_tree "$1" "$dst" "$SCRATCH/snap/v$3"
}
restore_to "restore -n=0" -n=0 5
restore_to "restore -n=2" -n=2 2
restore_to "restore -n=-1" -n=-1 4
restore_to "restore -n=-2" -n=-2 3
expect_verdict "restore -n=-2" 'kestrun::vcs::save local'
restore_to "restore -n=3" -n=3 3
expect_verdict "restore -n=3" 'kestrun::vcs::save commands empty'
restore_to "restore --nn=1" --nn=1 1
restore_to "restore latest" -n=0 5

# Every version once more, each into an empty folder, and by the independent reader.
for v in 1 2 3 4 5; do
  fresh_copy "$src" "$dst"
  restore_to "restore $v into an empty folder" -n=$v "$v"
  rm -rf "$SCRATCH/extracted"
  "${READER[@]}" extract "$store" bob/app "$v" "$SCRATCH/extracted" >/dev/null ||
    fail "the reader cannot rebuild version $v"
  expect_tree "reader version $v" "$SCRATCH/extracted" "$SCRATCH/snap/v$v"
done

# Version 7 of five: versions 1 to 5 load, version 6 does not; the run ends there.
restore_to "restore -n=3 before -n=7" -n=3 3
snapshot "$dst" "$SCRATCH/snap/before"
kvcs_ok "restore -n=7" "$dst" -m=restore -s="$store" -n=7
expect_event "restore -n=7" 'kestrun::vcs::storage::state::nn 7'
[ "$(last_event)" = "kestrun::vcs::load! 6" ] ||
  fail "restore -n=7: last event '$(last_event)', expected the failed load of version 6"
expect_no_event "restore -n=7" 'kestrun::vcs::(state::diff|save).*'
expect_unchanged "restore -n=7" "$dst"
[ -z "$(find "$dst/.k-vcs" -name 6.gz)" ] || fail "restore -n=7: a version 6 landed in the cache"
# Without -l the failed load is the one line on the console besides the spinner.
grep -q '^kestrun::vcs::load! 6$' "$SCRATCH/out" || fail "restore -n=7: the error is not shown"

# A number that resolves below version 1 names no version: the run fails before anything is
# fetched or changed, whatever the folder holds (untracked work and the project file included).
put_file "$dst/untracked.txt" "local work" 1600000050
snapshot "$dst" "$SCRATCH/snap/before"
rm -rf "$dst/.k-vcs"
for row in "-5 0" "-6 -1" "-2147483648 -2147483643" "-99999999999 -2147483643"; do
  read -r n nn <<<"$row"
  kvcs_ok "restore -n=$n" "$dst" -m=restore -s="$store" -n="$n"
  [ "$(last_event)" = "kestrun::vcs::load! $nn" ] ||
    fail "restore -n=$n: last event '$(last_event)', expected the failed load of $nn"
  expect_no_event "restore -n=$n" \
    'kestrun::vcs::(load [0-9]+|storage::state::.*|state::diff::.*|save.*|file::.*)'
  expect_unchanged "restore -n=$n" "$dst"
  [ -z "$(find "$dst/.k-vcs" -name '*.gz')" ] || fail "restore -n=$n: a version was fetched"
  grep -q "^kestrun::vcs::load! $nn\$" "$SCRATCH/out" || fail "restore -n=$n: the error is not shown"
done

# An empty storage has no latest version to restore either.
mkdir -p "$SCRATCH/empty-storage"
kvcs_ok "restore -n=0 of an empty storage" "$dst" -m=restore -s="$SCRATCH/empty-storage"
[ "$(last_event)" = "kestrun::vcs::load! 0" ] ||
  fail "restore of an empty storage: last event '$(last_event)'"
expect_unchanged "restore -n=0 of an empty storage" "$dst"

finish
